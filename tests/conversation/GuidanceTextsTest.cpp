// Guidance choice: every row with its full German text, the error texts and
// the undefined-status text, and the edge cases of word and number matching.
#include <gtest/gtest.h>

#include <string>

#include "conversation/Capabilities.h"
#include "conversation/GuidanceTexts.h"

namespace {

const char* const kHost = "mail.example.org";

TGuidanceContext Online()
{
    TGuidanceContext Context;
    Context.Connected = true;
    Context.TargetHost = kHost;
    return Context;
}

struct TRowCase {
    int Row;
    const char* Line;
    const char* Reply;
    const char* Text;
};

const TRowCase kRowCases[] = {
    { 1, "WELC", "+OK",
        "Willkommen bei Brieflotse 1.0 (Kiosko). Um Verbindung mit einem Mail-Server aufzunehmen, geben Sie "
        "dessen Namen in das Feld \"Mail-Server\" ein und klicken dann auf \"Verbinden\". Falls Sie den "
        "Namen des gewünschten Servers nicht kennen, so können Sie auch auf \"Suchen ...\" klicken - der "
        "Assistent hilft Ihnen dann dabei, den für eine bestimmte Domain zuständigen Mail-Server ausfindig "
        "zu machen. Ohne eigenes Konto üben Sie mit dem eingebauten Übungs-Server: \"Server\" > "
        "\"Übungs-Server starten\"." },
    { 2, "CONN", "+OK POP3 ready",
        "Die Verbindung zum Server \"mail.example.org\" wurde erfolgreich aufgebaut. Sie sollten nun "
        "zunächst mit dem Kommando USER (gefolgt vom Namen eines auf dem Server vorhandenen Accounts) die zu "
        "öffnende Mailbox bestimmen. Mit dem PASS-Kommando senden Sie anschließend das für den Zugriff auf "
        "die Mailbox notwendige Paßwort." },
    { 3, "user bob", "+OK",
        "Der Server hat das USER-Kommando akzeptiert und erwartet nun die Übermittlung des zur Mailbox "
        "passenden Paßworts - viele Server werden erst danach zu erkennen geben, ob der mit dem "
        "USER-Kommando gesendete Name eine gültige Mailbox bezeichnet. Senden Sie das Paßwort als Parameter "
        "des PASS-Kommandos." },
    { 4, "PASS x", "+OK logged in",
        "Der Server hat das übermittelte Paßwort akzeptiert und die gewählte Mailbox mit einer Sperre gegen "
        "Zugriffe Dritter versehen. Sie können sich jetzt mit den Kommandos STAT und LIST einen Überblick "
        "über in der Mailbox aktuell wartenden Nachrichten verschaffen." },
    { 5, "STAT", "+OK 2 320",
        "Der Server hat statistische Daten der aktuellen Mailbox übermittelt. Aus den beiden Parametern der "
        "Statusmeldung (siehe Protokoll) sollte einerseits die Anzahl wartender Nachrichten und andererseits "
        "die Gesamtgröße (in Bytes) aller Nachrichten der Mailbox hervorgehen. Weitere Details können Sie "
        "mit dem LIST-Kommando anfordern." },
    { 6, "LIST", "+OK 2 messages",
        "Der Server hat eine Liste der in der aktuellen Mailbox wartenden Nachrichten übermittelt. Sofern "
        "die Liste nicht leer ist, können Sie die in der ersten Spalte aufgeführten Nummern als Parameter "
        "der Kommandos RETR und TOP verwenden, um so einen Blick in den Inhalt der jeweiligen Nachricht zu "
        "werfen." },
    { 7, "LIST 3", "+OK 3 120",
        "Der Server hat Nummer und Größe einer der in der aktuellen Mailbox wartenden Nachrichten "
        "übermittelt. Sie können diese Nummer als Parameter der Kommandos RETR und TOP verwenden, um so "
        "einen Blick in den Inhalt der Nachricht zu werfen." },
    { 8, "UIDL", "+OK",
        "Der Server hat eine Kennungsliste der in der aktuellen Mailbox wartenden Nachrichten übermittelt. "
        "Sofern die Liste nicht leer ist, können Sie die in der ersten Spalte aufgeführten Nummern als "
        "Parameter der Kommandos RETR und TOP verwenden, um so einen Blick in den Inhalt der jeweiligen "
        "Nachricht zu werfen." },
    { 9, "UIDL 2", "+OK 2 abc",
        "Der Server hat Nummer und Kennung einer der in der aktuellen Mailbox wartenden Nachrichten "
        "übermittelt. Sie können diese Nummer als Parameter der Kommandos RETR und TOP verwenden, um so "
        "einen Blick in den Inhalt der Nachricht zu werfen." },
    { 10, "RETR 1", "+OK 120 octets",
        "Der Server hat die angeforderte Nachricht übermittelt (siehe Protokoll). Nachdem Sie die Nachricht "
        "gelesen haben, können Sie sie mit dem DELE-Kommando vom Server löschen. Geben Sie dazu die Nummer "
        "der aktuellen Nachricht als Parameter des Kommandos an." },
    { 11, "TOP 1 5", "+OK",
        "Der Server hat die angegebene Anzahl Zeilen der angeforderten Nachricht übermittelt. Vorsicht: Je "
        "nach Parametereinstellungen des TOP-Kommandos wurde nicht der gesamte Inhalt der Nachricht "
        "übermittelt. Verwenden Sie also auf jeden Fall das RETR-Kommando, bevor Sie diese Nachricht mit "
        "DELE vom Server löschen!" },
    { 12, "DELE 1", "+OK deleted",
        "Der Server hat die angegebene Nachricht als gelöscht markiert. Sobald Sie nun das QUIT-Kommando "
        "senden, wird die Mailbox aktualisiert und die Nachricht somit endgültig gelöscht. Sie können die "
        "Markierung dieser (und aller anderen Nachrichten) rückgängig machen, indem Sie vor dem QUIT- das "
        "RSET-Kommando senden." },
    { 13, "NOOP", "+OK",
        "Der Server hat das NOOP-Kommando bestätigt. Am Status des Servers oder der Kommunikation hat sich "
        "dadurch nichts geändert - Sie können also mit dem Abrufen von E-Mail beginnen beziehungsweise "
        "fortfahren." },
    { 14, "RSET", "+OK",
        "Der Server hat das RSET-Kommando ausgeführt. Das bedeutet: Die aktuelle Mailbox befindet sich jetzt "
        "wieder im Ausgangszustand - alle zuvor als gelöscht markierten Nachrichten sind wieder verfügbar. "
        "Verwenden Sie das LIST-Kommando ohne Parameter, um sich einen Überblick über den aktuellen Inhalt "
        "der Mailbox zu verschaffen." },
    { 15, "QUIT", "+OK bye",
        "Der Server \"mail.example.org\" hat den Kommunikationskanal aufgrund des QUIT-Kommandos "
        "geschlossen. Durch einen Klick auf \"Verbinden\" können Sie die Verbindung zu diesem (oder einem "
        "anderen) Mail-Server (erneut) aufbauen. Sie können aber auch auf \"Suchen ...\" klicken - der "
        "Assistent hilft Ihnen dann dabei, den für eine bestimmte Domain zuständigen Mail-Server ausfindig "
        "zu machen." },
    { 16, "OOPS", "+OK surprise",
        "Der Server hat nach seiner letzten Antwort zusätzliche Daten gesendet, die von den "
        "Dialog-Spezifikationen in rfc1939 \"Post Office Protocol - Version 3\" abweichen. Die Struktur der "
        "Meldung läßt darauf schließen, daß es sich um eine positive Bestätigung handelt. Näheres könnte aus "
        "dem Klartext der Mitteilung (siehe Protokoll) hervorgehen." },
    { 17, "CAPA", "+OK",
        "Der Server hat das letzte Kommando ausgeführt beziehungsweise positiv bestätigt. Sie können also "
        "mit dem Abrufen von E-Mail beginnen beziehungsweise fortfahren." },
    { 18, "CONN", "-ERR",
        "Sie haben die Verbindung zum Server \"mail.example.org\" durch einen Klick auf \"Trennen\" "
        "unterbrochen. Diese Methode sollten Sie nur dann verwenden, wenn schwere Protokoll- oder "
        "TCP/IP-Probleme vorliegen. Ansonsten ist es wesentlich ratsamer, die Verbindung regulär durch "
        "Eingabe des POP3-Kommandos QUIT zu beenden." },
    { 19, "USER bob", "-ERR",
        "Der Server hat den als Parameter des USER-Kommandos angegebenen Namen nicht akzeptiert. Bei den "
        "meisten Servern können Sie das Kommando einfach unter Angabe eines anderen Mailbox-Namens erneut "
        "senden. Es gibt jedoch auch Server, die die Verbindung nach einem fehlerhaften USER-Kommando "
        "abbrechen." },
    { 20, "PASS x", "-ERR",
        "Der Server hat das übermittelte Paßwort abgelehnt. Dies kann entweder bedeuten, daß der zuvor mit "
        "einem USER-Kommando übermittelte Mailbox-Name nicht korrekt war, oder daß das Paßwort falsch ist. "
        "Es kann auch sein, daß der Server derzeit nicht auf die Mailbox zugreifen kann. Versuchen Sie, das "
        "PASS-Kommando mit korrigiertem Parameter zu wiederholen, oder senden Sie die gesamte "
        "USER/PASS-Sequenz erneut." },
    { 21, "LIST 9", "-ERR no such message",
        "Der Server konnte die angeforderte Liste nicht bereitstellen. Wahrscheinlich haben Sie als "
        "Parameter des LIST-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten "
        "Nachricht angegeben. Verwenden Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell "
        "verfügbaren Nachrichten zu erhalten." },
    { 22, "UIDL 9", "-ERR",
        "Der Server konnte die angeforderte Liste nicht bereitstellen. Wahrscheinlich haben Sie als "
        "Parameter des UIDL-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten "
        "Nachricht angegeben. Verwenden Sie das UIDL-Kommando ohne Parameter, um so eine Liste aller aktuell "
        "verfügbaren Nachrichten zu erhalten." },
    { 23, "RETR 9", "-ERR",
        "Der Server konnte die angeforderte Nachricht nicht übermitteln. Wahrscheinlich haben Sie als "
        "Parameter des RETR-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten "
        "Nachricht angegeben. Verwenden Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell "
        "verfügbaren Nachrichten zu erhalten." },
    { 24, "TOP 1 5", "-ERR",
        "Der Server konnte die angeforderte Nachricht nicht übermitteln. Wahrscheinlich haben Sie als "
        "Parameter des TOP-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten "
        "Nachricht angegeben. Verwenden Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell "
        "verfügbaren Nachrichten zu erhalten." },
    { 25, "DELE 9", "-ERR",
        "Der Server konnte die angegebene Nachricht nicht als gelöscht markieren. Wahrscheinlich haben Sie "
        "als Parameter des DELE-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten "
        "Nachricht angegeben. Verwenden Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell "
        "verfügbaren Nachrichten zu erhalten." },
    { 26, "OOPS", "-ERR what",
        "Der Server hat nach seiner letzten Antwort zusätzliche Daten gesendet, die von den "
        "Dialog-Spezifikationen in rfc1939 \"Post Office Protocol - Version 3\" abweichen. Die Struktur der "
        "Meldung läßt darauf schließen, daß es sich um eine Fehlermeldung handelt. Näheres könnte aus dem "
        "Klartext der Mitteilung (siehe Protokoll) hervorgehen." },
    { 27, "STAT", "-ERR",
        "Der Server hat das letzte Kommando oder dessen Parameter abgewiesen oder nicht verstanden. Um "
        "Fehler bei der Kommunikation mit dem Server zu vermeiden, können Sie die Buttons links neben der "
        "Protokoll-Anzeige von Brieflotse benutzen - dann werden Ihre Kommandos rfc-konform formuliert und "
        "sollten für jeden Server interpretierbar sein." },
};

const std::string kRow6 = kRowCases[5].Text;
const std::string kRow7 = kRowCases[6].Text;
const std::string kRow8 = kRowCases[7].Text;
const std::string kRow16 = kRowCases[15].Text;
const std::string kRow17 = kRowCases[16].Text;
const std::string kRow18 = kRowCases[17].Text;
const std::string kRow23 = kRowCases[22].Text;
const std::string kRow24 = kRowCases[23].Text;
const std::string kRow26 = kRowCases[25].Text;
const std::string kRow27 = kRowCases[26].Text;

std::string Undefined(const std::string& Word)
{
    return "Der Server hat das letzte Kommando mit einem Status-Code (" + Word
        + ") beantwortet, der in rfc1939 \"Post Office Protocol - Version 3\" nicht definiert ist. Es handelt sich "
          "entweder um eine Erweiterung des Protokolls oder aber um einen Fehler der Server-Software. Der mit dem "
          "Code gesendete Klartext (siehe Protokoll) könnte Aufschluß über die Bedeutung dieser Meldung geben.";
}

// The table names the conversation's own events by these keys.
TGuidance GuidanceFor(const std::string& Key, const std::string& Reply, const TGuidanceContext& Context)
{
    if (Key == "WELC")
        return ChooseGuidance(TGuidanceEvent::Welcome, Reply, Context);
    if (Key == "CONN")
        return ChooseGuidance(TGuidanceEvent::Connected, Reply, Context);
    if (Key == "OOPS")
        return ChooseGuidance(TGuidanceEvent::Unexpected, Reply, Context);
    return ChooseGuidance(ParseCommand(Key), Reply, Context);
}

std::string TextFor(const std::string& Line, const std::string& Reply)
{
    TGuidance Guidance = GuidanceFor(Line, Reply, Online());
    EXPECT_FALSE(Guidance.IsError);
    return Guidance.Text;
}

} // namespace

