#include "oauth/OAuthRules.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "auth/AuthCrypto.h"
#include "auth/Pop3Auth.h"
#include "text/AsciiText.h"
#include "text/JsonWriter.h"

namespace {

using TJson = nlohmann::json;

bool IsUnreserved(char C)
{
    return IsAsciiAlnum(C) || C == '-' || C == '.' || C == '_' || C == '~';
}

int HexValue(char C)
{
    if (IsAsciiDigit(C))
        return C - '0';
    return AsciiLower(C) - 'a' + 10;
}

std::string Decode(const std::string& Text)
{
    std::string Out;
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '+')
            Out += ' ';
        else if (Text[I] == '%' && I + 2 < Text.size() && IsAsciiHexDigit(Text[I + 1])
            && IsAsciiHexDigit(Text[I + 2])) {
            Out += static_cast<char>(HexValue(Text[I + 1]) * 16 + HexValue(Text[I + 2]));
            I += 2;
        } else
            Out += Text[I];
    }
    return Out;
}

// A provider's text shown to a person: control bytes as blanks, broken UTF-8
// as '?', at most about 300 bytes and never cut inside a character.
std::string Cleaned(const std::string& Text)
{
    std::string Out;
    for (size_t Index = 0; Index < Text.size();) {
        if (Out.size() >= 300) {
            Out += " ...";
            break;
        }
        const auto Byte = static_cast<unsigned char>(Text[Index]);
        if (Byte < 0x80) {
            Out += Byte < 0x20 || Byte == 0x7f ? ' ' : Text[Index];
            ++Index;
            continue;
        }
        const size_t Length = Utf8Length(Text, Index);
        Out += Length ? Text.substr(Index, Length) : "?";
        Index += Length ? Length : 1;
    }
    return Out;
}

std::string StringField(const TJson& Object, const char* Name)
{
    const auto Found = Object.find(Name);
    return Found != Object.end() && Found->is_string() ? Found->get<std::string>() : std::string();
}

// Seconds as a number or, as some providers send them, as a string of digits.
long long SecondsField(const TJson& Object, const char* Name, long long Default)
{
    const auto Found = Object.find(Name);
    if (Found == Object.end())
        return Default;
    if (Found->is_number_integer())
        return Found->get<long long>();
    if (Found->is_number())
        return static_cast<long long>(Found->get<double>());
    if (Found->is_string()) {
        const std::string Text = Found->get<std::string>();
        if (!Text.empty() && Text.size() < 10 && std::all_of(Text.begin(), Text.end(), IsAsciiDigit))
            return std::stoll(Text);
    }
    return Default;
}

// The answer as a JSON object, or a German reason.
bool ParseObject(const std::string& Body, TJson& Object, std::string& Problem)
{
    try {
        Object = TJson::parse(Body);
    } catch (const TJson::exception&) {
        Problem = "Die Antwort des Anbieters ist kein gültiges JSON.";
        return false;
    }
    if (!Object.is_object()) {
        Problem = "Die Antwort des Anbieters ist kein JSON-Objekt.";
        return false;
    }
    return true;
}

} // namespace

std::string Base64Url(const std::string& Bytes)
{
    std::string Text = Base64Encode(Bytes);
    while (!Text.empty() && Text.back() == '=')
        Text.pop_back();
    for (char& C : Text)
        C = C == '+' ? '-' : C == '/' ? '_' : C;
    return Text;
}

std::string PkceChallenge(const std::string& Verifier)
{
    return Base64Url(Sha256(Verifier));
}

std::string NewPkceVerifier()
{
    return Base64Url(RandomBytes(48));
}

std::string NewRandomToken()
{
    return Base64Url(RandomBytes(16));
}

std::string UrlEncode(const std::string& Text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string Out;
    for (char C : Text) {
        if (IsUnreserved(C)) {
            Out += C;
            continue;
        }
        const auto Byte = static_cast<unsigned char>(C);
        Out += '%';
        Out += kHex[Byte >> 4];
        Out += kHex[Byte & 15];
    }
    return Out;
}

std::string FormEncode(const std::map<std::string, std::string>& Fields)
{
    std::string Out;
    for (const auto& [Name, Value] : Fields) {
        if (!Out.empty())
            Out += '&';
        Out += UrlEncode(Name) + "=" + UrlEncode(Value);
    }
    return Out;
}

