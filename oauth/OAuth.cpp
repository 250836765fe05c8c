#include "oauth/OAuth.h"

#include <ctime>
#include <sstream>
#include <thread>

#include "auth/AuthCrypto.h"
#include "oauth/LoopbackListener.h"
#include "oauth/OAuthHttp.h"
#include "oauth/OAuthRules.h"

namespace {

using TSystemClock = std::chrono::system_clock;
using TSteadyClock = std::chrono::steady_clock;

void Tell(const TOAuthCallbacks& Callbacks, const std::string& Text)
{
    if (Callbacks.Report)
        Callbacks.Report(Text);
}

TOAuthResult Outcome(TOAuthOutcome Kind, std::string Problem)
{
    TOAuthResult Result;
    Result.Outcome = Kind;
    Result.Problem = std::move(Problem);
    return Result;
}

// An end without a token, told to the assistant and the log as well.
TOAuthResult Reported(const TOAuthCallbacks& Callbacks, TOAuthOutcome Kind, const std::string& Problem)
{
    Tell(Callbacks, Problem);
    return Outcome(Kind, Problem);
}

std::string LocalTime(TSystemClock::time_point When)
{
    const std::time_t Seconds = TSystemClock::to_time_t(When);
    std::tm Parts {};
    localtime_r(&Seconds, &Parts);
    char Text[32];
    std::strftime(Text, sizeof Text, "%H:%M:%S", &Parts);
    return Text;
}

// The requested scope words the provider left out of the granted scope.
std::string MissingScope(const std::string& Requested, const std::string& Granted)
{
    std::istringstream Words(Requested);
    std::string Word;
    std::string Missing;
    const std::string Padded = " " + Granted + " ";
    while (Words >> Word)
        if (Word != "offline_access" && Padded.find(" " + Word + " ") == std::string::npos)
            Missing += (Missing.empty() ? "" : " ") + Word;
    return Missing;
}

void TellToken(const TOAuthCallbacks& Callbacks, const TOAuthClient& Client, const TOAuthToken& Token)
{
    Tell(Callbacks,
        "Zugriffs-Token erhalten, gültig bis " + LocalTime(Token.Expires)
            + "; Refresh-Token: " + (Token.RefreshToken.empty() ? "keins" : "erhalten") + ".");
    const std::string Missing = Token.Scope.empty() ? std::string() : MissingScope(Client.Endpoints.Scope, Token.Scope);
    if (!Missing.empty())
        Tell(Callbacks,
            "Achtung: Der Anbieter hat den Bereich „" + Missing
                + "“ nicht gewährt; die Anmeldung am POP3-Server kann daran scheitern.");
}

// One request to the token endpoint. Error: the provider's error code, if any.
TOAuthResult RequestToken(const TOAuthClient& Client, std::map<std::string, std::string> Form,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits, std::string& Error)
{
    Error.clear();
    Form["client_id"] = Client.ClientId;
    if (!Client.ClientSecret.empty())
        Form["client_secret"] = Client.ClientSecret;
    THttpAnswer Http = HttpExchange(Client.Endpoints.TokenUrl, Form, Cancel, Limits);
    for (auto& [Name, Value] : Form)
        Forget(Value);
    if (Http.Cancelled)
        return Outcome(TOAuthOutcome::Cancelled, Http.Problem);
    if (!Http.Ok)
        return Outcome(TOAuthOutcome::Failed, Http.Problem);
    TTokenAnswer Answer = ReadTokenAnswer(Http.Body, TSystemClock::now());
    Forget(Http.Body);
    Error = Answer.Error;
    if (Answer.Ok && Http.Status == 200) {
        TOAuthResult Result;
        Result.Outcome = TOAuthOutcome::Ok;
        Result.Token = std::move(Answer.Token);
        return Result;
    }
    if (Answer.Error.empty() && Http.Status != 200)
        return Outcome(TOAuthOutcome::Failed,
            "Der Token-Endpunkt antwortet mit HTTP " + std::to_string(Http.Status) + ". " + Answer.Problem);
    return Outcome(Answer.Error == "access_denied" ? TOAuthOutcome::Denied : TOAuthOutcome::Failed, Answer.Problem);
}

// Waits Ms in slices of 100 ms; false when cancelled.
bool Pause(int64_t Ms, const std::atomic<bool>& Cancel)
{
    const auto Until = TSteadyClock::now() + std::chrono::milliseconds(Ms);
    while (TSteadyClock::now() < Until) {
        if (Cancel.load())
            return false;
        std::this_thread::sleep_for(
            std::min<TSteadyClock::duration>(std::chrono::milliseconds(100), Until - TSteadyClock::now()));
    }
    return !Cancel.load();
}

// RFC 8414 puts the well-known part between host and path; OpenID Connect appends it.
std::vector<std::string> MetadataUrls(std::string Issuer)
{
    while (!Issuer.empty() && Issuer.back() == '/')
        Issuer.pop_back();
    const size_t Scheme = Issuer.find("://");
    const size_t PathStart = Scheme == std::string::npos ? std::string::npos : Issuer.find('/', Scheme + 3);
    std::string Inserted = Issuer + "/.well-known/oauth-authorization-server";
    if (PathStart != std::string::npos)
        Inserted = Issuer.substr(0, PathStart) + "/.well-known/oauth-authorization-server" + Issuer.substr(PathStart);
    return { Inserted, Issuer + "/.well-known/openid-configuration" };
}

} // namespace

