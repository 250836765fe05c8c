#include <algorithm>

#include <libpsl.h>

#include "discovery/AddressFinder.h"
#include "discovery/ConfigFile.h"
#include "dns/SmartNSMessage.h"
#include "net/PeerAddress.h"
#include "text/AsciiText.h"

bool ParseFinderQuery(const std::string& Text, TFinderQuery& Query, std::string& Problem)
{
    Query = {};
    const size_t First = Text.find_first_not_of(" \t");
    const size_t Last = Text.find_last_not_of(" \t");
    const std::string Trimmed = First == std::string::npos ? std::string() : Text.substr(First, Last - First + 1);
    if (Trimmed.empty()) {
        Problem = "Bitte eine E-Mail-Adresse oder eine Domain angeben.";
        return false;
    }
    std::string Domain = Trimmed;
    const size_t At = Trimmed.rfind('@');
    if (At != std::string::npos) {
        Query.LocalPart = Trimmed.substr(0, At);
        Domain = Trimmed.substr(At + 1);
        const bool Printable = std::all_of(Query.LocalPart.begin(), Query.LocalPart.end(), [](char Char) {
            return static_cast<unsigned char>(Char) > ' ' && static_cast<unsigned char>(Char) < 0x7F;
        });
        if (Query.LocalPart.empty() || !Printable) {
            Problem = "„" + Trimmed
                + "“ ist keine E-Mail-Adresse: vor dem „@“ fehlt der Name oder er enthält Leer- "
                  "oder Steuerzeichen.";
            return false;
        }
    }
    if (!Domain.empty() && Domain.back() == '.')
        Domain.pop_back();
    Domain = AsciiLower(Domain);
    if (!IsPlainHostName(Domain) || CheckName(Domain) != TSmartNSNameFault::None) {
        Problem = "„" + Domain
            + "“ ist keine Domain: erlaubt sind Buchstaben, Ziffern, „-“ und „.“ "
              "(Umlaut-Domains bitte in der xn---Form).";
        return false;
    }
    Query.Domain = Domain;
    if (At != std::string::npos)
        Query.Address = Query.LocalPart + "@" + Domain;
    return true;
}

const char* SourceResultName(TSourceResult Result)
{
    switch (Result) {
    case TSourceResult::Found:
        return "found";
    case TSourceResult::None:
        return "none";
    case TSourceResult::Error:
        return "error";
    }
    return "error";
}

const char* SocketName(TSocketKind Kind)
{
    switch (Kind) {
    case TSocketKind::Ssl:
        return "SSL";
    case TSocketKind::StartTls:
        return "STARTTLS";
    case TSocketKind::Plain:
        return "plain";
    }
    return "plain";
}

const char* SocketLabel(TSocketKind Kind)
{
    switch (Kind) {
    case TSocketKind::Ssl:
        return "TLS";
    case TSocketKind::StartTls:
        return "STLS";
    case TSocketKind::Plain:
        return "unverschlüsselt";
    }
    return "unverschlüsselt";
}

namespace FinderRules {

std::string ProviderDatabaseUrl(const std::string& Base, const std::string& Domain)
{
    return Base + (Base.empty() || Base.back() == '/' ? "" : "/") + Domain;
}

bool InsideDomain(const std::string& Host, const std::string& Domain)
{
    return Host == Domain
        || (Host.size() > Domain.size() && Host.compare(Host.size() - Domain.size(), Domain.size(), Domain) == 0
            && Host[Host.size() - Domain.size() - 1] == '.');
}

std::vector<std::string> ProviderDomains(const std::string& MXHost, const std::string& Domain)
{
    std::vector<std::string> Domains;
    TPeerAddress Numeric;
    if (ParseNumericAddress(MXHost, Numeric))
        return Domains;
    const char* Registrable = psl_registrable_domain(psl_builtin(), MXHost.c_str());
    if (!Registrable)
        return Domains;
    const std::string Base = Registrable;
    const size_t Dot = MXHost.find('.');
    const std::string Parent = Dot == std::string::npos ? std::string() : MXHost.substr(Dot + 1);
    if (Parent.size() > Base.size() && InsideDomain(Parent, Base) && Parent != Domain)
        Domains.push_back(Parent);
    if (Base != Domain)
        Domains.push_back(Base);
    return Domains;
}

namespace {

    int Rank(const std::string& Source)
    {
        static const char* const kOrder[] = { "srv", "autoconfig", "autoconfig-wellknown", "ispdb", "mx-autoconfig",
            "mx-ispdb", "autoconfig-http", "guess" };
        for (int Index = 0; Index < 8; ++Index)
            if (Source == kOrder[Index])
                return Index;
        return 8;
    }

