#include "check/CheckJson.h"

#include <cstdio>

namespace {

// Length of the UTF-8 sequence at Index, 0 when the bytes there are none.
size_t Utf8Length(const std::string& Text, size_t Index)
{
    const auto Byte = [&](size_t At) { return static_cast<unsigned char>(Text[At]); };
    const unsigned char First = Byte(Index);
    size_t Length = 0;
    if (First >= 0xC2 && First <= 0xDF)
        Length = 2;
    else if (First >= 0xE0 && First <= 0xEF)
        Length = 3;
    else if (First >= 0xF0 && First <= 0xF4)
        Length = 4;
    if (Length == 0 || Index + Length > Text.size())
        return 0;
    for (size_t Next = 1; Next < Length; ++Next)
        if ((Byte(Index + Next) & 0xC0) != 0x80)
            return 0;
    return Length;
}

struct TWriter {
    std::string Out;
    int Depth = 0;
    bool First = true;

    void Newline()
    {
        Out += '\n';
        Out.append(static_cast<size_t>(Depth) * 2, ' ');
    }
    void Key(const char* Name)
    {
        if (!First)
            Out += ',';
        First = false;
        Newline();
        if (Name)
            Out += JsonString(Name) + ": ";
    }
    void Open(const char* Name, char Bracket)
    {
        Key(Name);
        Out += Bracket;
        ++Depth;
        First = true;
    }
    void Close(char Bracket)
    {
        --Depth;
        if (!First)
            Newline();
        Out += Bracket;
        First = false;
    }
    void Text(const char* Name, const std::string& Value)
    {
        Key(Name);
        Out += JsonString(Value);
    }
    void Bool(const char* Name, bool Value)
    {
        Key(Name);
        Out += Value ? "true" : "false";
    }
    void Number(const char* Name, int64_t Value, bool NullBelowZero = false)
    {
        Key(Name);
        Out += NullBelowZero && Value < 0 ? "null" : std::to_string(Value);
    }
    void Null(const char* Name)
    {
        Key(Name);
        Out += "null";
    }
    void List(const char* Name, const std::vector<std::string>& Items)
    {
        Open(Name, '[');
        for (const std::string& Item : Items)
            Text(nullptr, Item);
        Close(']');
    }
};

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

void WriteTls(TWriter& W, const TPortFacts& Port)
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

std::string JsonString(const std::string& Text)
{
    std::string Out = "\"";
    for (size_t Index = 0; Index < Text.size();) {
        const unsigned char C = static_cast<unsigned char>(Text[Index]);
        if (C >= 0x80) {
            const size_t Length = Utf8Length(Text, Index);
            Out += Length ? Text.substr(Index, Length) : "\\ufffd";
            Index += Length ? Length : 1;
            continue;
        }
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += static_cast<char>(C);
        } else if (C == '\n') {
            Out += "\\n";
        } else if (C == '\r') {
            Out += "\\r";
        } else if (C == '\t') {
            Out += "\\t";
        } else if (C < 0x20 || C == 0x7F) {
            char Escape[8];
            std::snprintf(Escape, sizeof Escape, "\\u%04x", C);
            Out += Escape;
        } else {
            Out += static_cast<char>(C);
        }
        ++Index;
    }
    return Out + "\"";
}

std::string ReportJson(const TCheckReport& Report)
{
    TWriter W;
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
