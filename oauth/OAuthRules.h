#pragma once

// The pure parts of the OAuth2 flows: PKCE, URLs and forms, the provider's
// answers read into plain values, and German texts for the provider's error
// codes. No I/O; tested as tables.

#include <chrono>
#include <map>
#include <string>

#include "oauth/OAuth.h"

// RFC 7636: S256 challenge of a verifier, base64url without padding.
std::string PkceChallenge(const std::string& Verifier);
// A verifier of 64 unreserved characters from the system's CSPRNG.
std::string NewPkceVerifier();
// For state: 16 random bytes, base64url.
std::string NewRandomToken();
std::string Base64Url(const std::string& Bytes);

// Percent-encoding of everything but the unreserved characters (RFC 3986).
std::string UrlEncode(const std::string& Text);
// Form body or query string: key=value pairs joined with '&'.
std::string FormEncode(const std::map<std::string, std::string>& Fields);
// A query string ("a=1&b=%20") into its fields; '+' counts as blank. Later
// repetitions of a name are dropped: one value per name is all a flow needs.
std::map<std::string, std::string> ParseQuery(const std::string& Query);

// The browser's URL: response_type=code, client_id, redirect_uri, scope,
// state, code_challenge (S256) and login_hint when User is not empty.
std::string AuthorizationUrl(
    const TOAuthClient& Client, const std::string& RedirectUri, const std::string& State, const std::string& Challenge);

// The host of an http(s) URL, without brackets and port; "" when malformed.
std::string UrlHost(const std::string& Url);
bool IsLoopbackHost(const std::string& Host); // 127.0.0.1, ::1, localhost
// HTTPS, or plain HTTP to a loopback host; Problem says why not.
bool UrlAllowed(const std::string& Url, std::string& Problem);

// RFC 6749 section 5.2 error codes (and RFC 8628's) in German, with the
// provider's error_description (cleaned, shortened) appended.
std::string OAuthErrorText(const std::string& Error, const std::string& Description);

// A token endpoint's answer. Error is the provider's error code; Problem the
// German text for a malformed answer or an error.
struct TTokenAnswer {
    bool Ok = false;
    TOAuthToken Token;
    std::string Error;
    std::string Problem;
};
TTokenAnswer ReadTokenAnswer(const std::string& Body, std::chrono::system_clock::time_point Now);

// A device endpoint's answer (RFC 8628 section 3.2).
struct TDeviceAnswer {
    bool Ok = false;
    std::string DeviceCode;
    TDeviceCode Shown;
    std::string Problem;
};
TDeviceAnswer ReadDeviceAnswer(const std::string& Body);

// RFC 8414 metadata; the issuer in it must be Issuer.
TDiscoveredEndpoints ReadMetadata(const std::string& Body, const std::string& Issuer);