TOAuthEndpoints MicrosoftEndpoints(const std::string& Tenant)
{
    const std::string Base = "https://login.microsoftonline.com/" + (Tenant.empty() ? "common" : Tenant);
    return { Base + "/v2.0", Base + "/oauth2/v2.0/authorize", Base + "/oauth2/v2.0/token",
        Base + "/oauth2/v2.0/devicecode", "https://outlook.office.com/POP.AccessAsUser.All offline_access" };
}

TOAuthEndpoints GoogleEndpoints()
{
    return { "https://accounts.google.com", "https://accounts.google.com/o/oauth2/v2/auth",
        "https://oauth2.googleapis.com/token", "https://oauth2.googleapis.com/device/code",
        "https://mail.google.com/" };
}

TDiscoveredEndpoints DiscoverEndpoints(const std::string& Issuer, const std::atomic<bool>& Cancel,
    const TOAuthCallbacks& Callbacks, const TOAuthLimits& Limits)
{
    TDiscoveredEndpoints Found;
    if (!UrlAllowed(Issuer, Found.Problem))
        return Found;
    for (const std::string& Url : MetadataUrls(Issuer)) {
        Tell(Callbacks, "Metadaten des Anbieters abrufen: " + Url);
        const THttpAnswer Http = HttpExchange(Url, {}, Cancel, Limits);
        if (Http.Cancelled || (Http.Ok && Http.Status == 200)) {
            if (Http.Cancelled)
                Found.Problem = Http.Problem;
            else
                Found = ReadMetadata(Http.Body, Issuer);
            return Found;
        }
        Found.Problem
            = Http.Ok ? "Keine Metadaten des Anbieters (HTTP " + std::to_string(Http.Status) + ")." : Http.Problem;
        Tell(Callbacks, Found.Problem);
    }
    return Found;
}

TOAuthResult SignInWithBrowser(const TOAuthClient& Client, const TOAuthCallbacks& Callbacks,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits)
{
    std::string Problem;
    if (!UrlAllowed(Client.Endpoints.AuthorizationUrl, Problem))
        return Reported(Callbacks, TOAuthOutcome::Failed, Problem);
    TLoopbackListener Listener;
    if (!Listener.Open(Problem))
        return Reported(Callbacks, TOAuthOutcome::Failed, Problem);
    const std::string RedirectUri = "http://127.0.0.1:" + std::to_string(Listener.Port()) + Limits.RedirectPath;
    std::string Verifier = NewPkceVerifier();
    const std::string State = NewRandomToken();
    const std::string Url = AuthorizationUrl(Client, RedirectUri, State, PkceChallenge(Verifier));
    Tell(Callbacks, "Warte auf die Rückleitung des Browsers an " + RedirectUri + ".");
    if (Callbacks.OpenBrowser && Callbacks.OpenBrowser(Url))
        Tell(Callbacks,
            "Browser geöffnet: Bitte melden Sie sich an und geben Sie Brieflotse den Zugriff frei. "
            "Brieflotse wartet höchstens "
                + std::to_string(Limits.ListenerTimeoutMs / 60000) + " Minuten.");
    else
        Tell(Callbacks, "Der Browser ließ sich nicht öffnen. Bitte öffnen Sie diese Adresse selbst: " + Url);

    TRedirectResult Redirect = Listener.Wait(Limits.RedirectPath, State, Cancel, Limits.ListenerTimeoutMs);
    TOAuthResult Result;
    switch (Redirect.Outcome) {
    case TRedirectOutcome::Code: {
        Tell(Callbacks, "Freigabe erhalten; der Code wird beim Token-Endpunkt eingelöst ...");
        std::string Error;
        Result = RequestToken(Client,
            { { "grant_type", "authorization_code" }, { "code", Redirect.Code }, { "redirect_uri", RedirectUri },
                { "code_verifier", Verifier } },
            Cancel, Limits, Error);
        break;
    }
    case TRedirectOutcome::Denied:
        Result = Outcome(TOAuthOutcome::Denied, Redirect.Problem);
        break;
    case TRedirectOutcome::TimedOut:
        Result = Outcome(TOAuthOutcome::TimedOut, Redirect.Problem);
        break;
    case TRedirectOutcome::Cancelled:
        Result = Outcome(TOAuthOutcome::Cancelled, Redirect.Problem);
        break;
    default:
        Result = Outcome(TOAuthOutcome::Failed, Redirect.Problem);
        break;
    }
    Forget(Verifier);
    Forget(Redirect.Code);
    if (Result.Outcome == TOAuthOutcome::Ok)
        TellToken(Callbacks, Client, Result.Token);
    else
        Tell(Callbacks, Result.Problem);
    return Result;
}

