#include "message/HeaderTexts.h"

#include <gmime/gmime.h>

#include <cstring>

#include "text/AsciiText.h"

namespace {

struct TFieldText {
    const char* Name;
    const char* Text;
};

// Lower-case names; a name ending in '*' stands for every field it begins.
constexpr TFieldText kFields[] = {
    { "from", "Absender, wie er angezeigt wird (frei wählbar, nicht geprüft)." },
    { "to", "Empfänger, wie der Absender sie eingetragen hat (nicht unbedingt die Zustellung)." },
    { "cc", "Empfänger einer Kopie, für alle sichtbar." },
    { "bcc", "Blindkopie: Empfänger, die die anderen nicht sehen sollen." },
    { "subject", "Betreff." },
    { "date", "Datum und Uhrzeit, zu der der Absender die Nachricht abschickte." },
    { "message-id", "Weltweit eindeutige Kennung der Nachricht, vom Absender vergeben." },
    { "return-path",
        "Rücksendeadresse (Envelope-From) für Fehlermeldungen, vom letzten Server bei der Zustellung "
        "eingetragen." },
    { "reply-to", "Adresse für Antworten, wenn sie nicht an den Absender gehen sollen." },
    { "sender", "Wer die Nachricht tatsächlich abschickte, wenn es nicht der Absender ist." },
    { "in-reply-to", "Kennung der Nachricht, auf die diese antwortet." },
    { "references", "Kennungen der früheren Nachrichten dieses Gesprächs." },
    { "received", "Eine Station des Weges: jeder Server fügt oben eine solche Zeile hinzu (Tab \"Weg\")." },
    { "mime-version", "Die Nachricht ist nach MIME aufgebaut (Version 1.0)." },
    { "content-type", "Art des Inhalts (Typ/Untertyp), Zeichensatz und bei mehrteiligen Nachrichten die Grenze." },
    { "content-transfer-encoding",
        "Wie der Inhalt für den Transport kodiert ist (7bit, 8bit, quoted-printable, base64)." },
    { "content-disposition", "Ob ein Teil angezeigt (inline) oder als Anhang (attachment) gedacht ist." },
    { "content-id", "Kennung eines Teils, auf die andere Teile verweisen (z. B. Bilder in HTML)." },
    { "content-description", "Beschreibung eines Teils." },
    { "content-language", "Sprache des Inhalts." },
    { "authentication-results",
        "Ergebnisse der Prüfungen SPF, DKIM, DMARC, ARC durch einen empfangenden Server (nur dem obersten "
        "ist zu trauen)." },
    { "dkim-signature", "DKIM-Signatur: die Domain d= bürgt mit ihrem Schlüssel für Kopf und Inhalt." },
    { "arc-seal", "ARC-Siegel eines weiterleitenden Servers über die ARC-Kette (RFC 8617)." },
    { "arc-message-signature", "ARC-Signatur eines weiterleitenden Servers über die Nachricht (RFC 8617)." },
    { "arc-authentication-results", "Prüfergebnisse, die ein weiterleitender Server in der ARC-Kette festhielt." },
    { "arc-*", "Teil der ARC-Kette weiterleitender Server (RFC 8617)." },
    { "received-spf", "Ergebnis der SPF-Prüfung eines empfangenden Servers." },
    { "delivered-to", "Postfach, in das die Nachricht zugestellt wurde." },
    { "list-id", "Kennung der Mailingliste." },
    { "list-unsubscribe", "Wie man sich von der Liste abmeldet (Adresse oder Link)." },
    { "list-unsubscribe-post", "Abmeldung mit einem Klick (RFC 8058)." },
    { "list-subscribe", "Wie man sich bei der Liste anmeldet." },
    { "list-post", "Adresse, an die man Beiträge an die Liste schickt." },
    { "list-help", "Wo es Hilfe zur Liste gibt." },
    { "list-archive", "Archiv der Liste." },
    { "list-owner", "Verwalter der Liste." },
    { "list-*", "Angabe einer Mailingliste (RFC 2369)." },
    { "x-spam-status", "Urteil des Spam-Filters (z. B. SpamAssassin) mit Punktzahl und Regeln." },
    { "x-spam-flag", "YES: der Spam-Filter hält die Nachricht für Spam." },
    { "x-spam-score", "Punktzahl des Spam-Filters." },
    { "x-spam-level", "Punktzahl des Spam-Filters als Sternchen." },
    { "x-spam-checker-version", "Programm und Version des Spam-Filters." },
    { "x-spam-*", "Angabe eines Spam-Filters." },
    { "user-agent", "Programm, mit dem die Nachricht geschrieben wurde." },
    { "x-mailer", "Programm, mit dem die Nachricht geschrieben wurde." },
    { "x-original-to", "Adresse, an die die Nachricht ursprünglich ging (vor Weiterleitungen)." },
    { "precedence", "Art der Sendung (bulk, list, junk): Abwesenheitsnotizen sollen darauf nicht antworten." },
    { "auto-submitted", "Automatisch erzeugte Nachricht (RFC 3834)." },
};

std::string LocalTime(const std::string& Value)
{
    GDateTime* Date = g_mime_utils_header_decode_date(Value.c_str());
    if (!Date)
        return " Das Datum ist nicht lesbar.";
    GDateTime* Local = g_date_time_to_local(Date);
    gchar* Text = Local ? g_date_time_format(Local, "%d.%m.%Y %H:%M:%S") : nullptr;
    std::string Out = Text ? std::string(" Ortszeit: ") + Text + "." : std::string();
    g_free(Text);
    if (Local)
        g_date_time_unref(Local);
    g_date_time_unref(Date);
    return Out;
}

} // namespace