TEST(GuidanceTexts, EveryRowWithItsFullText)
{
    for (const TRowCase& Case : kRowCases) {
        SCOPED_TRACE("row " + std::to_string(Case.Row));
        TGuidance Guidance = GuidanceFor(Case.Line, Case.Reply, Online());
        EXPECT_EQ(Guidance.Text, Case.Text);
        EXPECT_FALSE(Guidance.IsError);
    }
}

TEST(GuidanceTexts, ErrorTextsOverrideEverythingAndAreRed)
{
    TGuidanceContext Context;
    Context.ErrorFlag = true;
    Context.ErrorMessage = "Winsock-Fehler: 10061 - Connection refused";
    Context.TargetHost = "pop.example.net";
    TGuidance E1 = ChooseGuidance(TCommand(), "", Context);
    EXPECT_TRUE(E1.IsError);
    EXPECT_EQ(E1.Text,
        "Winsock-Fehler: 10061 - Connection refused\r\n\r\nEs war nicht möglich, eine Verbindung zum Server "
        "\"pop.example.net\" aufzubauen. Überprüfen Sie, ob es sich bei dem eingegebenen Namen wirklich um einen "
        "POP3-Server handelt, ob der Name korrekt geschrieben ist und ob Ihre TCP/IP-Anbindung funktioniert.");

    Context.TargetHost = "";
    EXPECT_NE(ChooseGuidance(TCommand(), "", Context).Text.find("zum Server \"\" aufzubauen"), std::string::npos);

    Context.Connected = true;
    Context.ErrorMessage = "Winsock-Fehler: 12000 - Request timed out";
    TGuidance E2 = ChooseGuidance(ParseCommand("RETR 1"), "+OK", Context);
    EXPECT_TRUE(E2.IsError);
    EXPECT_EQ(E2.Text,
        "Winsock-Fehler: 12000 - Request timed out\r\n\r\nDie Kommunikation mit dem Server scheint gestört zu "
        "sein. Senden Sie das NOOP-Kommando, um den Fortbestand der Verbindung zu testen, oder unterbrechen Sie "
        "die Verbindung notfalls durch einen Klick auf \"Trennen\".");
}