TOAuthResult SignInWithDevice(const TOAuthClient& Client, const TOAuthCallbacks& Callbacks,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits)
{
    if (Client.Endpoints.DeviceUrl.empty())
        return Reported(Callbacks, TOAuthOutcome::Failed, "Dieser Anbieter bietet keine Anmeldung mit Gerätecode an.");
    Tell(Callbacks, "Gerätecode beim Anbieter anfordern ...");
    const THttpAnswer Http = HttpExchange(Client.Endpoints.DeviceUrl,
        { { "client_id", Client.ClientId }, { "scope", Client.Endpoints.Scope } }, Cancel, Limits);
    if (!Http.Ok)
        return Reported(Callbacks, Http.Cancelled ? TOAuthOutcome::Cancelled : TOAuthOutcome::Failed, Http.Problem);
    TDeviceAnswer Device = ReadDeviceAnswer(Http.Body);
    if (!Device.Ok) {
        if (Http.Status != 200)
            Device.Problem = "Der Anbieter antwortet mit HTTP " + std::to_string(Http.Status) + ". " + Device.Problem;
        return Reported(Callbacks, TOAuthOutcome::Failed, Device.Problem);
    }
    if (Callbacks.ShowDeviceCode)
        Callbacks.ShowDeviceCode(Device.Shown);
    Tell(Callbacks,
        "Bitte öffnen Sie " + Device.Shown.VerificationUri + " und geben Sie den Code " + Device.Shown.UserCode
            + " ein. Der Code gilt "
            + (Device.Shown.ExpiresInSeconds >= 120 ? std::to_string(Device.Shown.ExpiresInSeconds / 60) + " Minuten."
                                                    : std::to_string(Device.Shown.ExpiresInSeconds) + " Sekunden."));

    const auto Until
        = TSteadyClock::now() + std::chrono::milliseconds(int64_t(Device.Shown.ExpiresInSeconds) * Limits.SecondMs);
    int64_t IntervalMs = int64_t(Device.Shown.IntervalSeconds) * Limits.SecondMs;
    TOAuthResult Result;
    for (;;) {
        if (!Pause(IntervalMs, Cancel)) {
            Result = Outcome(TOAuthOutcome::Cancelled, "Anmeldung abgebrochen.");
            break;
        }
        if (TSteadyClock::now() >= Until) {
            Result = Outcome(TOAuthOutcome::TimedOut, OAuthErrorText("expired_token", ""));
            break;
        }
        std::string Error;
        Result = RequestToken(Client,
            { { "grant_type", "urn:ietf:params:oauth:grant-type:device_code" }, { "device_code", Device.DeviceCode } },
            Cancel, Limits, Error);
        if (Error == "authorization_pending")
            continue;
        if (Error == "slow_down") {
            IntervalMs += 5 * int64_t(Limits.SecondMs);
            Tell(Callbacks,
                "Der Anbieter bittet um langsameres Nachfragen; Abstand jetzt "
                    + std::to_string(IntervalMs / Limits.SecondMs) + " s.");
            continue;
        }
        if (Error == "expired_token")
            Result.Outcome = TOAuthOutcome::TimedOut;
        break;
    }
    Forget(Device.DeviceCode);
    if (Result.Outcome == TOAuthOutcome::Ok)
        TellToken(Callbacks, Client, Result.Token);
    else
        Tell(Callbacks, Result.Problem);
    return Result;
}

