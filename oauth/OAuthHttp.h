#pragma once

// One request to an OAuth provider through libcurl: GET, or POST of a form.
// HTTPS only, plain HTTP to loopback hosts alone (the tests); redirects are
// refused, not followed (a token endpoint that redirects is misconfigured or
// hostile); answers over the limit are cut off in the write callback; Cancel
// is checked in the progress callback.

#include <atomic>
#include <map>
#include <string>

#include "oauth/OAuth.h"

struct THttpAnswer {
    bool Ok = false; // a complete answer came; any status but 3xx
    bool Cancelled = false;
    long Status = 0;
    std::string Body;
    std::string Problem; // German, when not Ok
};

// Form empty: GET; otherwise POST of the form.
THttpAnswer HttpExchange(const std::string& Url, const std::map<std::string, std::string>& Form,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits);