std::string ExplainHeader(const std::string& Name, const std::string& Value, bool& Known)
{
    const std::string Lower = AsciiLower(Name);
    for (const TFieldText& Field : kFields) {
        const size_t Length = std::strlen(Field.Name);
        const bool Prefix = Field.Name[Length - 1] == '*';
        if (Prefix ? Lower.compare(0, Length - 1, Field.Name, Length - 1) == 0 : Lower == Field.Name) {
            Known = true;
            std::string Text = Field.Text;
            if (Lower == "date")
                Text += LocalTime(Value);
            return Text;
        }
    }
    Known = false;
    if (StartsWithIgnoringAsciiCase(Name, "X-"))
        return "Unbekanntes Zusatzfeld (X-...): ein Programm unterwegs hat es eingefügt; nicht genormt.";
    return "Unbekanntes Feld: nicht erklärt.";
}

std::string ExplainAuthResult(const std::string& Method, const std::string& Result)
{
    std::string What;
    if (Method == "spf")
        What = "SPF prüft, ob der einliefernde Server für die Domain der Rücksendeadresse senden darf";
    else if (Method == "dkim")
        What = "DKIM prüft die Signatur einer Domain über Kopf und Inhalt";
    else if (Method == "dmarc")
        What = "DMARC prüft, ob SPF oder DKIM zur Domain im From passen, und nennt deren Regel";
    else if (Method == "arc")
        What = "ARC prüft die Kette weiterleitender Server";
    else if (Method == "iprev")
        What = "iprev prüft, ob die Adresse des Senders zu seinem Namen zurückführt";
    else if (Method == "auth")
        What = "auth: der Absender hat sich beim Server angemeldet";
    else
        What = "Prüfung \"" + Method + "\"";
    std::string Verdict;
    if (Result == "pass")
        Verdict = "bestanden";
    else if (Result == "fail")
        Verdict = "nicht bestanden";
    else if (Result == "softfail")
        Verdict = "nicht bestanden, aber nur als Hinweis (~all)";
    else if (Result == "neutral")
        Verdict = "keine Aussage der Domain";
    else if (Result == "none")
        Verdict = "nicht möglich (nichts veröffentlicht oder keine Signatur)";
    else if (Result == "temperror")
        Verdict = "vorübergehender Fehler (z. B. DNS)";
    else if (Result == "permerror")
        Verdict = "dauerhafter Fehler (fehlerhafter Eintrag)";
    else if (Result == "policy")
        Verdict = "nach örtlicher Regel nicht angenommen";
    else if (Result == "bestguesspass")
        Verdict = "bestanden nach Schätzung";
    else
        Verdict = "Ergebnis \"" + Result + "\"";
    return What + ": " + Verdict + ".";
}

std::string ExplainDkimTag(const std::string& Tag, const std::string& Value)
{
    if (Tag == "v")
        return "Version der Signatur (1).";
    if (Tag == "a")
        return "Verfahren: " + Value + " (Schlüsselart und Prüfsumme).";
    if (Tag == "c")
        return "Kanonisierung Kopf/Inhalt: wie streng Leerzeichen und Umbrüche zählen.";
    if (Tag == "d")
        return "Domain, die signiert (" + Value + "): sie bürgt für die Nachricht.";
    if (Tag == "s")
        return "Selektor: der öffentliche Schlüssel steht unter " + Value + "._domainkey.<d=> im DNS.";
    if (Tag == "h")
        return "Signierte Kopffelder, in dieser Reihenfolge.";
    if (Tag == "bh")
        return "Prüfsumme des Inhalts (Base64).";
    if (Tag == "b")
        return "Die Signatur selbst (Base64).";
    if (Tag == "t")
        return "Zeitpunkt der Signatur (Sekunden seit 1970).";
    if (Tag == "x")
        return "Ablauf der Signatur (Sekunden seit 1970).";
    if (Tag == "i")
        return "Kennung des Signierenden (Benutzer oder Dienst der Domain).";
    if (Tag == "l")
        return "Nur so viele Bytes des Inhalts sind signiert; danach Angehängtes ist ungeschützt.";
    if (Tag == "q")
        return "Wie der Schlüssel abgefragt wird (dns/txt).";
    if (Tag == "z")
        return "Kopie der signierten Kopffelder zur Fehlersuche.";
    return "Unbekanntes Kennzeichen.";
}
