// Guidance texts: the teaching content of the program, one per key and status.
#include "conversation/GuidanceTexts.h"

#include "auth/Pop3Auth.h"
#include "conversation/ReplyRules.h"
#include "net/PeerAddress.h"
#include "text/AsciiText.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

enum class TListKind { Any, Whole, Single }; // LIST/UIDL: number < 1 or >= 1

struct TRow {
    const char* Status;
    const char* Word; // nullptr: any other word
    TListKind List;
    const char* Text;
};

// The continuation of an AUTH exchange ("+ " and a challenge).
const char* const kContinuationText
    = "Der Server setzt die Anmeldung fort: \"+\" ist keine Bestätigung, sondern eine Frage, Base64-kodiert "
      "(Brieflotse zeigt sie im Protokoll dekodiert). Er erwartet jetzt Ihre Antwort als eigene Zeile ohne "
      "Kommando-Wort, ebenfalls Base64-kodiert. Mit \"*\" brechen Sie die Anmeldung ab.";

// AUTH without a mechanism: the list of mechanisms.
const char* const kMechanismListText
    = "Der Server hat die Verfahren aufgezählt, mit denen Sie sich über AUTH anmelden können (siehe Protokoll). Der "
      "Assistent (Menü \"Befehle\", \"AUTH ...\") rechnet für PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-256, XOAUTH2 und "
      "OAUTHBEARER "
      "die Antworten aus; andere (etwa DIGEST-MD5, SCRAM-SHA-1, GSSAPI oder NTLM) kann er nicht. Nennt der Server "
      "keines der fünf, melden Sie sich mit USER und PASS oder mit APOP an.";

struct TCodeText {
    const char* Code;
    const char* Text;
};

const TCodeText kCodeTexts[] = {
    { "IN-USE",
        "[IN-USE]: Die Mailbox ist gerade geöffnet, von einem anderen Programm oder einer anderen Verbindung, und "
        "deshalb gesperrt. Warten Sie, bis jene fertig ist, und melden Sie sich dann erneut an." },
    { "LOGIN-DELAY",
        "[LOGIN-DELAY]: Sie haben sich zu bald nach der letzten Anmeldung wieder angemeldet. Der Server verlangt eine "
        "Pause zwischen zwei Anmeldungen (wie lang, nennt CAPA unter LOGIN-DELAY)." },
    { "SYS/TEMP",
        "[SYS/TEMP]: Ein vorübergehendes Problem des Servers, nicht Ihrer Eingabe. Ein späterer Versuch kann "
        "gelingen." },
    { "SYS/PERM",
        "[SYS/PERM]: Ein dauerhaftes Problem des Servers; ein erneuter Versuch hilft nicht. Wenden Sie sich an den "
        "Betreiber." },
    { "AUTH",
        "[AUTH]: Die Anmeldedaten selbst waren falsch (Name, Paßwort oder Verfahren), kein Problem des Servers. Prüfen "
        "Sie sie, bevor Sie es erneut versuchen." },
    { "UTF8",
        "[UTF8]: Der Server will diese Mailbox nur in UTF-8 öffnen: Senden Sie vorher das Kommando UTF8 (wenn CAPA es "
        "nennt)." },
};

const char* const kUnknownCodeText
    = "[%s]: ein Antwort-Code, den Brieflotse nicht kennt; der Klartext der Antwort kann ihn erklären.";

