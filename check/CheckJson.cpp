#include "check/CheckJson.h"

#include "text/JsonWriter.h"

namespace {

const char* InjectionKey(TInjectionResult Result)
{
    switch (Result) {
    case TInjectionResult::Vulnerable:
        return "vulnerable";
    case TInjectionResult::NotVulnerable:
        return "not-vulnerable";
    default:
        return "not-tested";
    }
}

void WriteTls(TJsonWriter& W, const TPortFacts& Port)
{
    if (!Port.TlsWorked && !Port.Tls.Tested) {
        W.Null("tls");
        return;
    }
    const TTlsFacts& Tls = Port.Tls;
    W.Open("tls", '{');
    W.Open("versions", '{');
    W.Bool("TLSv1", Tls.Tls10);
    W.Bool("TLSv1.1", Tls.Tls11);
    W.Bool("TLSv1.2", Tls.Tls12);
    W.Bool("TLSv1.3", Tls.Tls13);
    W.Close('}');
    W.Text("cipher", Tls.Cipher);
    const TCertificateFacts& Certificate = Tls.Certificate;
    if (!Certificate.Present) {
        W.Null("certificate");
    } else {
        W.Open("certificate", '{');
        W.Text("subject", Certificate.Subject);
        W.Text("issuer", Certificate.Issuer);
        W.Text("not_after", Certificate.NotAfter);
        W.Number("days_left", Certificate.DaysLeft);
        W.Bool("name_matches", Certificate.NameMatches);
        W.Bool("trusted", Certificate.Trusted);
        W.Bool("chain_complete", Certificate.ChainComplete);
        W.Close('}');
    }
    W.Close('}');
}

} // namespace

std::string ReportJson(const TCheckReport& Report)
{
    TJsonWriter W;
    W.Out = "{";
    ++W.Depth;
    W.Text("target", Report.Target);
    W.Text("started", Report.Started);
    W.Text("verdict", OverallKey(Report));
    W.Open("addresses", '[');
    for (const TAddressFacts& Address : Report.Addresses) {
        W.Open(nullptr, '{');
        W.Text("address", Address.Address);
        W.Text("family", Address.Ipv6 ? "ipv6" : "ipv4");
        W.Open("ports", '[');
        for (const TPortFacts& Port : Address.Ports) {
            W.Open(nullptr, '{');
            W.Number("port", Port.Port);
            W.Text("mode", Port.Mode == TPortMode::Tls ? "tls" : "plain");
            W.Bool("connected", Port.Connected);
            W.Text("greeting", Port.Greeting);
            W.Bool("stls_offered", Port.StlsOffered);
            WriteTls(W, Port);
            W.List("capa_before_tls", Port.CapaBeforeTls);
            W.List("capa_after_tls", Port.CapaAfterTls);
            W.Bool("plaintext_login_accepted", Port.PlaintextLoginAccepted);
            W.Text("stls_injection", InjectionKey(Port.Injection));
            W.Open("times_ms", '{');
            W.Number("connect", Port.ConnectMs, true);
            W.Number("tls", Port.TlsMs, true);
            W.Number("greeting", Port.GreetingMs, true);
            W.Close('}');
            W.Close('}');
        }
        W.Close(']');
        W.Close('}');
    }
    W.Close(']');
    W.Open("checks", '[');
    for (const TCheckFinding& Finding : Report.Checks) {
        W.Open(nullptr, '{');
        W.Text("id", Finding.Id);
        W.Text("verdict", VerdictKey(Finding.Verdict));
        W.Text("title", Finding.Title);
        W.Text("explanation", Finding.Explanation);
        W.Text("details", Finding.Details);
        W.Close('}');
    }
    W.Close(']');
    --W.Depth;
    W.Out += "\n}\n";
    return W.Out;
}
