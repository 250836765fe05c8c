#include "discovery/FinderReport.h"

#include <algorithm>

#include "text/JsonWriter.h"

namespace {

std::string Joined(const std::vector<std::string>& Items, const char* Between)
{
    std::string Out;
    for (const std::string& Item : Items)
        Out += (Out.empty() ? "" : Between) + Item;
    return Out;
}

} // namespace

std::string FinderJson(const TFinderReport& Report)
{
    TJsonWriter W;
    W.Out = "{";
    ++W.Depth;
    W.Text("query", Report.Query.Address.empty() ? Report.Query.Domain : Report.Query.Address);
    W.Text("domain", Report.Query.Domain);
    W.Bool("cancelled", Report.Cancelled);
    W.Number("ms", Report.Ms);
    W.Open("sources", '[');
    for (const TSourceRow& Row : Report.Sources) {
        W.Open(nullptr, '{');
        W.Text("source", Row.Source);
        W.Text("asked", Row.Asked);
        W.Text("result", SourceResultName(Row.Result));
        W.Text("detail", Row.Detail);
        W.Number("ms", Row.Ms);
        W.Close('}');
    }
    W.Close(']');
    W.Open("candidates", '[');
    for (const TCandidate& Candidate : Report.Candidates) {
        W.Open(nullptr, '{');
        W.Text("host", Candidate.Host);
        W.Number("port", Candidate.Port);
        W.Text("socket", SocketName(Candidate.Socket));
        W.Text("username", Candidate.Username);
        W.List("authentication", Candidate.Authentication);
        W.List("sources", Candidate.Sources);
        W.List("notes", Candidate.Notes);
        W.Text("provider", Candidate.ProviderUrl);
        W.Close('}');
    }
    W.Close(']');
    W.Open("mx", '[');
    for (const auto& [Preference, Host] : Report.MXHosts) {
        W.Open(nullptr, '{');
        W.Text("host", Host);
        W.Number("preference", Preference);
        W.Close('}');
    }
    W.Close(']');
    W.Out += "\n}\n";
    return W.Out;
}

std::string FinderText(const TFinderReport& Report)
{
    const std::string& Query = Report.Query.Address.empty() ? Report.Query.Domain : Report.Query.Address;
    std::string Out = "Mail-Server für " + Query + " (" + std::to_string(Report.Ms) + " ms"
        + (Report.Cancelled ? ", abgebrochen" : "") + ")\n\nQuellen:\n";
    for (const TSourceRow& Row : Report.Sources) {
        const char* Mark = Row.Result == TSourceResult::Found ? "gefunden"
            : Row.Result == TSourceResult::None               ? "nichts"
                                                              : "Fehler";
        Out += "  [" + Row.Source + "] " + Row.Asked + "\n      " + Mark + ", " + std::to_string(Row.Ms) + " ms"
            + (Row.Detail.empty() ? "" : ": " + Row.Detail) + "\n";
    }
    Out += "\nServer:\n";
    if (Report.Candidates.empty())
        Out += "  keiner gefunden\n";
    for (const TCandidate& Candidate : Report.Candidates) {
        Out += "  " + Candidate.Host + ":" + std::to_string(Candidate.Port) + " (" + SocketLabel(Candidate.Socket)
            + ")\n";
        if (!Candidate.Username.empty())
            Out += "      Benutzername: " + Candidate.Username + "\n";
        if (!Candidate.Authentication.empty())
            Out += "      Anmeldung: " + Joined(Candidate.Authentication, ", ") + "\n";
        Out += "      Quellen: " + Joined(Candidate.Sources, ", ") + "\n";
        for (const std::string& Note : Candidate.Notes)
            Out += "      Hinweis: " + Note + "\n";
        if (!Candidate.ProviderUrl.empty())
            Out += "      Anbieter-Seite: " + Candidate.ProviderUrl + "\n";
    }
    if (!Report.MXHosts.empty()) {
        Out += "\nMX-Einträge (SMTP, kein POP3):\n";
        for (const auto& [Preference, Host] : Report.MXHosts)
            Out += "  " + Host + " (Vorrang " + std::to_string(Preference) + ")\n";
    }
    return Out;
}

int FinderExitCode(const TFinderReport& Report)
{
    if (!Report.Candidates.empty())
        return 0;
    if (Report.Cancelled)
        return 2;
    const bool AllFailed = std::all_of(Report.Sources.begin(), Report.Sources.end(),
        [](const TSourceRow& Row) { return Row.Result == TSourceResult::Error; });
    return AllFailed && !Report.Sources.empty() ? 2 : 1;
}