// Tried in order; the first match wins. "%s" is the target host.
const TRow kRows[] = {
    { "+OK", "WELC", TListKind::Any,
        "Willkommen bei Brieflotse 1.0 (Kiosko). Um Verbindung mit einem Mail-Server aufzunehmen, geben Sie dessen "
        "Namen in das Feld \"Mail-Server\" ein und klicken dann auf \"Verbinden\". Falls Sie den Namen des gewünschten "
        "Servers nicht kennen, so können Sie auch auf \"Suchen ...\" klicken - der Assistent hilft Ihnen dann dabei, "
        "den "
        "für eine bestimmte Domain zuständigen Mail-Server ausfindig zu machen. Ohne eigenes Konto üben Sie mit dem "
        "eingebauten Übungs-Server: \"Server\" > \"Übungs-Server starten\"." },
    { "+OK", "CONN", TListKind::Any,
        "Die Verbindung zum Server \"%s\" wurde erfolgreich aufgebaut. Sie sollten nun zunächst mit dem Kommando USER "
        "(gefolgt vom Namen eines auf dem Server vorhandenen Accounts) die zu öffnende Mailbox bestimmen. Mit dem "
        "PASS-Kommando senden Sie anschließend das für den Zugriff auf die Mailbox notwendige Paßwort." },
    { "+OK", "USER", TListKind::Any,
        "Der Server hat das USER-Kommando akzeptiert und erwartet nun die Übermittlung des zur Mailbox passenden "
        "Paßworts - viele Server werden erst danach zu erkennen geben, ob der mit dem USER-Kommando gesendete Name "
        "eine "
        "gültige Mailbox bezeichnet. Senden Sie das Paßwort als Parameter des PASS-Kommandos." },
    { "+OK", "PASS", TListKind::Any,
        "Der Server hat das übermittelte Paßwort akzeptiert und die gewählte Mailbox mit einer Sperre gegen Zugriffe "
        "Dritter versehen. Sie können sich jetzt mit den Kommandos STAT und LIST einen Überblick über in der Mailbox "
        "aktuell wartenden Nachrichten verschaffen." },
    { "+OK", "STAT", TListKind::Any,
        "Der Server hat statistische Daten der aktuellen Mailbox übermittelt. Aus den beiden Parametern der "
        "Statusmeldung (siehe Protokoll) sollte einerseits die Anzahl wartender Nachrichten und andererseits die "
        "Gesamtgröße (in Bytes) aller Nachrichten der Mailbox hervorgehen. Weitere Details können Sie mit dem "
        "LIST-Kommando anfordern." },
    { "+OK", "LIST", TListKind::Whole,
        "Der Server hat eine Liste der in der aktuellen Mailbox wartenden Nachrichten übermittelt. Sofern die Liste "
        "nicht leer ist, können Sie die in der ersten Spalte aufgeführten Nummern als Parameter der Kommandos RETR und "
        "TOP verwenden, um so einen Blick in den Inhalt der jeweiligen Nachricht zu werfen." },
    { "+OK", "LIST", TListKind::Single,
        "Der Server hat Nummer und Größe einer der in der aktuellen Mailbox wartenden Nachrichten übermittelt. Sie "
        "können diese Nummer als Parameter der Kommandos RETR und TOP verwenden, um so einen Blick in den Inhalt der "
        "Nachricht zu werfen." },
    { "+OK", "UIDL", TListKind::Whole,
        "Der Server hat eine Kennungsliste der in der aktuellen Mailbox wartenden Nachrichten übermittelt. Sofern die "
        "Liste nicht leer ist, können Sie die in der ersten Spalte aufgeführten Nummern als Parameter der Kommandos "
        "RETR "
        "und TOP verwenden, um so einen Blick in den Inhalt der jeweiligen Nachricht zu werfen." },
    { "+OK", "UIDL", TListKind::Single,
        "Der Server hat Nummer und Kennung einer der in der aktuellen Mailbox wartenden Nachrichten übermittelt. Sie "
        "können diese Nummer als Parameter der Kommandos RETR und TOP verwenden, um so einen Blick in den Inhalt der "
        "Nachricht zu werfen." },
    { "+OK", "RETR", TListKind::Any,
        "Der Server hat die angeforderte Nachricht übermittelt (siehe Protokoll). Nachdem Sie die Nachricht gelesen "
        "haben, können Sie sie mit dem DELE-Kommando vom Server löschen. Geben Sie dazu die Nummer der aktuellen "
        "Nachricht als Parameter des Kommandos an." },
    { "+OK", "TOP", TListKind::Any,
        "Der Server hat die angegebene Anzahl Zeilen der angeforderten Nachricht übermittelt. Vorsicht: Je nach "
        "Parametereinstellungen des TOP-Kommandos wurde nicht der gesamte Inhalt der Nachricht übermittelt. Verwenden "
        "Sie also auf jeden Fall das RETR-Kommando, bevor Sie diese Nachricht mit DELE vom Server löschen!" },
    { "+OK", "DELE", TListKind::Any,
        "Der Server hat die angegebene Nachricht als gelöscht markiert. Sobald Sie nun das QUIT-Kommando senden, wird "
        "die Mailbox aktualisiert und die Nachricht somit endgültig gelöscht. Sie können die Markierung dieser (und "
        "aller anderen Nachrichten) rückgängig machen, indem Sie vor dem QUIT- das RSET-Kommando senden." },
    { "+OK", "NOOP", TListKind::Any,
        "Der Server hat das NOOP-Kommando bestätigt. Am Status des Servers oder der Kommunikation hat sich dadurch "
        "nichts geändert - Sie können also mit dem Abrufen von E-Mail beginnen beziehungsweise fortfahren." },
    { "+OK", "RSET", TListKind::Any,
        "Der Server hat das RSET-Kommando ausgeführt. Das bedeutet: Die aktuelle Mailbox befindet sich jetzt wieder im "
        "Ausgangszustand - alle zuvor als gelöscht markierten Nachrichten sind wieder verfügbar. Verwenden Sie das "
        "LIST-Kommando ohne Parameter, um sich einen Überblick über den aktuellen Inhalt der Mailbox zu verschaffen." },
    { "+OK", "QUIT", TListKind::Any,
        "Der Server \"%s\" hat den Kommunikationskanal aufgrund des QUIT-Kommandos geschlossen. Durch einen Klick auf "
        "\"Verbinden\" können Sie die Verbindung zu diesem (oder einem anderen) Mail-Server (erneut) aufbauen. Sie "
        "können aber auch auf \"Suchen ...\" klicken - der Assistent hilft Ihnen dann dabei, den für eine bestimmte "
        "Domain zuständigen Mail-Server ausfindig zu machen." },
    { "+OK", "OOPS", TListKind::Any,
        "Der Server hat nach seiner letzten Antwort zusätzliche Daten gesendet, die von den Dialog-Spezifikationen in "
        "rfc1939 \"Post Office Protocol - Version 3\" abweichen. Die Struktur der Meldung läßt darauf schließen, daß "
        "es "
        "sich um eine positive Bestätigung handelt. Näheres könnte aus dem Klartext der Mitteilung (siehe Protokoll) "
        "hervorgehen." },
    { "+OK", "APOP", TListKind::Any,
        "Der Server hat die Anmeldung mit APOP angenommen: die Prüfsumme aus dem Zeitstempel seiner Begrüßung und "
        "Ihrem Paßwort stimmte. Das Paßwort selbst ist dabei nicht über die Leitung gegangen. Die Mailbox ist jetzt "
        "geöffnet; mit STAT und LIST verschaffen Sie sich einen Überblick." },
    { "+OK", "AUTH", TListKind::Any,
        "Der Server hat die Anmeldung mit AUTH angenommen, die Mailbox ist jetzt geöffnet. Mit STAT und LIST "
        "verschaffen Sie sich einen Überblick über die wartenden Nachrichten." },
    { "+OK", nullptr, TListKind::Any,
        "Der Server hat das letzte Kommando ausgeführt beziehungsweise positiv bestätigt. Sie können also mit dem "
        "Abrufen von E-Mail beginnen beziehungsweise fortfahren." },
    { "+", nullptr, TListKind::Any, kContinuationText },
    { "-ERR", "CONN", TListKind::Any,
        "Sie haben die Verbindung zum Server \"%s\" durch einen Klick auf \"Trennen\" unterbrochen. Diese Methode "
        "sollten Sie nur dann verwenden, wenn schwere Protokoll- oder TCP/IP-Probleme vorliegen. Ansonsten ist es "
        "wesentlich ratsamer, die Verbindung regulär durch Eingabe des POP3-Kommandos QUIT zu beenden." },
    { "-ERR", "USER", TListKind::Any,
        "Der Server hat den als Parameter des USER-Kommandos angegebenen Namen nicht akzeptiert. Bei den meisten "
        "Servern können Sie das Kommando einfach unter Angabe eines anderen Mailbox-Namens erneut senden. Es gibt "
        "jedoch "
        "auch Server, die die Verbindung nach einem fehlerhaften USER-Kommando abbrechen." },
    { "-ERR", "PASS", TListKind::Any,
        "Der Server hat das übermittelte Paßwort abgelehnt. Dies kann entweder bedeuten, daß der zuvor mit einem "
        "USER-Kommando übermittelte Mailbox-Name nicht korrekt war, oder daß das Paßwort falsch ist. Es kann auch "
        "sein, "
        "daß der Server derzeit nicht auf die Mailbox zugreifen kann. Versuchen Sie, das PASS-Kommando mit "
        "korrigiertem "
        "Parameter zu wiederholen, oder senden Sie die gesamte USER/PASS-Sequenz erneut." },
    { "-ERR", "LIST", TListKind::Any,
        "Der Server konnte die angeforderte Liste nicht bereitstellen. Wahrscheinlich haben Sie als Parameter des "
        "LIST-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten Nachricht angegeben. "
        "Verwenden "
        "Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell verfügbaren Nachrichten zu erhalten." },
    { "-ERR", "UIDL", TListKind::Any,
        "Der Server konnte die angeforderte Liste nicht bereitstellen. Wahrscheinlich haben Sie als Parameter des "
        "UIDL-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten Nachricht angegeben. "
        "Verwenden "
        "Sie das UIDL-Kommando ohne Parameter, um so eine Liste aller aktuell verfügbaren Nachrichten zu erhalten." },
    { "-ERR", "RETR", TListKind::Any,
        "Der Server konnte die angeforderte Nachricht nicht übermitteln. Wahrscheinlich haben Sie als Parameter des "
        "RETR-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten Nachricht angegeben. "
        "Verwenden "
        "Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell verfügbaren Nachrichten zu erhalten." },
    { "-ERR", "TOP", TListKind::Any,
        "Der Server konnte die angeforderte Nachricht nicht übermitteln. Wahrscheinlich haben Sie als Parameter des "
        "TOP-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten Nachricht angegeben. "
        "Verwenden "
        "Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell verfügbaren Nachrichten zu erhalten." },
    { "-ERR", "DELE", TListKind::Any,
        "Der Server konnte die angegebene Nachricht nicht als gelöscht markieren. Wahrscheinlich haben Sie als "
        "Parameter "
        "des DELE-Kommandos einen zu hohen Wert oder aber die Nummer einer bereits gelöschten Nachricht angegeben. "
        "Verwenden Sie das LIST-Kommando ohne Parameter, um so eine Liste aller aktuell verfügbaren Nachrichten zu "
        "erhalten." },
    { "-ERR", "CAPA", TListKind::Any,
        "Der Server kennt das Kommando CAPA nicht: er spricht offenbar nur das POP3 von 1996 (rfc1939) und nennt "
        "seine Fähigkeiten nicht. STLS und AUTH bietet er vermutlich auch nicht an; melden Sie sich mit USER und PASS "
        "an." },
    { "-ERR", "APOP", TListKind::Any,
        "Der Server hat die Anmeldung mit APOP abgelehnt. Entweder stimmen Name oder Paßwort nicht, oder der Server "
        "kennt für diesen Namen kein APOP (viele Server erlauben es nur mit eigens hinterlegtem Paßwort). Versuchen "
        "Sie es erneut oder melden Sie sich mit USER und PASS an." },
    { "-ERR", "AUTH", TListKind::Any,
        "Der Server hat die Anmeldung mit AUTH abgelehnt oder abgebrochen. Entweder stimmen Name, Paßwort oder Token "
        "nicht, oder der Server erlaubt dieses Verfahren hier nicht (PLAIN und LOGIN oft nur auf verschlüsselten "
        "Verbindungen), oder die Anmeldung wurde mit \"*\" abgebrochen. Welche Verfahren er anbietet, zeigt CAPA in "
        "der Zeile SASL." },
    { "-ERR", "OOPS", TListKind::Any,
        "Der Server hat nach seiner letzten Antwort zusätzliche Daten gesendet, die von den Dialog-Spezifikationen in "
        "rfc1939 \"Post Office Protocol - Version 3\" abweichen. Die Struktur der Meldung läßt darauf schließen, daß "
        "es "
        "sich um eine Fehlermeldung handelt. Näheres könnte aus dem Klartext der Mitteilung (siehe Protokoll) "
        "hervorgehen." },
    { "-ERR", nullptr, TListKind::Any,
        "Der Server hat das letzte Kommando oder dessen Parameter abgewiesen oder nicht verstanden. Um Fehler bei der "
        "Kommunikation mit dem Server zu vermeiden, können Sie die Buttons links neben der Protokoll-Anzeige von "
        "Brieflotse benutzen - dann werden Ihre Kommandos rfc-konform formuliert und sollten für jeden Server "
        "interpretierbar sein." },
};