    void AddOnce(std::vector<std::string>& List, const std::string& Item)
    {
        if (std::find(List.begin(), List.end(), Item) == List.end())
            List.push_back(Item);
    }

    std::string Joined(const std::vector<std::string>& List)
    {
        std::string Out;
        for (const std::string& Item : List)
            Out += (Out.empty() ? "" : ", ") + Item;
        return Out;
    }

} // namespace

std::vector<TCandidate> MergeOffers(const std::vector<TOffer>& Offers, const std::string& Domain)
{
    std::vector<TOffer> Sorted = Offers;
    std::stable_sort(Sorted.begin(), Sorted.end(),
        [](const TOffer& Left, const TOffer& Right) { return Rank(Left.Source) < Rank(Right.Source); });
    std::vector<TCandidate> Candidates;
    std::vector<std::vector<const TOffer*>> Named;
    for (const TOffer& Offer : Sorted) {
        auto Same = std::find_if(Candidates.begin(), Candidates.end(), [&](const TCandidate& Candidate) {
            return Candidate.Host == Offer.Host && Candidate.Port == Offer.Port && Candidate.Socket == Offer.Socket;
        });
        if (Same == Candidates.end()) {
            TCandidate Candidate;
            Candidate.Host = Offer.Host;
            Candidate.Port = Offer.Port;
            Candidate.Socket = Offer.Socket;
            Candidate.Username = Offer.Username;
            Candidates.push_back(Candidate);
            Named.emplace_back();
            Same = Candidates.end() - 1;
        }
        TCandidate& Candidate = *Same;
        Named[static_cast<size_t>(Same - Candidates.begin())].push_back(&Offer);
        AddOnce(Candidate.Sources, Offer.Source);
        for (const std::string& Method : Offer.Authentication)
            AddOnce(Candidate.Authentication, Method);
        if (Candidate.Username.empty())
            Candidate.Username = Offer.Username;
        else if (!Offer.Username.empty() && Offer.Username != Candidate.Username)
            AddOnce(Candidate.Notes,
                "Quellen uneins beim Benutzernamen: " + Offer.Source + " nennt „" + Offer.Username + "“.");
    }
    for (size_t Index = 0; Index < Candidates.size(); ++Index) {
        TCandidate& Candidate = Candidates[Index];
        bool OverHttp = false;
        bool ViaOtherName = false;
        std::string Enable;
        std::string Documentation;
        for (const TOffer* Offer : Named[Index]) {
            OverHttp = OverHttp || Offer->OverHttp;
            ViaOtherName = ViaOtherName || Offer->ViaOtherName;
            if (Enable.empty())
                Enable = Offer->EnableUrl;
            if (Documentation.empty())
                Documentation = Offer->DocumentationUrl;
            for (const std::string& Note : Offer->Notes)
                AddOnce(Candidate.Notes, Note);
        }
        // Other ports or modes for the same host from other sources.
        for (const TCandidate& Other : Candidates) {
            if (&Other == &Candidate || Other.Host != Candidate.Host)
                continue;
            std::vector<std::string> Elsewhere;
            for (const std::string& Source : Other.Sources)
                if (std::find(Candidate.Sources.begin(), Candidate.Sources.end(), Source) == Candidate.Sources.end())
                    Elsewhere.push_back(Source);
            if (!Elsewhere.empty())
                AddOnce(Candidate.Notes,
                    "Quellen uneins: " + Joined(Elsewhere) + " nennt für diesen Host Port " + std::to_string(Other.Port)
                        + " (" + SocketLabel(Other.Socket) + ").");
        }
        if (OverHttp)
            AddOnce(Candidate.Notes, "unverschlüsselt abgerufen: könnte unterwegs verfälscht worden sein");
        if (ViaOtherName && !InsideDomain(Candidate.Host, Domain))
            AddOnce(Candidate.Notes,
                "Ziel außerhalb von " + Domain
                    + ", über DNS genannt: ohne DNSSEC-Prüfung nicht abgesichert (RFC 6186, Abschnitt 6); Brieflotse "
                      "kann DNSSEC nicht prüfen.");
        const bool Encrypted = std::any_of(Candidates.begin(), Candidates.end(), [&](const TCandidate& Other) {
            return Other.Host == Candidate.Host && Other.Socket != TSocketKind::Plain;
        });
        if (!Encrypted)
            AddOnce(Candidate.Notes, "Nur ein unverschlüsselter Port: Paßwort und Nachrichten gehen im Klartext.");
        if (!Enable.empty())
            AddOnce(Candidate.Notes, "POP3 muß beim Anbieter erst eingeschaltet werden: " + Enable);
        Candidate.ProviderUrl = !Enable.empty() ? Enable : Documentation;
    }
    return Candidates;
}

} // namespace FinderRules
