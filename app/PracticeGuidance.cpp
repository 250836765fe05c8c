#include "app/PracticeGuidance.h"

#include "practice/PracticeMailbox.h"

namespace {

std::string Seconds(int Count)
{
    return std::to_string(Count) + (Count == 1 ? " Sekunde" : " Sekunden");
}

} // namespace

std::string PracticeStartedGuidance(const TPracticeAddress& Address)
{
    return "Der Übungs-Server läuft auf diesem Rechner unter \"127.0.0.1:" + std::to_string(Address.Port)
        + "\"; seine Adresse steht schon im Feld \"Mail-Server\". Klicken Sie auf \"Verbinden\" und melden Sie sich "
          "mit dem Namen \""
        + kPracticeUser + "\" und dem Paßwort \"" + kPracticePassword + "\" an (USER " + kPracticeUser + ", dann PASS "
        + kPracticePassword
        + "; APOP und AUTH gehen auch).\r\nSechs Übungsnachrichten warten auf Sie. Löschen Sie ruhig: jede neue "
          "Verbindung beginnt wieder mit derselben Mailbox. TLS ab dem ersten Byte: \"pop3s://127.0.0.1:"
        + std::to_string(Address.TlsPort) + "\" (das Zertifikat stellt sich der Server selbst aus).";
}

std::string ReplayStartedGuidance(int Port, int TlsPort, size_t Connections)
{
    return "Der Mitschnitt wird auf diesem Rechner unter \"127.0.0.1:" + std::to_string(Port)
        + "\" abgespielt (TLS ab dem ersten Byte: \"pop3s://127.0.0.1:" + std::to_string(TlsPort)
        + "\"); die Adresse steht schon im Feld \"Mail-Server\". Er enthält " + std::to_string(Connections)
        + (Connections == 1 ? " Verbindung" : " Verbindungen")
        + ": jede neue Verbindung bekommt die nächste. Senden Sie die Kommandos wie aufgezeichnet; ein anderes "
          "Kommando bekommt \"-ERR\" mit dem erwarteten, ein Paßwort, das im Mitschnitt unkenntlich ist, paßt "
          "immer. Ist die Aufzeichnung einer Verbindung zu Ende, schließt der Server sie.";
}

std::string PracticeStartFailedGuidance(const std::string& Problem)
{
    return "Der Übungs-Server konnte nicht gestartet werden: " + Problem;
}

std::string PracticeFaultCaption(TPracticeFault Fault)
{
    switch (Fault) {
    case TPracticeFault::Slow:
        return "&Langsame Antworten";
    case TPracticeFault::LoginDelay:
        return "&Anmeldesperre [LOGIN-DELAY]";
    case TPracticeFault::InUse:
        return "Mailbox &belegt [IN-USE]";
    case TPracticeFault::DropRetr:
        return "Abbruch &während RETR";
    case TPracticeFault::BrokenMultiline:
        return "&Regelwidrige mehrzeilige Antwort";
    case TPracticeFault::NoApop:
        return "Begrüßung &ohne APOP-Zeitstempel";
    case TPracticeFault::None:
        break;
    }
    return "&Keine Fehler";
}

std::string PracticeFaultHint(TPracticeFault Fault)
{
    switch (Fault) {
    case TPracticeFault::Slow:
        return "Der Übungs-Server antwortet absichtlich spät";
    case TPracticeFault::LoginDelay:
        return "Der Übungs-Server läßt Anmeldungen nur in Abständen zu";
    case TPracticeFault::InUse:
        return "Der Übungs-Server meldet die Mailbox als gesperrt";
    case TPracticeFault::DropRetr:
        return "Der Übungs-Server trennt die Verbindung mitten in einer Nachricht";
    case TPracticeFault::BrokenMultiline:
        return "Der Übungs-Server antwortet auf NOOP und STAT mehrzeilig";
    case TPracticeFault::NoApop:
        return "Der Übungs-Server begrüßt ohne APOP-Zeitstempel";
    case TPracticeFault::None:
        break;
    }
    return "Der Übungs-Server hält sich an die Regeln";
}

