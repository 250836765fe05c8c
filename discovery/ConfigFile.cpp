#include "discovery/ConfigFile.h"

#include <pugixml.hpp>

#include "text/AsciiText.h"

namespace {

std::string Trimmed(const char* Text)
{
    std::string Value = Text;
    const size_t First = Value.find_first_not_of(" \t\r\n");
    if (First == std::string::npos)
        return {};
    const size_t Last = Value.find_last_not_of(" \t\r\n");
    return Value.substr(First, Last - First + 1);
}

// Only web pages are offered as links: no "javascript:", no "file:".
bool IsWebUrl(const std::string& Url)
{
    const std::string Start = AsciiLower(Url.substr(0, 8));
    if (Start.rfind("https://", 0) != 0 && Start.rfind("http://", 0) != 0)
        return false;
    for (const char Char : Url)
        if (static_cast<unsigned char>(Char) <= ' ' || static_cast<unsigned char>(Char) > '~')
            return false;
    return true;
}

// What a file may say, shortened for a row: at most 60 bytes, no control bytes.
std::string Shown(const std::string& Text)
{
    std::string Out;
    for (const char Char : Text.substr(0, 60))
        Out += static_cast<unsigned char>(Char) < ' ' ? '?' : Char;
    return Text.size() > 60 ? Out + "..." : Out;
}

} // namespace

bool FillPlaceholders(const std::string& Text, const TFinderQuery& Query, std::string& Filled, std::string& Unknown)
{
    Filled.clear();
    size_t At = 0;
    while (At < Text.size()) {
        const size_t Open = Text.find('%', At);
        if (Open == std::string::npos) {
            Filled += Text.substr(At);
            break;
        }
        Filled += Text.substr(At, Open - At);
        const size_t Close = Text.find('%', Open + 1);
        if (Close == std::string::npos) {
            Unknown = Text.substr(Open);
            return false;
        }
        const std::string Name = Text.substr(Open, Close - Open + 1);
        const bool HaveAddress = !Query.Address.empty();
        if (Name == "%EMAILADDRESS%")
            Filled += HaveAddress ? Query.Address : Name;
        else if (Name == "%EMAILLOCALPART%")
            Filled += HaveAddress ? Query.LocalPart : Name;
        else if (Name == "%EMAILDOMAIN%")
            Filled += Query.Domain;
        else {
            Unknown = Name;
            return false;
        }
        At = Close + 1;
    }
    return true;
}

bool IsPlainHostName(const std::string& Host)
{
    if (Host.empty() || Host.size() > 253)
        return false;
    size_t Label = 0;
    for (const char Char : Host) {
        if (Char == '.') {
            if (Label == 0)
                return false;
            Label = 0;
            continue;
        }
        if (!IsAsciiAlnum(Char) && Char != '-')
            return false;
        if (++Label > 63)
            return false;
    }
    return Label > 0;
}

TConfigFile ReadConfigFile(const std::string& Body, const TFinderQuery& Query)
{
    TConfigFile File;
    pugi::xml_document Document;
    // No entity expansion beyond XML's own five: pugixml never fetches or expands DTDs.
    const pugi::xml_parse_result Parsed = Document.load_buffer(Body.data(), Body.size(), pugi::parse_default);
    if (!Parsed) {
        File.Error = std::string("Kein gültiges XML: ") + Parsed.description() + " (bei Byte "
            + std::to_string(Parsed.offset) + ").";
        return File;
    }
    const pugi::xml_node Provider = Document.child("clientConfig").child("emailProvider");
    if (!Provider) {
        File.Error = "Die Datei ist keine Mail-Konfiguration (kein clientConfig/emailProvider).";
        return File;
    }
    File.Readable = true;
    for (const pugi::xml_node Enable : Provider.children("enable")) {
        const std::string Url = Trimmed(Enable.attribute("visiturl").value());
        if (IsWebUrl(Url) && File.EnableUrl.empty())
            File.EnableUrl = Url;
        else if (!Url.empty() && !IsWebUrl(Url))
            File.Problems.push_back("Seite zum Einschalten „" + Shown(Url) + "“ ist keine Web-Adresse: nicht gezeigt.");
    }
    for (const pugi::xml_node Documentation : Provider.children("documentation")) {
        const std::string Url = Trimmed(Documentation.attribute("url").value());
        if (IsWebUrl(Url) && File.DocumentationUrl.empty())
            File.DocumentationUrl = Url;
    }
    int Number = 0;
    for (const pugi::xml_node Server : Provider.children("incomingServer")) {
        if (AsciiLower(Server.attribute("type").value()) != "pop3")
            continue;
        ++Number;
        const std::string Which = "POP3-Server " + std::to_string(Number) + ": ";
        TOffer Offer;
        std::string Unknown;
        const std::string HostText = Trimmed(Server.child_value("hostname"));
        if (!FillPlaceholders(HostText, Query, Offer.Host, Unknown)) {
            File.Problems.push_back(
                Which + "unbekannter Platzhalter „" + Shown(Unknown) + "“ im Host-Namen: nicht angeboten.");
            continue;
        }
        Offer.Host = AsciiLower(Offer.Host);
        if (!IsPlainHostName(Offer.Host)) {
            File.Problems.push_back(Which + "Host-Name „" + Shown(HostText)
                + "“ enthält unzulässige Zeichen (erlaubt: Buchstaben, Ziffern, „-“, „.“): nicht angeboten.");
            continue;
        }
        const std::string PortText = Trimmed(Server.child_value("port"));
        long Port = 0;
        bool Digits = !PortText.empty() && PortText.size() <= 5;
        for (const char Char : PortText)
            Digits = Digits && IsAsciiDigit(Char);
        if (Digits)
            Port = std::stol(PortText);
        if (!Digits || Port < 1 || Port > 65535) {
            File.Problems.push_back(Which + "Port „" + Shown(PortText) + "“ von " + Offer.Host
                + " liegt nicht zwischen 1 und 65535: nicht angeboten.");
            continue;
        }
        Offer.Port = static_cast<uint16_t>(Port);
        const std::string Socket = Trimmed(Server.child_value("socketType"));
        if (Socket == "SSL")
            Offer.Socket = TSocketKind::Ssl;
        else if (Socket == "STARTTLS")
            Offer.Socket = TSocketKind::StartTls;
        else if (Socket == "plain")
            Offer.Socket = TSocketKind::Plain;
        else {
            File.Problems.push_back(Which + "unbekannte Verbindungsart „" + Shown(Socket) + "“ für " + Offer.Host
                + " (bekannt: SSL, STARTTLS, plain): nicht angeboten.");
            continue;
        }
        const std::string User = Trimmed(Server.child_value("username"));
        if (!FillPlaceholders(User, Query, Offer.Username, Unknown)) {
            File.Problems.push_back(Which + "unbekannter Platzhalter „" + Shown(Unknown) + "“ im Benutzernamen für "
                + Offer.Host + ": nicht angeboten.");
            continue;
        }
        for (const pugi::xml_node Method : Server.children("authentication")) {
            const std::string Name = Shown(Trimmed(Method.child_value()));
            if (!Name.empty())
                Offer.Authentication.push_back(Name);
        }
        File.Servers.push_back(Offer);
    }
    return File;
}