TEST(GuidanceTexts, StatusWordIsAWholeWordInAnyCase)
{
    EXPECT_EQ(TextFor("NOOP", "+ok fine"), kRowCases[12].Text);
    EXPECT_EQ(TextFor("STAT", "-err nope"), kRow27);
    EXPECT_EQ(TextFor("NOOP", "+OKAY"), Undefined("+OKAY"));
    EXPECT_EQ(TextFor("NOOP", "OK"), Undefined("OK"));
    EXPECT_EQ(TextFor("NOOP", ""), Undefined(""));
    EXPECT_EQ(TextFor("NOOP", "+Weird thing\r\n"), Undefined("+Weird"));
    // Cut at the first line end when the status line has no blank.
    EXPECT_EQ(TextFor("LIST", "+OK\r\n1 120\r\n.\r\n"), kRow6);
    EXPECT_EQ(TextFor("NOOP", "*\r\nmore text"), Undefined("*"));
}

TEST(GuidanceTexts, ListAndUidlNumbersChooseTheRow)
{
    EXPECT_EQ(TextFor("LIST", "+OK"), kRow6);
    EXPECT_EQ(TextFor("LIST 3", "+OK 3 200"), kRow7);
    EXPECT_EQ(TextFor("LIST abc", "+OK"), kRow6);
    EXPECT_EQ(TextFor("LIST -2", "+OK"), kRow6);
    EXPECT_EQ(TextFor("UIDL 0", "+OK"), kRow8);
    EXPECT_EQ(TextFor("list 3", "+OK"), kRow7);
    EXPECT_EQ(TextFor("TOP 1 5", "-ERR"), kRow24);
    EXPECT_EQ(TextFor("RETR", "-ERR"), kRow23);
}

