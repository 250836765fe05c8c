// The practice server through the real window (offscreen): started from the
// "Server" menu, a whole session against it, the certificate question over
// TLS, each chosen fault explained where it shows, and the server gone with
// the window.

#include <QAction>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/PracticeServerControl.h"
#include "dialogs/MessageBox.h"
#include "tests/app/WindowTest.h"
#include "tests/support/TempDir.h"

namespace {

bool Accepts(int Port)
{
    const int Socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool Connected = ::connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
    ::close(Socket);
    return Connected;
}

class PracticeWindow : public WindowTest {
protected:
    void Choose(const char* Entry) { Child<QAction>(*Main, Entry)->trigger(); }
    void Send(const char* Line) { Main->SendCommandLine(QLatin1String(Line)); }
    void Connect() { Child<QPushButton>(*Main, "ButtonVerbinden")->click(); }
    bool Connected() { return Main->Conversation().Connected(); }
    QString LogText() { return Child<TLogView>(*Main, "Log")->PlainText(); }
    QString Guidance() { return Child<QPlainTextEdit>(*Main, "Hint")->toPlainText(); }
    QString Server() { return Child<QComboBox>(*Main, "HostCombo")->currentText(); }
    void LogIn()
    {
        Connect();
        ASSERT_TRUE(Connected()) << Guidance().toStdString();
        Send("USER lotse");
        Send("PASS uebung");
    }
};

} // namespace

TEST_F(PracticeWindow, StartedFromTheMenuASessionLikeAnyOther)
{
    EXPECT_TRUE(Guidance().contains(QStringLiteral("\"Server\" > \"Übungs-Server starten\""))) << "start-up";
    Choose("MenuUebungsServer");
    ASSERT_TRUE(Server().startsWith(QStringLiteral("127.0.0.1:"))) << Server().toStdString();
    const int Port = Server().mid(10).toInt();
    EXPECT_TRUE(Guidance().contains(QStringLiteral("\"lotse\" und dem Paßwort \"uebung\"")))
        << Guidance().toStdString();
    LogIn();
    EXPECT_TRUE(LogText().contains(QStringLiteral("+OK Mailbox von lotse geoeffnet: 6 Nachrichten")));
    Send("RETR 5");
    EXPECT_FALSE(Main->Conversation().ErrorFlag());
    // Dot-stuffing as it travels: the log shows the doubled dots.
    EXPECT_TRUE(LogText().contains(QStringLiteral("\n..\n... zwei Punkte\n..Punkt am Anfang\n....\n")))
        << LogText().right(400).toStdString();
    Send("DELE 1");
    Send("QUIT");
    EXPECT_FALSE(Connected());
    LogIn();
    Send("STAT");
    EXPECT_TRUE(LogText().endsWith(QStringLiteral("+OK 6 1052646"))) << "DELE only for that session";
    Send("QUIT");

    // Started again: the same server; TLS from the first byte asks about the certificate.
    Choose("MenuUebungsServer");
    EXPECT_EQ(Server(), QStringLiteral("127.0.0.1:%1").arg(Port));
    const int TlsPort
        = Guidance().section(QStringLiteral("pop3s://127.0.0.1:"), 1).left(5).remove(QLatin1Char('"')).toInt();
    ASSERT_GT(TlsPort, 0) << Guidance().toStdString();
    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Yes);
    Child<QComboBox>(*Main, "HostCombo")->setEditText(QStringLiteral("pop3s://127.0.0.1:%1").arg(TlsPort));
    Connect();
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Zertifikat"));
    ASSERT_TRUE(Connected());
    Send("USER lotse");
    Send("PASS uebung");
    Send("QUIT");
    EXPECT_TRUE(LogText().contains(QStringLiteral("Mailbox von lotse geoeffnet")));

    // The server ends with the window.
    EXPECT_TRUE(Accepts(Port));
    Main.reset();
    EXPECT_FALSE(Accepts(Port));
    EXPECT_FALSE(Accepts(TlsPort));
    Main = std::make_unique<TPOP3Main>(*Store);
}

TEST_F(PracticeWindow, EachFaultIsExplainedWhenChosenAndWhenItShows)
{
    Choose("MenuUebungsServer");
    Choose("MenuFehler-no-apop");
    EXPECT_TRUE(Guidance().startsWith(QStringLiteral("Ab der nächsten Verbindung begrüßt der Übungs-Server ohne")));
    Connect();
    EXPECT_TRUE(Guidance().contains(QStringLiteral("Übungs-Server: Die Begrüßung hatte absichtlich keinen")))
        << Guidance().toStdString();
    Send("QUIT");

    Choose("MenuFehler-in-use");
    LogIn();
    EXPECT_TRUE(LogText().endsWith(QStringLiteral("-ERR [IN-USE] Die Mailbox ist gerade von einer anderen Sitzung "
                                                  "gesperrt")));
    EXPECT_TRUE(Guidance().contains(QStringLiteral("Übungs-Server: Name und Paßwort stimmten")))
        << Guidance().toStdString();
    Send("QUIT");

    Choose("MenuFehler-broken-multiline");
    LogIn();
    Send("NOOP");
    EXPECT_TRUE(Guidance().contains(QStringLiteral("regelwidrig mehrzeilig"))) << Guidance().toStdString();
    Send("QUIT");

    Choose("MenuFehler-drop-retr");
    LogIn();
    Send("RETR 6");
    EXPECT_TRUE(Guidance().contains(QStringLiteral("Übungs-Server: Er hat die Verbindung absichtlich mitten")))
        << Guidance().toStdString();
    EXPECT_FALSE(LogText().endsWith(QStringLiteral("\n.")));

    Choose("MenuFehler-login-delay");
    EXPECT_TRUE(Guidance().contains(QStringLiteral("Anmeldungen nur alle 20 Sekunden")));
    TMessageBox::SetNextAnswer(QMessageBox::Yes);
    Child<QPushButton>(*Main, "ButtonTrennen")->click();
    LogIn();
    EXPECT_TRUE(LogText().contains(QStringLiteral("-ERR [LOGIN-DELAY] ")));
    EXPECT_TRUE(Guidance().contains(QStringLiteral("Warten Sie 20 Sekunden"))) << Guidance().toStdString();
    Send("QUIT");

    Choose("MenuFehler-none");
    LogIn();
    Send("NOOP");
    EXPECT_FALSE(Guidance().contains(QStringLiteral("Übungs-Server:"))) << Guidance().toStdString();
}

// "Mitschnitt abspielen ..." with a malformed file: the message names its line
// (the sound file is served in the end-to-end test).
TEST_F(PracticeWindow, ReplayOfAMalformedFileNamesItsLine)
{
    TempDir Folder;
    std::ofstream(Folder.file("kaputt.jsonl"))
        << "{\"type\":\"brieflotse-transcript\",\"format\":1,\"program\":\"Brieflotse 1.0\","
           "\"started\":\"2026-12-08T00:12:00.123456Z\",\"redacted\":true}\n{\"t\":2,\"conn\":1}\n";
    auto* Control = Main->findChild<TPracticeServerControl*>();
    ASSERT_TRUE(Control);
    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    EXPECT_FALSE(Control->StartReplay(QString::fromStdString(Folder.file("kaputt.jsonl"))));
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Mitschnitt abspielen"));
    EXPECT_TRUE(TMessageBox::LastText().contains(QStringLiteral("Zeile 2: Feld \"kind\" fehlt")))
        << TMessageBox::LastText().toStdString();
    EXPECT_TRUE(Server().isEmpty()) << Server().toStdString();
}
