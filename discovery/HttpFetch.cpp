#include "discovery/HttpFetch.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <vector>

#include <curl/curl.h>

#include "discovery/PinnedNames.h"
#include "net/HostLookup.h"
#include "net/PeerAddress.h"
#include "text/AsciiText.h"

namespace {

using TClock = std::chrono::steady_clock;

struct TSink {
    std::string* Body;
    size_t Max;
    bool TooLarge = false;
};

size_t Collect(char* Data, size_t Size, size_t Count, void* User)
{
    auto* Sink = static_cast<TSink*>(User);
    const size_t Bytes = Size * Count;
    if (Sink->Body->size() + Bytes > Sink->Max) {
        Sink->TooLarge = true;
        return 0;
    }
    Sink->Body->append(Data, Bytes);
    return Bytes;
}

void InitOnce()
{
    static std::once_flag Once;
    std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TList {
    curl_slist* Items = nullptr;
    ~TList() { curl_slist_free_all(Items); }
    void Add(const std::string& Text) { Items = curl_slist_append(Items, Text.c_str()); }
};

std::string Bracketed(const std::string& Address)
{
    return Address.find(':') != std::string::npos ? "[" + Address + "]" : Address;
}

// The pins as curl takes them: --resolve for the address, --connect-to for a port of its own.
void Pin(CURL* Easy, TList& Resolve, TList& ConnectTo)
{
    for (const TPinnedName& Pin : PinnedNames()) {
        const std::string Name = Pin.Host + ":" + std::to_string(Pin.Port) + ":";
        if (Pin.ConnectPort != 0)
            ConnectTo.Add(Name + Bracketed(Pin.Address) + ":" + std::to_string(Pin.ConnectPort));
        else
            Resolve.Add(Name + Pin.Address);
    }
    curl_easy_setopt(Easy, CURLOPT_RESOLVE, Resolve.Items);
    curl_easy_setopt(Easy, CURLOPT_CONNECT_TO, ConnectTo.Items);
}

bool IsHttps(const std::string& Url)
{
    return StartsWithIgnoringAsciiCase(Url, "https://");
}

enum class TResolved { Ready, NotFound, Cancelled, TimedOut };

// curl's own resolver cannot be left behind: a stop during its look-up waits
// until getaddrinfo() gives up (five seconds and more on a dead name server).
// The name is looked up here on an abandonable worker instead, and curl gets
// the addresses as a --resolve entry. Addresses and pinned names pass as they are.
TResolved ResolveFirst(
    const std::string& Url, CURL* Easy, TList& Resolve, const std::atomic<bool>& Cancel, TClock::time_point Until)
{
    CURLU* Parts = curl_url();
    char* HostPart = nullptr;
    char* PortPart = nullptr;
    std::string Host;
    std::string Port;
    if (curl_url_set(Parts, CURLUPART_URL, Url.c_str(), 0) == CURLUE_OK
        && curl_url_get(Parts, CURLUPART_HOST, &HostPart, 0) == CURLUE_OK
        && curl_url_get(Parts, CURLUPART_PORT, &PortPart, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        Host = HostPart;
        Port = PortPart;
    }
    curl_free(HostPart);
    curl_free(PortPart);
    curl_url_cleanup(Parts);
    TPeerAddress Numeric;
    const std::string Bare = Host.size() > 2 && Host.front() == '[' ? Host.substr(1, Host.size() - 2) : Host;
    if (Host.empty() || ParseNumericAddress(Bare, Numeric)
        || FindPin(PinnedNames(), Host, static_cast<uint16_t>(std::atoi(Port.c_str()))))
        return TResolved::Ready; // curl sees the problem, or needs no look-up
    THostLookup Lookup(Host);
    while (!Lookup.Finished() && !Cancel.load() && TClock::now() < Until) {
        pollfd Watch { Lookup.ReadyHandle(), POLLIN, 0 };
        ::poll(&Watch, 1, 50);
    }
    if (!Lookup.Finished())
        return Cancel.load() ? TResolved::Cancelled : TResolved::TimedOut;
    std::string Entry;
    if (Lookup.ErrorCode() == 0)
        for (const TPeerAddress& Address : Lookup.Addresses()) {
            const std::string Text = NumericAddress(Address);
            if (!Text.empty())
                Entry += (Entry.empty() ? "" : ",") + Bracketed(Text);
        }
    if (Entry.empty())
        return TResolved::NotFound;
    Resolve.Add(Host + ":" + Port + ":" + Entry);
    curl_easy_setopt(Easy, CURLOPT_RESOLVE, Resolve.Items);
    return TResolved::Ready;
}

void Explain(CURLcode Code, const char* Buffer, const TSink& Sink, int TotalMs, TFetchResult& Result)
{
    const std::string Said = Buffer[0] ? Buffer : curl_easy_strerror(Code);
    Result.Outcome = TFetchOutcome::Failed;
    switch (Code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        Result.Outcome = TFetchOutcome::Missing;
        Result.Problem = "Host nicht gefunden.";
        return;
    case CURLE_COULDNT_CONNECT:
        Result.Outcome = TFetchOutcome::Missing;
        Result.Problem = "Kein Web-Server erreichbar (" + Said + ").";
        return;
    case CURLE_OPERATION_TIMEDOUT:
        Result.Problem = "Keine vollständige Antwort innerhalb von "
            + (TotalMs % 1000 == 0 ? std::to_string(TotalMs / 1000) + " s." : std::to_string(TotalMs) + " ms.");
        return;
    case CURLE_PEER_FAILED_VERIFICATION:
        Result.Problem = "Zertifikat nicht vertrauenswürdig: " + Said;
        return;
    case CURLE_SSL_CONNECT_ERROR:
        Result.Problem = "TLS-Aufbau gescheitert: " + Said;
        return;
    case CURLE_FILESIZE_EXCEEDED:
    case CURLE_WRITE_ERROR:
        if (Code == CURLE_FILESIZE_EXCEEDED || Sink.TooLarge) {
            Result.Problem = "Antwort größer als " + std::to_string(Sink.Max / 1024 / 1024) + " MB: abgebrochen.";
            return;
        }
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        Result.Problem = "Nur HTTP und HTTPS werden abgerufen: " + Said;
        return;
    default:
        break;
    }
    Result.Problem = "Abruf gescheitert: " + Said;
}

} // namespace

TFetchResult FetchUrl(const std::string& Url, const std::atomic<bool>& Cancel, const TFetchLimits& Limits)
{
    InitOnce();
    TFetchResult Result;
    const auto Until = TClock::now() + std::chrono::milliseconds(Limits.TotalMs);
    CURL* Easy = curl_easy_init();
    CURLM* Multi = curl_multi_init();
    char Buffer[CURL_ERROR_SIZE] = {};
    TSink Sink { &Result.Body, Limits.MaxBody };
    TList Resolve;
    TList ConnectTo;
    Pin(Easy, Resolve, ConnectTo);
    curl_easy_setopt(Easy, CURLOPT_ERRORBUFFER, Buffer);
    curl_easy_setopt(Easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(Easy, CURLOPT_WRITEDATA, &Sink);
    curl_easy_setopt(Easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(Limits.MaxBody));
    curl_easy_setopt(Easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, one at a time, so that each can be judged.
    curl_easy_setopt(Easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(Easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(Easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(Easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(Easy, CURLOPT_USERAGENT, "Brieflotse");
    // curl with OpenSSL reads its own bundle; the variables OpenSSL honours count here too.
    if (const char* File = std::getenv("SSL_CERT_FILE"))
        curl_easy_setopt(Easy, CURLOPT_CAINFO, File);
    if (const char* Folder = std::getenv("SSL_CERT_DIR"))
        curl_easy_setopt(Easy, CURLOPT_CAPATH, Folder);

    std::string Current = Url;
    for (;;) {
        Result.FinalUrl = Current;
        Result.Body.clear();
        Buffer[0] = 0;
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - TClock::now()).count();
        const TResolved Resolved = ResolveFirst(Current, Easy, Resolve, Cancel, Until);
        if (Resolved == TResolved::Cancelled) {
            Result.Outcome = TFetchOutcome::Cancelled;
            Result.Problem = "Abgebrochen.";
            break;
        }
        if (Resolved != TResolved::Ready) {
            Explain(Resolved == TResolved::NotFound ? CURLE_COULDNT_RESOLVE_HOST : CURLE_OPERATION_TIMEDOUT, Buffer,
                Sink, Limits.TotalMs, Result);
            break;
        }
        curl_easy_setopt(Easy, CURLOPT_URL, Current.c_str());
        curl_easy_setopt(Easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<int64_t>(Left, 1)));
        curl_multi_add_handle(Multi, Easy);
        int Running = 1;
        CURLcode Code = CURLE_OK;
        bool Stopped = false;
        while (Running > 0) {
            curl_multi_perform(Multi, &Running);
            if (Running == 0)
                break;
            if (Cancel.load()) {
                Stopped = true;
                break;
            }
            curl_multi_poll(Multi, nullptr, 0, 50, nullptr);
        }
        int Queued = 0;
        while (CURLMsg* Message = curl_multi_info_read(Multi, &Queued))
            if (Message->msg == CURLMSG_DONE)
                Code = Message->data.result;
        curl_multi_remove_handle(Multi, Easy);
        if (Stopped || Cancel.load()) {
            Result.Outcome = TFetchOutcome::Cancelled;
            Result.Problem = "Abgebrochen.";
            break;
        }
        if (Code != CURLE_OK) {
            Explain(Code, Buffer, Sink, Limits.TotalMs, Result);
            break;
        }
        curl_easy_getinfo(Easy, CURLINFO_RESPONSE_CODE, &Result.Status);
        char* Location = nullptr;
        curl_easy_getinfo(Easy, CURLINFO_REDIRECT_URL, &Location);
        if (Result.Status >= 300 && Result.Status < 400 && Location) {
            const std::string Next = Location;
            if (++Result.Redirects > Limits.MaxRedirects) {
                Result.Outcome = TFetchOutcome::Failed;
                Result.Problem = "Mehr als " + std::to_string(Limits.MaxRedirects)
                    + " Weiterleitungen: abgebrochen (zuletzt nach " + Next + ").";
                break;
            }
            if (IsHttps(Current) && !IsHttps(Next)) {
                Result.Outcome = TFetchOutcome::Failed;
                Result.Problem = "Weiterleitung von HTTPS auf unverschlüsseltes " + Next + " abgelehnt.";
                break;
            }
            Current = Next;
            continue;
        }
        if (Result.Status != 200) {
            Result.Outcome = TFetchOutcome::Missing;
            Result.Problem = "Nicht vorhanden (HTTP " + std::to_string(Result.Status) + ").";
            break;
        }
        Result.Outcome = TFetchOutcome::Ok;
        break;
    }
    curl_multi_cleanup(Multi);
    curl_easy_cleanup(Easy);
    if (Result.Outcome != TFetchOutcome::Ok)
        Result.Body.clear();
    return Result;
}
