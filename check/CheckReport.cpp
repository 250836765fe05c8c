#include "check/CheckReport.h"

#include <algorithm>

std::string VerdictWord(TCheckVerdict Verdict)
{
    switch (Verdict) {
    case TCheckVerdict::Good:
        return "Gut";
    case TCheckVerdict::Notice:
        return "Hinweis";
    case TCheckVerdict::Warning:
        return "Warnung";
    default:
        return "Fehler";
    }
}

std::string VerdictKey(TCheckVerdict Verdict)
{
    switch (Verdict) {
    case TCheckVerdict::Good:
        return "good";
    case TCheckVerdict::Notice:
        return "notice";
    case TCheckVerdict::Warning:
        return "warning";
    default:
        return "failure";
    }
}

bool TCheckReport::AnythingReached() const
{
    return std::any_of(Addresses.begin(), Addresses.end(), [](const TAddressFacts& Address) {
        return std::any_of(
            Address.Ports.begin(), Address.Ports.end(), [](const TPortFacts& Port) { return Port.Connected; });
    });
}

TCheckVerdict TCheckReport::Overall() const
{
    if (Checks.empty() || !AnythingReached())
        return TCheckVerdict::Failure;
    TCheckVerdict Worst = TCheckVerdict::Good;
    for (const TCheckFinding& Finding : Checks)
        Worst = std::max(Worst, Finding.Verdict);
    return Worst;
}

int TCheckReport::Count(TCheckVerdict Verdict) const
{
    return static_cast<int>(std::count_if(
        Checks.begin(), Checks.end(), [Verdict](const TCheckFinding& Finding) { return Finding.Verdict == Verdict; }));
}

std::string OverallKey(const TCheckReport& Report)
{
    switch (Report.Overall()) {
    case TCheckVerdict::Good:
    case TCheckVerdict::Notice:
        return "ok";
    case TCheckVerdict::Warning:
        return "warning";
    default:
        return "failure";
    }
}

int ExitCodeOf(const TCheckReport& Report)
{
    const std::string Key = OverallKey(Report);
    return Key == "ok" ? 0 : Key == "warning" ? 1 : 2;
}