std::string PracticeFaultChosenGuidance(TPracticeFault Fault, const TPracticeAddress& Address)
{
    const std::string From = "Ab der nächsten Verbindung ";
    switch (Fault) {
    case TPracticeFault::Slow:
        return From + "antwortet der Übungs-Server absichtlich erst nach " + Seconds(Address.SlowSeconds)
            + ", schon bei der Begrüßung. Ist unter \"Optionen\" > \"Max. Wartezeit\" weniger eingestellt, erleben "
              "Sie eine Zeitüberschreitung; sonst sehen Sie, wie das Programm wartet und sich mit Escape oder "
              "\"Trennen\" unterbrechen läßt.";
    case TPracticeFault::LoginDelay:
        return "Ab jetzt läßt der Übungs-Server Anmeldungen nur alle " + Seconds(Address.LoginDelaySeconds)
            + " zu, gezählt ab jetzt und ab jeder erfolgreichen Anmeldung. Eine frühere Anmeldung lehnt er mit "
              "\"-ERR [LOGIN-DELAY]\" ab, auch wenn Name und Paßwort stimmen; CAPA nennt die Wartezeit.";
    case TPracticeFault::InUse:
        return From
            + "lehnt der Übungs-Server jede Anmeldung mit richtigem Namen und Paßwort mit \"-ERR [IN-USE]\" "
              "ab: er tut so, als hielte eine andere Sitzung die Mailbox gesperrt.";
    case TPracticeFault::DropRetr:
        return From
            + "trennt der Übungs-Server die Verbindung mitten in jeder Antwort auf RETR: nach der Hälfte "
              "der Nachricht, ohne den Punkt, der sie beenden sollte.";
    case TPracticeFault::BrokenMultiline:
        return From
            + "antwortet der Übungs-Server auf NOOP und STAT regelwidrig mehrzeilig: nach der Statuszeile "
              "folgen noch eine Zeile und ein Punkt, die zu keiner Antwort gehören.";
    case TPracticeFault::NoApop:
        return From
            + "begrüßt der Übungs-Server ohne den Zeitstempel \"<...@...>\", den APOP braucht; APOP "
              "lehnt er dann ab.";
    case TPracticeFault::None:
        break;
    }
    return From + "hält sich der Übungs-Server wieder an alle Regeln.";
}

std::string PracticeFaultShownNote(TPracticeFault Fault, const TPracticeAddress& Address)
{
    const std::string Head = "Übungs-Server: ";
    switch (Fault) {
    case TPracticeFault::Slow:
        return Head + "Diese Antwort kam absichtlich " + Seconds(Address.SlowSeconds)
            + " spät (\"Langsame Antworten\"). Wer zu früh aufgibt, verliert die Verbindung: eine Antwort, auf "
              "die nicht gewartet wurde, läßt sich nicht später abholen.";
    case TPracticeFault::LoginDelay:
        return Head + "Die Anmeldung kam absichtlich \"zu früh\" (\"[LOGIN-DELAY]\"). Warten Sie "
            + Seconds(Address.LoginDelaySeconds) + ", verbinden Sie sich neu und melden Sie sich dann wieder an.";
    case TPracticeFault::InUse:
        return Head
            + "Name und Paßwort stimmten; abgelehnt hat er absichtlich (\"[IN-USE]\"). Ein Programm "
              "versucht es in diesem Fall später noch einmal; hier endet das erst, wenn Sie unter "
              "\"Server\" > \"Übungs-Fehler\" \"Keine Fehler\" wählen.";
    case TPracticeFault::DropRetr:
        return Head
            + "Er hat die Verbindung absichtlich mitten in der Nachricht getrennt (\"Abbruch während "
              "RETR\"). Im Protokoll steht nur ihr Anfang; nach einer neuen Verbindung können Sie sie noch "
              "einmal holen - nichts wurde gelöscht.";
    case TPracticeFault::BrokenMultiline:
        return Head
            + "Die Antwort war absichtlich regelwidrig mehrzeilig (\"Regelwidrige mehrzeilige "
              "Antwort\"). Nur die erste Zeile ist die Antwort; was danach kam, zeigt das Protokoll als "
              "unerwartete Daten.";
    case TPracticeFault::NoApop:
        return Head
            + "Die Begrüßung hatte absichtlich keinen Zeitstempel (\"Begrüßung ohne APOP-Zeitstempel\"). "
              "Ohne ihn geht APOP nicht; melden Sie sich mit USER und PASS oder mit AUTH an.";
    case TPracticeFault::None:
        break;
    }
    return std::string();
}