const char* const kNotConnectedText
    = "Es war nicht möglich, eine Verbindung zum Server \"%s\" aufzubauen. Überprüfen Sie, ob es sich bei dem "
      "eingegebenen Namen wirklich um einen POP3-Server handelt, ob der Name korrekt geschrieben ist und ob Ihre "
      "TCP/IP-Anbindung funktioniert.";

const char* const kDisturbedText
    = "Die Kommunikation mit dem Server scheint gestört zu sein. Senden Sie das NOOP-Kommando, um den Fortbestand der "
      "Verbindung zu testen, oder unterbrechen Sie die Verbindung notfalls durch einen Klick auf \"Trennen\".";

const char* const kUndefinedStatusText
    = "Der Server hat das letzte Kommando mit einem Status-Code (%s) beantwortet, der in rfc1939 \"Post Office "
      "Protocol - Version 3\" nicht definiert ist. Es handelt sich entweder um eine Erweiterung des Protokolls oder "
      "aber um einen Fehler der Server-Software. Der mit dem Code gesendete Klartext (siehe Protokoll) könnte "
      "Aufschluß über die Bedeutung dieser Meldung geben.";

const char* const kTlsFailedText
    = "Die Verschlüsselung mit dem Server \"%s\" ist gescheitert, deshalb ist die Verbindung getrennt: Ohne "
      "intakte TLS-Sitzung geht nichts sicher über die Leitung. Den Grund, den OpenSSL nennt, zeigt das Protokoll; "
      "\"wrong version number\" heißt meist, daß der Server dort gar kein TLS spricht (dann \"pop3://\" und STLS "
      "versuchen). Mit \"Verbinden\" bauen Sie eine neue Verbindung auf.";

