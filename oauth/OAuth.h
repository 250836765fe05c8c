#pragma once

// Getting an OAuth2 access token for XOAUTH2 and OAUTHBEARER: the browser
// flow with PKCE and a loopback listener (RFC 8252, RFC 7636), the device
// flow (RFC 8628), refresh, and an in-memory store of the tokens. Plain C++
// on libcurl; every call blocks the caller's thread (the window runs it on a
// worker) and ends soon after Cancel is set from any thread.
//
// Texts for people are German and never contain a token, a code or the PKCE
// verifier: they go to the assistant and to the log as they are.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

// Where a provider signs in and hands out tokens.
struct TOAuthEndpoints {
    std::string Issuer; // names the provider in the token store
    std::string AuthorizationUrl;
    std::string TokenUrl;
    std::string DeviceUrl; // empty: the provider has no device flow
    std::string Scope; // space-separated, as sent
};

TOAuthEndpoints MicrosoftEndpoints(const std::string& Tenant = "common");
TOAuthEndpoints GoogleEndpoints();

// Who signs in where.
struct TOAuthClient {
    TOAuthEndpoints Endpoints;
    std::string ClientId;
    std::string ClientSecret; // optional; Google's desktop clients have one
    std::string User; // login_hint when not empty, and part of the store key
};

struct TOAuthToken {
    std::string AccessToken;
    std::string RefreshToken; // empty when the provider gave none
    std::string Scope; // as granted; may be empty
    // When the access token runs out; the epoch when unknown or when only the
    // refresh token is known (from the keyring): FreshAccessToken refreshes then.
    std::chrono::system_clock::time_point Expires {};
};

enum class TOAuthOutcome {
    Ok,
    Failed, // network, limits, malformed answers, refusals by the provider
    Denied, // the person declined (access_denied)
    TimedOut, // no answer from the browser or the device flow in time
    Cancelled,
    SignInAgain, // no token or the refresh was refused: a new sign-in is needed
};

struct TOAuthResult {
    TOAuthOutcome Outcome = TOAuthOutcome::Failed;
    TOAuthToken Token; // for Ok
    std::string Problem; // German, for everything but Ok
};

// What the device flow asks the person to do (RFC 8628 section 3.2).
struct TDeviceCode {
    std::string UserCode; // shown to the person; short-lived and harmless alone
    std::string VerificationUri;
    std::string VerificationUriComplete; // may be empty
    int IntervalSeconds = 5;
    int ExpiresInSeconds = 0;
};

struct TOAuthCallbacks {
    // Each step in German ("Browser geöffnet: Bitte melden Sie sich an ...").
    // May be empty. Called on the caller's thread.
    std::function<void(const std::string& Text)> Report;
    // Opens the authorization URL in a browser; false when that failed (the
    // flow then still waits: the person may open the URL from the report).
    std::function<bool(const std::string& Url)> OpenBrowser;
    // The device flow's code, once, before polling begins.
    std::function<void(const TDeviceCode& Code)> ShowDeviceCode;
};

struct TOAuthLimits {
    int ListenerTimeoutMs = 5 * 60 * 1000; // the browser flow waits this long for the redirect
    int HttpTimeoutMs = 30000; // each request to the provider
    size_t MaxResponse = 64 * 1024; // token, device and metadata answers
    std::string RedirectPath = "/brieflotse";
    // How long one of the provider's seconds lasts in the device flow
    // (interval, slow_down, expires_in); tests shorten it.
    int SecondMs = 1000;
};

// RFC 8414 metadata of any other provider: {Issuer}/.well-known/
// oauth-authorization-server, then openid-configuration. The answer's
// "issuer" must be Issuer. Scope stays empty: the caller sets it.
struct TDiscoveredEndpoints {
    bool Ok = false;
    TOAuthEndpoints Endpoints;
    std::string Problem; // German
};
TDiscoveredEndpoints DiscoverEndpoints(const std::string& Issuer, const std::atomic<bool>& Cancel,
    const TOAuthCallbacks& Callbacks = {}, const TOAuthLimits& Limits = {});

// Authorization code flow with PKCE: listener on 127.0.0.1, OpenBrowser(url),
// wait for the redirect, exchange the code.
TOAuthResult SignInWithBrowser(const TOAuthClient& Client, const TOAuthCallbacks& Callbacks,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits = {});

// Device authorization grant: ShowDeviceCode, then poll the token endpoint.
TOAuthResult SignInWithDevice(const TOAuthClient& Client, const TOAuthCallbacks& Callbacks,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits = {});

// grant_type=refresh_token. A refusal (invalid_grant ...) gives SignInAgain.
// The new token keeps the old refresh token when the answer has none.
TOAuthResult RefreshAccessToken(const TOAuthClient& Client, const std::string& RefreshToken,
    const TOAuthCallbacks& Callbacks, const std::atomic<bool>& Cancel, const TOAuthLimits& Limits = {});

// Tokens per (issuer, client ID, user) for the program's run; thread-safe.
// The keyring (window side) keeps the refresh token across runs: Put it back
// with an empty access token.
class TOAuthTokenStore {
public:
    // An access token that runs out within this margin counts as expired.
    static constexpr std::chrono::seconds kExpiryMargin { 60 };

    void Put(const TOAuthClient& Client, const TOAuthToken& Token);
    std::optional<TOAuthToken> Find(const TOAuthClient& Client) const;
    void Forget(const TOAuthClient& Client);

    // Ok with a usable access token: the stored one while valid, otherwise
    // one refresh (stored on success). SignInAgain when nothing is stored,
    // there is no refresh token or the refresh was refused (then forgotten).
    TOAuthResult FreshAccessToken(const TOAuthClient& Client, const TOAuthCallbacks& Callbacks,
        const std::atomic<bool>& Cancel, const TOAuthLimits& Limits = {});

private:
    using TKey = std::tuple<std::string, std::string, std::string>;
    static TKey KeyOf(const TOAuthClient& Client);

    mutable std::mutex FMutex;
    // One refresh at a time: providers that rotate refresh tokens refuse the
    // second use of one, which would end a sign-in that just succeeded.
    std::mutex FRefreshMutex;
    std::map<TKey, TOAuthToken> FTokens;
};
