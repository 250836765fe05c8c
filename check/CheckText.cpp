#include "check/CheckText.h"

namespace {

// Each line of Text behind Indent.
std::string Indented(const std::string& Text, const std::string& Indent)
{
    std::string Out;
    size_t Start = 0;
    while (Start <= Text.size() && !Text.empty()) {
        const size_t End = Text.find('\n', Start);
        Out += Indent + Text.substr(Start, End == std::string::npos ? std::string::npos : End - Start) + "\n";
        if (End == std::string::npos)
            break;
        Start = End + 1;
    }
    return Out;
}

} // namespace

std::string SummaryLine(const TCheckReport& Report)
{
    const int Notices = Report.Count(TCheckVerdict::Notice);
    const int Warnings = Report.Count(TCheckVerdict::Warning);
    return "Gesamturteil: " + VerdictWord(Report.Overall()) + " (" + std::to_string(Report.Count(TCheckVerdict::Good))
        + " gut, " + std::to_string(Notices) + (Notices == 1 ? " Hinweis, " : " Hinweise, ") + std::to_string(Warnings)
        + (Warnings == 1 ? " Warnung, " : " Warnungen, ") + std::to_string(Report.Count(TCheckVerdict::Failure))
        + " Fehler)";
}

std::string ReportText(const TCheckReport& Report)
{
    std::string Out = "Server-Prüfung: " + Report.Target + "\n";
    Out += "Geprüft: " + Report.Started + " (" + std::to_string(Report.DurationMs) + " ms)\n";
    Out += SummaryLine(Report) + "\n";
    if (Report.Cancelled)
        Out += "Die Prüfung wurde abgebrochen.\n";
    for (const TCheckFinding& Finding : Report.Checks) {
        Out += "\n[" + VerdictWord(Finding.Verdict) + "] " + Finding.Title + "\n";
        Out += Indented(Finding.Explanation, "    ");
        Out += Indented(Finding.Details, "    | ");
    }
    return Out;
}