// Fills the single "%s" of a text; the value is inserted as it stands.
std::string Fill(const std::string& Text, const std::string& Value)
{
    size_t At = Text.find("%s");
    if (At == std::string::npos)
        return Text;
    return Text.substr(0, At) + Value + Text.substr(At + 2);
}

// The rows of the conversation's own events carry these keys; no typed
// command matches them, whatever its word.
const char* EventKey(TGuidanceEvent Event)
{
    switch (Event) {
    case TGuidanceEvent::Welcome:
        return "WELC";
    case TGuidanceEvent::Connected:
        return "CONN";
    case TGuidanceEvent::Unexpected:
        return "OOPS";
    case TGuidanceEvent::Command:
        break;
    }
    return nullptr;
}

bool IsEventRow(const TRow& Row)
{
    if (Row.Word == nullptr)
        return false;
    for (TGuidanceEvent Event : { TGuidanceEvent::Welcome, TGuidanceEvent::Connected, TGuidanceEvent::Unexpected })
        if (std::string(Row.Word) == EventKey(Event))
            return true;
    return false;
}

bool RowMatches(const TRow& Row, const std::string& Status, TGuidanceEvent Event, const TCommand& Command)
{
    if (Status != Row.Status)
        return false;
    // Rows for any word (Word null) serve commands and events alike.
    if (Row.Word != nullptr) {
        if (Event != TGuidanceEvent::Command)
            return std::string(Row.Word) == EventKey(Event);
        if (IsEventRow(Row) || Command.Word != Row.Word)
            return false;
    }
    switch (Row.List) {
    case TListKind::Whole:
        return Command.Number < 1;
    case TListKind::Single:
        return Command.Number >= 1;
    case TListKind::Any:
        break;
    }
    return true;
}

