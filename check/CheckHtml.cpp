#include "check/CheckHtml.h"

#include "check/CheckText.h"
#include "text/HtmlText.h"

namespace {

const char* VerdictColour(TCheckVerdict Verdict)
{
    switch (Verdict) {
    case TCheckVerdict::Good:
        return "#1b6e20";
    case TCheckVerdict::Notice:
        return "#1f4e99";
    case TCheckVerdict::Warning:
        return "#8a5a00";
    default:
        return "#b00020";
    }
}

std::string Cell(const std::string& Text)
{
    return "<td>" + HtmlEscaped(Text) + "</td>";
}

std::string YesNo(bool Value)
{
    return Value ? "ja" : "nein";
}

std::string Millis(int64_t Value)
{
    return Value < 0 ? "-" : std::to_string(Value) + " ms";
}

std::string PortRow(const TAddressFacts& Address, const TPortFacts& Port)
{
    std::string Versions;
    for (const auto& [Name, On] : { std::pair("1.3", Port.Tls.Tls13), std::pair("1.2", Port.Tls.Tls12),
             std::pair("1.1", Port.Tls.Tls11), std::pair("1.0", Port.Tls.Tls10) })
        if (On)
            Versions += (Versions.empty() ? "TLS " : ", ") + std::string(Name);
    const TCertificateFacts& Certificate = Port.Tls.Certificate;
    return "<tr>" + Cell(Address.Address) + Cell(std::to_string(Port.Port))
        + Cell(Port.Mode == TPortMode::Tls ? "TLS" : "Klartext/STLS") + Cell(YesNo(Port.Connected))
        + Cell(Versions.empty() ? "-" : Versions) + Cell(Port.Tls.Cipher.empty() ? "-" : Port.Tls.Cipher)
        + Cell(Certificate.Present ? std::to_string(Certificate.DaysLeft) + " Tage" : "-")
        + Cell(Millis(Port.ConnectMs) + " / " + Millis(Port.TlsMs) + " / " + Millis(Port.GreetingMs)) + "</tr>\n";
}

} // namespace

std::string ReportHtml(const TCheckReport& Report)
{
    std::string Out = "<!DOCTYPE html>\n<html lang=\"de\">\n<head>\n<meta charset=\"utf-8\">\n<title>Server-Prüfung: "
        + HtmlEscaped(Report.Target) + "</title>\n"
        + "<style>\nbody { font-family: sans-serif; margin: 2em; color: #111; }\n"
          "table { border-collapse: collapse; margin: 1em 0; }\n"
          "td, th { border: 1px solid #999; padding: 0.2em 0.5em; text-align: left; }\n"
          "h2 { font-size: 1.1em; margin: 1.2em 0 0.3em; }\n"
          ".verdict { font-weight: bold; }\n"
          "pre { background: #f2f2f2; padding: 0.4em; white-space: pre-wrap; }\n"
          "</style>\n</head>\n<body>\n";
    Out += "<h1>Server-Prüfung: " + HtmlEscaped(Report.Target) + "</h1>\n";
    Out += "<p>Geprüft: " + HtmlEscaped(Report.Started) + " (" + std::to_string(Report.DurationMs) + " ms)</p>\n";
    Out += "<p class=\"verdict\" style=\"color: " + std::string(VerdictColour(Report.Overall())) + "\">"
        + HtmlEscaped(SummaryLine(Report)) + "</p>\n";
    if (Report.Cancelled)
        Out += "<p>Die Prüfung wurde abgebrochen.</p>\n";
    if (!Report.Addresses.empty()) {
        Out += "<table width=\"100%\">\n<tr><th>Adresse</th><th>Port</th><th>Art</th><th>Verbunden</th><th>TLS</th>"
               "<th>Verfahren</th><th>Zertifikat</th><th>Verbindung / TLS / Begrüßung</th></tr>\n";
        for (const TAddressFacts& Address : Report.Addresses)
            for (const TPortFacts& Port : Address.Ports)
                Out += PortRow(Address, Port);
        Out += "</table>\n";
    }
    for (const TCheckFinding& Finding : Report.Checks) {
        Out += "<h2><span class=\"verdict\" style=\"color: " + std::string(VerdictColour(Finding.Verdict)) + "\">["
            + VerdictWord(Finding.Verdict) + "]</span> " + HtmlEscaped(Finding.Title) + "</h2>\n";
        Out += "<p>" + HtmlEscaped(Finding.Explanation) + "</p>\n";
        if (!Finding.Details.empty())
            Out += "<pre>" + HtmlEscaped(Finding.Details) + "</pre>\n";
    }
    return Out + "</body>\n</html>\n";
}
