#include "discovery/FinderReport.h"

#include <algorithm>

#include "check/CheckJson.h"

namespace {

std::string JsonList(const std::vector<std::string>& Items)
{
    std::string Out = "[";
    for (size_t Index = 0; Index < Items.size(); ++Index)
        Out += (Index ? ", " : "") + JsonString(Items[Index]);
    return Out + "]";
}

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
    const std::string& Query = Report.Query.Address.empty() ? Report.Query.Domain : Report.Query.Address;
    std::string Out = "{\n  \"query\": " + JsonString(Query) + ",\n  \"domain\": " + JsonString(Report.Query.Domain)
        + ",\n  \"cancelled\": " + (Report.Cancelled ? "true" : "false") + ",\n  \"ms\": " + std::to_string(Report.Ms)
        + ",\n  \"sources\": [";
    for (size_t Index = 0; Index < Report.Sources.size(); ++Index) {
        const TSourceRow& Row = Report.Sources[Index];
        Out += std::string(Index ? "," : "") + "\n    {\"source\": " + JsonString(Row.Source)
            + ", \"asked\": " + JsonString(Row.Asked) + ", \"result\": " + JsonString(SourceResultName(Row.Result))
            + ", \"detail\": " + JsonString(Row.Detail) + ", \"ms\": " + std::to_string(Row.Ms) + "}";
    }
    Out += std::string(Report.Sources.empty() ? "" : "\n  ") + "],\n  \"candidates\": [";
    for (size_t Index = 0; Index < Report.Candidates.size(); ++Index) {
        const TCandidate& Candidate = Report.Candidates[Index];
        Out += std::string(Index ? "," : "") + "\n    {\"host\": " + JsonString(Candidate.Host) + ", \"port\": "
            + std::to_string(Candidate.Port) + ", \"socket\": " + JsonString(SocketName(Candidate.Socket))
            + ", \"username\": " + JsonString(Candidate.Username) + ", \"authentication\": "
            + JsonList(Candidate.Authentication) + ", \"sources\": " + JsonList(Candidate.Sources) + ", \"notes\": "
            + JsonList(Candidate.Notes) + ", \"provider\": " + JsonString(Candidate.ProviderUrl) + "}";
    }
    Out += std::string(Report.Candidates.empty() ? "" : "\n  ") + "],\n  \"mx\": [";
    for (size_t Index = 0; Index < Report.MXHosts.size(); ++Index)
        Out += std::string(Index ? ", " : "") + "{\"host\": " + JsonString(Report.MXHosts[Index].second)
            + ", \"preference\": " + std::to_string(Report.MXHosts[Index].first) + "}";
    return Out + "]\n}\n";
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