std::map<std::string, std::string> ParseQuery(const std::string& Query)
{
    std::map<std::string, std::string> Fields;
    size_t Begin = 0;
    while (Begin <= Query.size()) {
        size_t End = Query.find('&', Begin);
        if (End == std::string::npos)
            End = Query.size();
        const std::string Pair = Query.substr(Begin, End - Begin);
        if (!Pair.empty()) {
            const size_t Equals = Pair.find('=');
            const std::string Name = Decode(Pair.substr(0, Equals));
            const std::string Value = Equals == std::string::npos ? std::string() : Decode(Pair.substr(Equals + 1));
            Fields.emplace(Name, Value);
        }
        Begin = End + 1;
    }
    return Fields;
}

std::string AuthorizationUrl(
    const TOAuthClient& Client, const std::string& RedirectUri, const std::string& State, const std::string& Challenge)
{
    std::map<std::string, std::string> Fields { { "response_type", "code" }, { "client_id", Client.ClientId },
        { "redirect_uri", RedirectUri }, { "scope", Client.Endpoints.Scope }, { "state", State },
        { "code_challenge", Challenge }, { "code_challenge_method", "S256" } };
    if (!Client.User.empty())
        Fields["login_hint"] = Client.User;
    const std::string& Base = Client.Endpoints.AuthorizationUrl;
    return Base + (Base.find('?') == std::string::npos ? "?" : "&") + FormEncode(Fields);
}

std::string UrlHost(const std::string& Url)
{
    const size_t Scheme = Url.find("://");
    if (Scheme == std::string::npos)
        return {};
    const size_t Begin = Scheme + 3;
    const size_t End = Url.find_first_of("/?#", Begin);
    std::string Authority = Url.substr(Begin, End == std::string::npos ? std::string::npos : End - Begin);
    const size_t At = Authority.rfind('@');
    if (At != std::string::npos)
        Authority.erase(0, At + 1);
    if (!Authority.empty() && Authority[0] == '[') {
        const size_t Close = Authority.find(']');
        return Close == std::string::npos ? std::string() : Authority.substr(1, Close - 1);
    }
    return AsciiLower(Authority.substr(0, Authority.find(':')));
}

bool IsLoopbackHost(const std::string& Host)
{
    return Host == "127.0.0.1" || Host == "::1" || Host == "localhost";
}

bool UrlAllowed(const std::string& Url, std::string& Problem)
{
    const std::string Host = UrlHost(Url);
    if (Host.empty()) {
        Problem = "Die Adresse „" + Cleaned(Url) + "“ ist keine gültige URL.";
        return false;
    }
    if (StartsWithIgnoringAsciiCase(Url, "https://"))
        return true;
    if (StartsWithIgnoringAsciiCase(Url, "http://") && IsLoopbackHost(Host))
        return true;
    Problem = "Die Adresse „" + Cleaned(Url) + "“ ist nicht HTTPS; Tokens werden nur verschlüsselt abgeholt.";
    return false;
}

std::string OAuthErrorText(const std::string& Error, const std::string& Description)
{
    static const std::map<std::string, std::string> kTexts {
        { "invalid_grant",
            "Der Anbieter lehnt die Freigabe ab: Code oder Refresh-Token ist ungültig, abgelaufen oder widerrufen. "
            "Bitte melden Sie sich neu an." },
        { "invalid_client", "Der Anbieter kennt die Client-ID nicht oder das Client-Geheimnis ist falsch bzw. fehlt." },
        { "invalid_scope",
            "Der Anbieter lehnt den angeforderten Bereich (Scope) ab. Prüfen Sie, ob die Anwendung beim Anbieter "
            "für POP3 freigeschaltet ist." },
        { "unauthorized_client",
            "Diese Client-ID darf diese Anmeldeart beim Anbieter nicht verwenden (in der Registrierung der "
            "Anwendung freischalten)." },
        { "access_denied", "Die Anmeldung wurde im Browser abgelehnt oder abgebrochen." },
        { "expired_token", "Der Gerätecode ist abgelaufen, bevor die Anmeldung bestätigt wurde." },
        { "invalid_request", "Der Anbieter hält die Anfrage für fehlerhaft." },
        { "unsupported_grant_type", "Der Anbieter unterstützt diese Anmeldeart nicht." },
        { "unsupported_response_type", "Der Anbieter unterstützt die Anmeldung mit Code nicht." },
        { "server_error", "Beim Anbieter ist ein interner Fehler aufgetreten." },
        { "temporarily_unavailable", "Der Anbieter ist vorübergehend nicht erreichbar." },
    };
    const auto Found = kTexts.find(Error);
    std::string Text = Found != kTexts.end() ? Found->second : "Der Anbieter meldet einen Fehler.";
    Text += " (" + Cleaned(Error) + ")";
    if (!Description.empty())
        Text += " Der Anbieter sagt: „" + Cleaned(Description) + "“";
    return Text;
}

