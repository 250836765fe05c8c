#include "oauth/OAuthHttp.h"

#include <cstdlib>
#include <mutex>

#include <curl/curl.h>

#include "auth/AuthCrypto.h"
#include "oauth/OAuthRules.h"

namespace {

struct TTransfer {
    std::string* Body;
    size_t Max;
    bool TooLarge = false;
    const std::atomic<bool>* Cancel;
};

size_t Collect(char* Data, size_t Size, size_t Count, void* User)
{
    auto* Transfer = static_cast<TTransfer*>(User);
    const size_t Bytes = Size * Count;
    if (Transfer->Body->size() + Bytes > Transfer->Max) {
        Transfer->TooLarge = true;
        return 0;
    }
    Transfer->Body->append(Data, Bytes);
    return Bytes;
}

int Progress(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<TTransfer*>(User)->Cancel->load() ? 1 : 0;
}

std::string Explain(CURLcode Code, const char* Buffer, const TTransfer& Transfer, const TOAuthLimits& Limits)
{
    const std::string Said = Buffer[0] ? Buffer : curl_easy_strerror(Code);
    switch (Code) {
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED:
        if (Transfer.TooLarge || Code == CURLE_FILESIZE_EXCEEDED)
            return "Antwort des Anbieters größer als " + std::to_string(Limits.MaxResponse / 1024)
                + " KB: abgebrochen.";
        break;
    case CURLE_OPERATION_TIMEDOUT:
        return "Keine vollständige Antwort des Anbieters innerhalb von " + std::to_string(Limits.HttpTimeoutMs / 1000)
            + " s.";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "Der Anbieter ist nicht auffindbar (Host unbekannt).";
    case CURLE_COULDNT_CONNECT:
        return "Der Anbieter ist nicht erreichbar (" + Said + ").";
    case CURLE_PEER_FAILED_VERIFICATION:
        return "Zertifikat des Anbieters nicht vertrauenswürdig: " + Said;
    default:
        break;
    }
    return "Abruf beim Anbieter gescheitert: " + Said;
}

} // namespace

THttpAnswer HttpExchange(const std::string& Url, const std::map<std::string, std::string>& Form,
    const std::atomic<bool>& Cancel, const TOAuthLimits& Limits)
{
    static std::once_flag Once;
    std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    THttpAnswer Answer;
    if (!UrlAllowed(Url, Answer.Problem))
        return Answer;
    CURL* Easy = curl_easy_init();
    char Buffer[CURL_ERROR_SIZE] = {};
    TTransfer Transfer { &Answer.Body, Limits.MaxResponse, false, &Cancel };
    curl_slist* Headers = curl_slist_append(nullptr, "Accept: application/json");
    std::string Fields = FormEncode(Form);
    curl_easy_setopt(Easy, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(Easy, CURLOPT_HTTPHEADER, Headers);
    if (!Form.empty())
        curl_easy_setopt(Easy, CURLOPT_POSTFIELDS, Fields.c_str());
    curl_easy_setopt(Easy, CURLOPT_ERRORBUFFER, Buffer);
    curl_easy_setopt(Easy, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(Easy, CURLOPT_WRITEDATA, &Transfer);
    curl_easy_setopt(Easy, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(Easy, CURLOPT_XFERINFODATA, &Transfer);
    curl_easy_setopt(Easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(Easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(Limits.MaxResponse));
    curl_easy_setopt(Easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(Easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(Easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(Easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(Easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(Easy, CURLOPT_TIMEOUT_MS, static_cast<long>(Limits.HttpTimeoutMs));
    curl_easy_setopt(Easy, CURLOPT_USERAGENT, "Brieflotse");
    // curl with OpenSSL reads its own bundle; the variables OpenSSL honours count here too.
    if (const char* File = std::getenv("SSL_CERT_FILE"))
        curl_easy_setopt(Easy, CURLOPT_CAINFO, File);
    if (const char* Folder = std::getenv("SSL_CERT_DIR"))
        curl_easy_setopt(Easy, CURLOPT_CAPATH, Folder);

    const CURLcode Code = curl_easy_perform(Easy);
    if (Code == CURLE_ABORTED_BY_CALLBACK || Cancel.load()) {
        Answer.Cancelled = true;
        Answer.Problem = "Anmeldung abgebrochen.";
    } else if (Code != CURLE_OK) {
        Answer.Problem = Explain(Code, Buffer, Transfer, Limits);
    } else {
        curl_easy_getinfo(Easy, CURLINFO_RESPONSE_CODE, &Answer.Status);
        char* Location = nullptr;
        curl_easy_getinfo(Easy, CURLINFO_REDIRECT_URL, &Location);
        if (Answer.Status >= 300 && Answer.Status < 400) {
            const std::string Host = Location ? UrlHost(Location) : std::string();
            Answer.Problem = "Der Anbieter leitet weiter (HTTP " + std::to_string(Answer.Status) + ")"
                + (Host.empty() ? std::string() : " nach " + Host) + "; Weiterleitungen werden nicht befolgt.";
        } else
            Answer.Ok = true;
    }
    curl_slist_free_all(Headers);
    curl_easy_cleanup(Easy);
    Forget(Fields);
    if (!Answer.Ok)
        Answer.Body.clear();
    return Answer;
}
