#pragma once

// One GET of a config file through libcurl, within the finder's limits:
// certificates checked (SSL_CERT_FILE and SSL_CERT_DIR honoured), at most 5
// redirects and none from HTTPS to HTTP, 10 s in all, at most 1 MB of body,
// names pinned by BRIEFLOTSE_RESOLVE. Runs on the caller's thread; a set
// Cancel ends it within one 50 ms slice.

#include <atomic>
#include <string>

enum class TFetchOutcome {
    Ok, // status 200, body read
    Missing, // no such host, no server there, or a status other than 200
    Failed, // everything a hostile or broken server causes: TLS, limits, time
    Cancelled,
};

struct TFetchResult {
    TFetchOutcome Outcome = TFetchOutcome::Failed;
    std::string Body;
    std::string FinalUrl;
    long Status = 0;
    int Redirects = 0;
    std::string Problem; // German, for Missing and Failed
};

struct TFetchLimits {
    int TotalMs = 10000;
    size_t MaxBody = 1024 * 1024;
    int MaxRedirects = 5;
};

TFetchResult FetchUrl(const std::string& Url, const std::atomic<bool>& Cancel, const TFetchLimits& Limits = {});