TTokenAnswer ReadTokenAnswer(const std::string& Body, std::chrono::system_clock::time_point Now)
{
    TTokenAnswer Answer;
    TJson Object;
    if (!ParseObject(Body, Object, Answer.Problem))
        return Answer;
    Answer.Error = StringField(Object, "error");
    if (!Answer.Error.empty()) {
        Answer.Problem = OAuthErrorText(Answer.Error, StringField(Object, "error_description"));
        return Answer;
    }
    Answer.Token.AccessToken = StringField(Object, "access_token");
    if (Answer.Token.AccessToken.empty()) {
        Answer.Problem = "Die Antwort des Anbieters enthält kein Zugriffs-Token.";
        return Answer;
    }
    const std::string Type = StringField(Object, "token_type");
    if (!EqualsIgnoringAsciiCase(Type, "bearer")) {
        Answer.Problem = "Der Anbieter liefert ein Token der Art „" + Cleaned(Type) + "“ statt „Bearer“.";
        return Answer;
    }
    Answer.Token.RefreshToken = StringField(Object, "refresh_token");
    Answer.Token.Scope = StringField(Object, "scope");
    // Without expires_in the token is taken as good for an hour, as the big providers give.
    const long long Seconds = std::clamp(SecondsField(Object, "expires_in", 3600), 0LL, 10LL * 365 * 24 * 3600);
    Answer.Token.Expires = Now + std::chrono::seconds(Seconds);
    Answer.Ok = true;
    return Answer;
}

TDeviceAnswer ReadDeviceAnswer(const std::string& Body)
{
    TDeviceAnswer Answer;
    TJson Object;
    if (!ParseObject(Body, Object, Answer.Problem))
        return Answer;
    const std::string Error = StringField(Object, "error");
    if (!Error.empty()) {
        Answer.Problem = OAuthErrorText(Error, StringField(Object, "error_description"));
        return Answer;
    }
    Answer.DeviceCode = StringField(Object, "device_code");
    Answer.Shown.UserCode = StringField(Object, "user_code");
    // Google names it verification_url.
    Answer.Shown.VerificationUri = StringField(Object, "verification_uri");
    if (Answer.Shown.VerificationUri.empty())
        Answer.Shown.VerificationUri = StringField(Object, "verification_url");
    Answer.Shown.VerificationUriComplete = StringField(Object, "verification_uri_complete");
    Answer.Shown.IntervalSeconds = static_cast<int>(std::clamp(SecondsField(Object, "interval", 5), 1LL, 60LL));
    Answer.Shown.ExpiresInSeconds = static_cast<int>(std::clamp(SecondsField(Object, "expires_in", 0), 0LL, 3600LL));
    if (Answer.DeviceCode.empty() || Answer.Shown.UserCode.empty() || Answer.Shown.VerificationUri.empty()
        || Answer.Shown.ExpiresInSeconds == 0) {
        Answer.Problem = "Die Antwort des Anbieters auf die Geräteanmeldung ist unvollständig.";
        return Answer;
    }
    Answer.Ok = true;
    return Answer;
}

TDiscoveredEndpoints ReadMetadata(const std::string& Body, const std::string& Issuer)
{
    TDiscoveredEndpoints Found;
    TJson Object;
    if (!ParseObject(Body, Object, Found.Problem))
        return Found;
    const std::string Named = StringField(Object, "issuer");
    if (Named != Issuer) {
        Found.Problem = "Die Metadaten nennen den Aussteller „" + Cleaned(Named) + "“ statt „" + Cleaned(Issuer)
            + "“: abgelehnt.";
        return Found;
    }
    Found.Endpoints.Issuer = Issuer;
    Found.Endpoints.AuthorizationUrl = StringField(Object, "authorization_endpoint");
    Found.Endpoints.TokenUrl = StringField(Object, "token_endpoint");
    Found.Endpoints.DeviceUrl = StringField(Object, "device_authorization_endpoint");
    if (Found.Endpoints.TokenUrl.empty()) {
        Found.Problem = "Die Metadaten nennen keinen Token-Endpunkt.";
        return Found;
    }
    for (const std::string* Url :
        { &Found.Endpoints.AuthorizationUrl, &Found.Endpoints.TokenUrl, &Found.Endpoints.DeviceUrl })
        if (!Url->empty() && !UrlAllowed(*Url, Found.Problem))
            return Found;
    Found.Ok = true;
    return Found;
}