// Response codes that explain a refusal better than the text for the command.
bool CodeLeads(const std::string& Code)
{
    const std::string Upper = AsciiUpper(Code);
    return Upper == "IN-USE" || Upper == "LOGIN-DELAY" || Upper == "SYS/TEMP" || Upper == "SYS/PERM";
}

} // namespace

TGuidance ServerEndedGuidance(const std::string& TargetHost, bool CutShort, const std::string& Lead)
{
    static const char* const CutShortText
        = "Der Server \"%s\" hat die Verbindung beendet, bevor seine Antwort vollständig war; was angekommen ist, "
          "steht im Protokoll. Brieflotse ist jetzt offline. Mit \"Verbinden\" bauen Sie eine neue Verbindung auf.";
    static const char* const EndedText
        = "Der Server \"%s\" hat die Verbindung von sich aus beendet, zum Beispiel nach einem abgelehnten Paßwort "
          "oder weil er zu lange kein Kommando erhalten hat. Brieflotse ist jetzt offline. Mit \"Verbinden\" bauen "
          "Sie eine neue Verbindung auf.";
    const std::string Text = Fill(CutShort ? CutShortText : EndedText, TargetHost);
    return { Lead.empty() ? Text : Lead + "\r\n\r\n" + Text, true };
}

std::string LateReplyText(const std::string& Command)
{
    return "Diese Antwort kam zu spät: Sie gehört zu " + Command
        + ", das Sie vorher gesendet hatten, als Brieflotse nach der Wartezeit aufgegeben hatte. Ein POP3-Server "
          "antwortet in der Reihenfolge der Kommandos. Zu "
        + Command + " gilt:";
}