TOAuthResult RefreshAccessToken(const TOAuthClient& Client, const std::string& RefreshToken,
    const TOAuthCallbacks& Callbacks, const std::atomic<bool>& Cancel, const TOAuthLimits& Limits)
{
    Tell(Callbacks, "Zugriffs-Token wird mit dem Refresh-Token erneuert ...");
    std::string Error;
    TOAuthResult Result = RequestToken(
        Client, { { "grant_type", "refresh_token" }, { "refresh_token", RefreshToken } }, Cancel, Limits, Error);
    if (Result.Outcome == TOAuthOutcome::Ok) {
        if (Result.Token.RefreshToken.empty())
            Result.Token.RefreshToken = RefreshToken;
        TellToken(Callbacks, Client, Result.Token);
        return Result;
    }
    // A refusal by the provider ends the refresh token; a broken network does not.
    if (!Error.empty() && Error != "server_error" && Error != "temporarily_unavailable") {
        Result.Outcome = TOAuthOutcome::SignInAgain;
        if (Result.Problem.find("neu an") == std::string::npos)
            Result.Problem += " Bitte melden Sie sich neu an.";
    }
    Tell(Callbacks, Result.Problem);
    return Result;
}

TOAuthTokenStore::TKey TOAuthTokenStore::KeyOf(const TOAuthClient& Client)
{
    const TOAuthEndpoints& Endpoints = Client.Endpoints;
    return { Endpoints.Issuer.empty() ? Endpoints.TokenUrl : Endpoints.Issuer, Client.ClientId, Client.User };
}

void TOAuthTokenStore::Put(const TOAuthClient& Client, const TOAuthToken& Token)
{
    std::lock_guard<std::mutex> Lock(FMutex);
    FTokens[KeyOf(Client)] = Token;
}

std::optional<TOAuthToken> TOAuthTokenStore::Find(const TOAuthClient& Client) const
{
    std::lock_guard<std::mutex> Lock(FMutex);
    const auto Found = FTokens.find(KeyOf(Client));
    if (Found == FTokens.end())
        return std::nullopt;
    return Found->second;
}

void TOAuthTokenStore::Forget(const TOAuthClient& Client)
{
    std::lock_guard<std::mutex> Lock(FMutex);
    const auto Found = FTokens.find(KeyOf(Client));
    if (Found == FTokens.end())
        return;
    ::Forget(Found->second.AccessToken);
    ::Forget(Found->second.RefreshToken);
    FTokens.erase(Found);
}

TOAuthResult TOAuthTokenStore::FreshAccessToken(const TOAuthClient& Client, const TOAuthCallbacks& Callbacks,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits)
{
    std::lock_guard<std::mutex> Refreshing(FRefreshMutex);
    const std::optional<TOAuthToken> Stored = Find(Client);
    if (!Stored)
        return Reported(
            Callbacks, TOAuthOutcome::SignInAgain, "Für dieses Konto liegt kein Token vor: Bitte melden Sie sich an.");
    if (!Stored->AccessToken.empty() && Stored->Expires - kExpiryMargin > TSystemClock::now()) {
        TOAuthResult Result;
        Result.Outcome = TOAuthOutcome::Ok;
        Result.Token = *Stored;
        return Result;
    }
    if (Stored->RefreshToken.empty()) {
        Forget(Client);
        return Reported(Callbacks, TOAuthOutcome::SignInAgain,
            "Das Zugriffs-Token ist abgelaufen und es gibt kein Refresh-Token: Bitte melden Sie sich neu an.");
    }
    // Without FMutex: the refresh goes over the network.
    TOAuthResult Result = RefreshAccessToken(Client, Stored->RefreshToken, Callbacks, Cancel, Limits);
    if (Result.Outcome == TOAuthOutcome::Ok)
        Put(Client, Result.Token);
    else if (Result.Outcome == TOAuthOutcome::SignInAgain)
        Forget(Client);
    return Result;
}
