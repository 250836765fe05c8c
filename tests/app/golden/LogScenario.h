#pragma once

// One protocol log with every kind of line the writer produces: commands,
// status lines, bodies, notes in UTF-8, lone CR and LF, TAB, RTF's special
// characters, bytes the log shows as blanks, each colour mode and both bold
// options. The files in this folder were saved from this log by the writer
// on a QTextDocument, before the log had its own store; saving it now must
// give the same bytes.

#include <string>

#include <QFont>
#include <QPalette>
#include <QWidget>

#include "protocollog/ProtocolLog.h"

// The view as the main window sets it up: black on white, a fixed font size.
inline void PrepareScenarioView(QWidget& View, bool FixedPitch)
{
    QPalette Paper = View.palette();
    for (QPalette::ColorGroup Group : { QPalette::Active, QPalette::Inactive, QPalette::Disabled }) {
        Paper.setColor(Group, QPalette::Base, Qt::white);
        Paper.setColor(Group, QPalette::Text, Qt::black);
        Paper.setColor(Group, QPalette::WindowText, Qt::black);
    }
    View.setPalette(Paper);
    QFont Font(FixedPitch ? QStringLiteral("Liberation Mono") : QStringLiteral("DejaVu Sans"));
    Font.setPointSizeF(FixedPitch ? 12 : 10.5);
    View.setFont(Font);
}

inline void FillScenarioLog(TProtocolLog& Log)
{
    Log.Append(TLogEntryKind::Status, "+OK Dovecot ready. <1.2@host>\r\n");
    Log.Append(TLogEntryKind::Note, "Brieflotse: TLS-verschlüsselt mit TLSv1.3, TLS_AES_256_GCM_SHA384");
    Log.Append(
        TLogEntryKind::Note, "Brieflotse: Zertifikat für CN=Grüße Ω \xF0\x9F\x98\x80 {x} \\y, ausgestellt von €uro");
    Log.Append(TLogEntryKind::Command, "\r\nUSER anna\r\n");
    Log.Append(TLogEntryKind::Status, "+OK\r\n");
    Log.Append(TLogEntryKind::Command, "\r\nPASS Schhh... nicht verraten!\r\n");
    Log.Append(TLogEntryKind::Status, "-ERR [AUTH] Authentication failed.\r\n");
    Log.Append(TLogEntryKind::Command, "\r\nLIST\r\n");
    Log.Append(TLogEntryKind::Status, "+OK 2 messages:\r\n");
    Log.Append(TLogEntryKind::Body, "1 120\r\n2 {200}\r\n");
    Log.Append(TLogEntryKind::Body, ".\r\n");
    Log.Append(TLogEntryKind::Command, "\r\nRETR 1\r\n");
    Log.Append(TLogEntryKind::Status, "+OK 99 octets\r\n");
    Log.Append(TLogEntryKind::Body,
        std::string("Gr\xe4\xdf"
                    "e\0\x01\tTab \\ { } \x7f\r\n",
            21));
    Log.Append(TLogEntryKind::Body, "lone\rCR and lone\nLF\r\n..stuffed\r\n\r\n.\r\n");
    Log.Append(TLogEntryKind::Command, "\r\nNOOP\r\n");
    Log.Append(TLogEntryKind::Status, "+OK first\r\n+OK second\r\n");
    Log.Append(TLogEntryKind::Status, "+OKAY no end");
    Log.Append(TLogEntryKind::Status, "");
    Log.Append(TLogEntryKind::Note, "Brieflotse: eins\nzwei\r\ndrei");

    Log.SetCommandBold(false);
    Log.Append(TLogEntryKind::Command, "\r\nSTAT\r\n");
    Log.Append(TLogEntryKind::Status, "+OK 1 2\r\n");
    Log.SetCommandBold(true);
    Log.SetStatusBold(false);
    Log.Append(TLogEntryKind::Command, "\n\rRSET now\r\n");
    Log.Append(TLogEntryKind::Status, "+OK reset\r\n");
    Log.SetStatusBold(true);

    Log.SetColorMode(TColorMode::Connection);
    Log.SetServerColor(TLogColour::Green);
    Log.AdvanceServerColor();
    Log.Append(TLogEntryKind::Command, "\r\n");
    Log.Append(TLogEntryKind::Status, "+OK navy by connection\r\n");
    Log.Append(TLogEntryKind::Body, "body in navy too\r\n");
    Log.AdvanceServerColor();
    Log.Append(TLogEntryKind::Status, "-ERR red by connection\r\n");

    Log.SetColorMode(TColorMode::Fixed);
    Log.SetServerColor(TLogColour::WindowText);
    Log.Append(TLogEntryKind::Status, "+OK window text\r\nsecond line\r\n");
    Log.SetServerColor(TLogColour::Navy);
    Log.Append(TLogEntryKind::Status, "-ERR fixed navy\r\n");
    Log.Append(TLogEntryKind::Note,
        "Brieflotse: Das Protokoll ist voll; weitere 1.234 Bytes wurden empfangen, aber nicht angezeigt.");
    Log.Append(TLogEntryKind::Command, "\r\nQUIT\r\n");
    Log.Append(TLogEntryKind::Status, "+OK Logging out.\r\n");
}