std::string OwedReplyText(const std::string& Command)
{
    return "Die Antwort auf " + Command
        + " steht noch aus. Kommt sie später, zeigt Brieflotse sie als verspätete "
          "Antwort auf "
        + Command
        + " an (im Protokoll grau markiert); das nächste Kommando bekommt danach seine "
          "eigene Antwort.";
}

std::string LateReplyFirstText(const std::string& Command)
{
    return "Vor dieser Antwort kam noch die verspätete Antwort auf " + Command
        + " (im Protokoll grau markiert); Brieflotse hat sie ihrem Kommando zugeordnet.";
}

bool IsThisMachine(const std::string& PeerAddress)
{
    TPeerAddress Address;
    if (!ParseNumericAddress(PeerAddress, Address))
        return false;
    if (Address.Family() == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in*>(&Address.Storage)->sin_addr.s_addr) >> 24 == 127;
    const in6_addr& V6 = reinterpret_cast<const sockaddr_in6*>(&Address.Storage)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&V6) || (IN6_IS_ADDR_V4MAPPED(&V6) && V6.s6_addr[12] == 127);
}

std::string CertificateProblemText(TTlsVerifyResult Result, const std::string& TargetHost)
{
    switch (Result) {
    case tvOk:
        return "";
    case tvExpired:
        return "Das Zertifikat des Servers ist abgelaufen.";
    case tvNotYetValid:
        return "Das Zertifikat des Servers ist noch nicht gültig.";
    case tvWrongHost:
        return Fill("Das Zertifikat gilt für einen anderen Namen als \"%s\": Sie sind womöglich nicht mit dem Server "
                    "verbunden, den Sie meinen.",
            TargetHost);
    case tvSelfSigned:
        return "Das Zertifikat ist selbst signiert: keine Stelle, der dieser Rechner vertraut, hat es bestätigt.";
    case tvUntrusted:
        return "Das Zertifikat stammt von einer Zertifizierungsstelle, die dieser Rechner nicht kennt.";
    case tvIncompleteChain:
        return "Der Server hat eine unvollständige Zertifikatskette gesendet: Der Aussteller seines Zertifikats ist "
               "nicht unter den gesendeten Zertifikaten, und dieser Rechner kennt ihn auch nicht. Meist fehlt in der "
               "Einrichtung des Servers ein Zwischenzertifikat, das sein Betreiber mitsenden muß.";
    case tvOther:
        break;
    }
    return "Das Zertifikat des Servers konnte nicht geprüft werden.";
}

std::string ConnectionSecurityText(const TTlsInfo* Tls, const std::string& TargetHost, const std::string& PeerAddress)
{
    if (Tls)
        return "Die Verbindung ist mit TLS verschlüsselt (" + Tls->Protocol
            + "); was Sie senden, auch Name und Paßwort, kann unterwegs niemand mitlesen. Einzelheiten zum Zertifikat "
              "stehen im Protokoll.";
    if (IsThisMachine(PeerAddress))
        return "";
    return "Achtung: Diese Verbindung ist nicht verschlüsselt. USER und PASS würden Name und Paßwort im Klartext "
           "übertragen, lesbar für jeden auf dem Weg. Senden Sie zuerst STLS (wenn der Server es anbietet), oder "
           "verbinden Sie sich verschlüsselt mit \"pop3s://"
        + TargetHost + "\".";
}

std::string StlsFirstText(const std::string& TargetHost)
{
    return "Die Mail-Server-Suche hat " + TargetHost
        + " mit STLS gefunden: Senden Sie als erstes STLS, damit die Verbindung verschlüsselt wird, und erst danach "
          "Name und Paßwort.";
}

std::string ApopOfferText(const std::string& Timestamp, bool TooLong)
{
    // The timestamp itself is in the log; the panel only says what it offers.
    if (Timestamp.empty() && TooLong)
        return ApopTimestampTooLongText();
    if (Timestamp.empty())
        return "";
    return "Die Begrüßung trägt einen Zeitstempel <...>: Der Server bietet APOP an, eine Anmeldung ohne das Paßwort "
           "selbst (Menü \"Befehle\", \"APOP ...\").";
}

