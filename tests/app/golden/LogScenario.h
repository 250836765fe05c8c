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
    Log.AppendToLog("+OK Dovecot ready. <1.2@host>\r\n", true, false);
    Log.AppendNote("Brieflotse: TLS-verschlüsselt mit TLSv1.3, TLS_AES_256_GCM_SHA384");
    Log.AppendNote("Brieflotse: Zertifikat für CN=Grüße Ω \xF0\x9F\x98\x80 {x} \\y, ausgestellt von €uro");
    Log.AppendToLog("\r\nUSER anna\r\n", false, false);
    Log.AppendToLog("+OK\r\n", true, false);
    Log.AppendToLog("\r\nPASS Schhh... nicht verraten!\r\n", false, false);
    Log.AppendToLog("-ERR [AUTH] Authentication failed.\r\n", true, false);
    Log.AppendToLog("\r\nLIST\r\n", false, false);
    Log.AppendToLog("+OK 2 messages:\r\n", true, false);
    Log.AppendToLog("1 120\r\n2 {200}\r\n", true, true);
    Log.AppendToLog(".\r\n", true, true);
    Log.AppendToLog("\r\nRETR 1\r\n", false, false);
    Log.AppendToLog("+OK 99 octets\r\n", true, false);
    Log.AppendToLog(std::string("Gr\xe4\xdf"
                                "e\0\x01\tTab \\ { } \x7f\r\n",
                        21),
        true, true);
    Log.AppendToLog("lone\rCR and lone\nLF\r\n..stuffed\r\n\r\n.\r\n", true, true);
    Log.AppendToLog("\r\nNOOP\r\n", false, false);
    Log.AppendToLog("+OK first\r\n+OK second\r\n", true, false);
    Log.AppendToLog("+OKAY no end", true, false);
    Log.AppendToLog("", true, false);
    Log.AppendNote("Brieflotse: eins\nzwei\r\ndrei");

    Log.SetCommandBold(false);
    Log.AppendToLog("\r\nSTAT\r\n", false, false);
    Log.AppendToLog("+OK 1 2\r\n", true, false);
    Log.SetCommandBold(true);
    Log.SetStatusBold(false);
    Log.AppendToLog("\n\rRSET now\r\n", false, false);
    Log.AppendToLog("+OK reset\r\n", true, false);
    Log.SetStatusBold(true);

    Log.SetColorMode(TColorMode::Connection);
    Log.SetServerColor(1);
    Log.AdvanceServerColor();
    Log.AppendToLog("\r\n", false, false);
    Log.AppendToLog("+OK navy by connection\r\n", true, false);
    Log.AppendToLog("body in navy too\r\n", true, true);
    Log.AdvanceServerColor();
    Log.AppendToLog("-ERR red by connection\r\n", true, false);

    Log.SetColorMode(TColorMode::Fixed);
    Log.SetServerColor(4);
    Log.AppendToLog("+OK window text\r\nsecond line\r\n", true, false);
    Log.SetServerColor(2);
    Log.AppendToLog("-ERR fixed navy\r\n", true, false);
    Log.AppendNote("Brieflotse: Das Protokoll ist voll; weitere 1.234 Bytes wurden empfangen, aber nicht angezeigt.");
    Log.AppendToLog("\r\nQUIT\r\n", false, false);
    Log.AppendToLog("+OK Logging out.\r\n", true, false);
}