TEST(GuidanceTexts, FixedKeysAndOtherWords)
{
    EXPECT_EQ(TextFor("CAPA", "+OK"), kRow17);
    EXPECT_EQ(TextFor("", "+OK"), kRow17);
    EXPECT_EQ(TextFor("QUIT", "-ERR"), kRow27);
    EXPECT_EQ(TextFor("WELC", "-ERR"), kRow27);
    EXPECT_EQ(TextFor("CONN", "-ERR greeting refused"), kRow18);
    EXPECT_EQ(TextFor("OOPS", "+OK late"), kRow16);
    EXPECT_EQ(TextFor("OOPS", "-ERR late\r\n"), kRow26);
    EXPECT_EQ(TextFor("OOPS", "garbage"), Undefined("garbage"));
}

// The address connected to decides, never the name: a name may begin with
// "127." and be anywhere.
TEST(GuidanceTexts, ThisMachineIsALoopbackAddressConnectedTo)
{
    const struct {
        const char* Address;
        bool Loopback;
    } Cases[] = {
        { "127.0.0.1", true },
        { "127.255.255.254", true },
        { "::1", true },
        { "0:0:0:0:0:0:0:1", true },
        { "::ffff:127.0.0.2", true },
        { "126.255.255.255", false },
        { "128.0.0.1", false },
        { "192.0.2.7", false },
        { "::ffff:192.0.2.7", false },
        { "::2", false },
        { "fe80::1", false },
        { "", false },
        { "localhost", false },
        { "127.mail.example.net", false },
        { "[::1]", false },
        { "127.0.0.1 ", false },
        { "127.0.0.1.", false },
        { "::1%lo", false },
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(IsThisMachine(Case.Address), Case.Loopback) << Case.Address;
}

TEST(GuidanceTexts, LinesThatHandThePasswordOverInClear)
{
    for (const char* Line : { "USER anna", "pass geheim", "AUTH PLAIN AGFubmEAZ2VoZWlt", "auth login", "AUTH PLAIN" })
        EXPECT_TRUE(ParseCommand(Line).PasswordInClear) << Line;
    for (const char* Line : { "AUTH CRAM-MD5", "AUTH SCRAM-SHA-256", "AUTH", "APOP anna c4c9334b", "STAT" })
        EXPECT_FALSE(ParseCommand(Line).PasswordInClear) << Line;
}

TEST(GuidanceTexts, SaslNamesTheMechanismsTheAssistantCannotDo)
{
    const struct {
        const char* Line;
        const char* CannotDo; // named before " der Assistent nicht ausrechnen"
        const char* Instead; // named after it
    } Cases[] = {
        { "SASL PLAIN scram-sha-256", "", "" },
        { "SASL DIGEST-MD5 CRAM-MD5", "DIGEST-MD5 kann", ") CRAM-MD5." },
        { "SASL GSSAPI NTLM SCRAM-SHA-1 CRAM-SHA1 X-\x01\xff", "GSSAPI, NTLM, SCRAM-SHA-1, CRAM-SHA1 und X-   kann",
            "mit USER und PASS oder mit APOP" },
        { "SASL NTLM PLAIN XOAUTH2", "NTLM kann", "(Menü \"Befehle\", \"AUTH ...\") PLAIN oder XOAUTH2." },
    };
    for (const auto& Case : Cases) {
        const std::string Text = CapabilityGuidance(TCapabilities::Parse(std::string(Case.Line) + "\r\n"));
        const size_t Cannot = Text.find(std::string(Case.CannotDo) + " der Assistent nicht ausrechnen");
        EXPECT_EQ(Cannot == std::string::npos, !*Case.CannotDo) << Text;
        EXPECT_NE(Text.find(Case.Instead, *Case.CannotDo ? Cannot : 0), std::string::npos) << Text;
    }
}

// Typed lines are commands, whatever their word: "conn" answered with -ERR is
// no disconnection, "oops" no unasked data.
TEST(GuidanceTexts, TypedWordsNeverMatchTheConversationsOwnEvents)
{
    for (const char* Typed : { "conn", "CONN", "welc", "OOPS" }) {
        EXPECT_EQ(ChooseGuidance(ParseCommand(Typed), "-ERR unknown command", Online()).Text, kRow27) << Typed;
        EXPECT_EQ(ChooseGuidance(ParseCommand(Typed), "+OK", Online()).Text, kRowCases[16].Text) << Typed;
    }
}