std::string ApopTimestampTooLongText()
{
    return "Die Begrüßung trägt einen Zeitstempel <...>, aber er ist länger als " + std::to_string(MaxTimestampChars)
        + " Zeichen; Brieflotse bildet daraus keine APOP-Prüfsumme. Melden Sie sich mit USER und PASS oder mit AUTH "
          "an.";
}

TGuidance StlsGuidance(bool Accepted, const TTlsInfo* Tls)
{
    if (Accepted && Tls)
        return { "Der Server hat STLS angenommen, und die Verbindung ist jetzt mit TLS verschlüsselt (" + Tls->Protocol
                + "). Was ab jetzt gesendet wird, auch Name und Paßwort, kann unterwegs niemand mitlesen. Melden Sie "
                  "sich nun mit USER und PASS an.",
            false };
    return {
        "Der Server hat STLS abgelehnt: er bietet auf dieser Verbindung keine Verschlüsselung an. Name und Paßwort "
        "gingen hier im Klartext über das Netz. Versuchen Sie, sich mit \"pop3s://\" vor dem Server-Namen "
        "(Port 995) zu verbinden.",
        true
    };
}

TGuidance StlsNotSentGuidance(const TTlsInfo& Tls)
{
    return { "Die Verbindung ist bereits mit TLS verschlüsselt (" + Tls.Protocol
            + "), deshalb hat Brieflotse STLS nicht gesendet: Eine zweite Verschlüsselung in der ersten gibt es "
              "nicht, auch wenn manche Server STLS hier anbieten und mit \"+OK\" beantworten. Melden Sie sich "
              "einfach an.",
        false };
}

std::string ClearTextQuestion(const std::string& Word, const std::string& TargetHost)
{
    return Fill("Die Verbindung zu \"%s\" ist nicht verschlüsselt. ", TargetHost) + Word
        + " übergibt Name oder Paßwort im Klartext (AUTH PLAIN und LOGIN nur Base64-kodiert); jeder, der die "
          "Verbindung mitliest, kann sie lesen.\r\n\r\nSenden Sie zuerst STLS oder verbinden Sie sich mit "
          "\"pop3s://\". Trotzdem jetzt senden?";
}

TGuidance CertificateRefusedGuidance(TTlsVerifyResult Result, const std::string& TargetHost)
{
    return { CertificateProblemText(Result, TargetHost)
            + "\r\n\r\nSie haben diesem Zertifikat nicht vertraut, deshalb hat Brieflotse die Verbindung getrennt, "
              "bevor etwas gesendet wurde.",
        true };
}

TGuidance UnprovenServerGuidance(bool Forged)
{
    const std::string Why = Forged
        ? "Seine Server-Signatur (\"v=\") stimmt nicht: Entweder kennt er das Paßwort nicht, oder ein anderer hat "
          "sich dazwischengeschaltet. Brieflotse hat die Anmeldung deshalb mit \"*\" abgebrochen."
        : "Er hat die Anmeldung mit SCRAM-SHA-256 beendet, ohne seine Server-Signatur (\"v=\") zu senden. Gerade "
          "diesen Beweis verlangt SCRAM; ohne ihn kann sich jeder als Ihr Server ausgeben.";
    return { "Der Server hat nicht bewiesen, daß er Ihr Paßwort kennt. " + Why
            + " Senden Sie auf dieser Verbindung nichts Vertrauliches mehr, trennen Sie sie und prüfen Sie, mit wem "
              "Sie verbunden sind.",
        true };
}

TGuidance StoppedGuidance(const std::string& TargetHost)
{
    static const char* const Text
        = "Sie haben das Warten auf den Server \"%s\" abgebrochen. Weil eine unterbrochene Antwort den Austausch "
          "durcheinanderbringt, hat Brieflotse die Verbindung getrennt; was bis dahin angekommen war, steht im "
          "Protokoll. Mit \"Verbinden\" bauen Sie eine neue Verbindung auf.";
    return { Fill(Text, TargetHost), false };
}

namespace {

TGuidance Choose(
    TGuidanceEvent Event, const TCommand& Command, const std::string& Reply, const TGuidanceContext& Context);

} // namespace

TGuidance ChooseGuidance(const TCommand& Command, const std::string& Reply, const TGuidanceContext& Context)
{
    return Choose(TGuidanceEvent::Command, Command, Reply, Context);
}

TGuidance ChooseGuidance(TGuidanceEvent Event, const std::string& Reply, const TGuidanceContext& Context)
{
    return Choose(Event, TCommand(), Reply, Context);
}

namespace {

TGuidance Choose(
    TGuidanceEvent Event, const TCommand& Command, const std::string& Reply, const TGuidanceContext& Context)
{
    if (Context.ErrorFlag) {
        const std::string Lead = Context.ErrorMessage + "\r\n\r\n";
        if (Context.TlsFailed)
            return { Lead + Fill(kTlsFailedText, Context.TargetHost), true };
        if (Context.Connected)
            return { Lead + kDisturbedText, true };
        return { Lead + Fill(kNotConnectedText, Context.TargetHost), true };
    }
    const std::string Status = ReplyStatusWord(Reply);
    const std::string UpperStatus = AsciiUpper(Status);
    std::string Code = ResponseCode(Reply);
    const std::string CodeText = Code.empty() ? "" : "\r\n\r\n" + ResponseCodeText(Code);
    // A locked mailbox or a server problem is the news; the row's guesses
    // about a wrong name or password come after it.
    if (CodeLeads(Code)) {
        for (const TRow& Row : kRows)
            if (RowMatches(Row, UpperStatus, Event, Command))
                return { ResponseCodeText(Code) + "\r\n\r\n" + Fill(Row.Text, Context.TargetHost), false };
    }
    if (Event == TGuidanceEvent::Command && UpperStatus == "+OK" && Command.Kind == TCommandKind::Auth
        && Command.MultiLine)
        return { kMechanismListText + CodeText, false };
    for (const TRow& Row : kRows)
        if (RowMatches(Row, UpperStatus, Event, Command))
            return { Fill(Row.Text, Context.TargetHost) + CodeText, false };
    // The word may be anything a server sent: megabytes, control bytes, 8-bit.
    return { Fill(kUndefinedStatusText, QuotedStatusWord(Status)) + CodeText, false };
}

} // namespace

std::string ResponseCodeText(const std::string& Code)
{
    const std::string Upper = AsciiUpper(Code);
    for (const TCodeText& Known : kCodeTexts)
        if (Upper == Known.Code)
            return Known.Text;
    return Fill(kUnknownCodeText, QuotedStatusWord(Code));
}

std::vector<std::string> AllGuidanceTexts(const std::string& TargetHost, const std::string& ErrorMessage)
{
    std::vector<std::string> Texts;
    for (const TRow& Row : kRows)
        Texts.push_back(Fill(Row.Text, TargetHost));
    const std::string Lead = ErrorMessage + "\r\n\r\n";
    Texts.push_back(Lead + kDisturbedText);
    Texts.push_back(Lead + Fill(kNotConnectedText, TargetHost));
    Texts.push_back(Lead + Fill(kTlsFailedText, TargetHost));
    Texts.push_back(Fill(kUndefinedStatusText, QuotedStatusWord(std::string(100, 'W'))));
    Texts.push_back(kMechanismListText);
    // After a greeting: the text, the warning of a connection in clear, the APOP offer.
    TGuidanceContext Greeted;
    Greeted.TargetHost = TargetHost;
    Texts.push_back(ChooseGuidance(TGuidanceEvent::Connected, "+OK", Greeted).Text + "\r\n\r\n"
        + ConnectionSecurityText(nullptr, TargetHost, "") + "\r\n\r\n" + StlsFirstText(TargetHost) + "\r\n\r\n"
        + ApopOfferText("<1@" + TargetHost + ">"));
    // Response codes come mostly with a refused log-in.
    const TGuidance Refused = ChooseGuidance(ParseCommand("PASS"), "-ERR", TGuidanceContext());
    for (const TCodeText& Known : kCodeTexts)
        Texts.push_back(Refused.Text + "\r\n\r\n" + Known.Text);
    Texts.push_back(ServerEndedGuidance(TargetHost, false, "").Text);
    Texts.push_back(ServerEndedGuidance(TargetHost, true, Lead).Text);
    Texts.push_back(StoppedGuidance(TargetHost).Text);
    TTlsInfo Tls;
    Tls.Protocol = "TLSv1.3";
    Texts.push_back(StlsNotSentGuidance(Tls).Text);
    for (const bool Forged : { false, true })
        Texts.push_back(UnprovenServerGuidance(Forged).Text);
    return Texts;
}
