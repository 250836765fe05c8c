#pragma once

// TSmartNSLookup: one DNS query over TCP (RFC 1035, 4.2.2) to the machine's
// first name server, decoded into the message objects of SmartNSMessage.h.
// DNS response codes are reported through the inherited OnError/LastError with
// the origin "NSLookup".

#include "dns/SmartNSMessage.h"
#include "net/SmartWinsock.h"

#include <functional>
#include <memory>
#include <string>

class TSmartNSLookup;

using TSmartNSSyncEvent = std::function<void(TSmartNSLookup* Sender, bool Sync)>;

class TSmartNSLookup : public TSmartWinsock, public TSmartNSOwner {
public:
    static constexpr int32_t BufferSize = 32768;
    // The look-up's own codes, below the socket's (kWinsockFirstCode and up):
    // GetErrorInfo tells the two apart by that.
    // Our own code for a response whose contents run past its announced length.
    static constexpr int32_t ErrorMalformed = 9000;
    // Our own code for a question name that cannot be encoded (see CheckName).
    static constexpr int32_t ErrorBadName = 9001;
    // Our own codes for a peer that is no name server: it closed before a
    // whole response arrived, or what it sent is no DNS response.
    static constexpr int32_t ErrorClosed = 9002;
    static constexpr int32_t ErrorNotDNS = 9003;

    TSmartNSLookup();
    ~TSmartNSLookup() override;

    TSmartNSHeader& Header() { return *FHeader; }
    void SetHeader(const TSmartNSHeader& Value) { FHeader->Assign(Value); }
    TSmartNSQuestion& Question() { return *FQuestion; }
    void SetQuestion(const TSmartNSQuestion& Value) { FQuestion->Assign(Value); }
    const TSmartNSRecords& Answers() const { return *FAnswers; }
    const TSmartNSRecords& Authorities() const { return *FAuthorities; }
    const TSmartNSRecords& Additionals() const { return *FAdditionals; }

    bool Sync() const { return FSync; }
    void SetSync(bool Value) override;
    TSmartNSSyncEvent OnSyncChange;

    void Reset(bool NewID);
    // Connect, one query, one response, disconnect, all within one Timeout.
    // True when the response arrived whole and its RCODE is 0. A name that
    // cannot be encoded is reported before any connection. A Cancel() from
    // OnWaiting ends it at once (kWinsockCancelled), the connection closed.
    bool Lookup();
    int32_t SendQuery();
    // The whole response within one Timeout (within Lookup's, when called
    // there), however it is cut into pieces.
    int32_t ReceiveAnswer();

    static std::string RcodeText(int32_t Code);
    void GetErrorInfo(std::string& Origin, int32_t& Code, std::string& Description) override;

    // BRIEFLOTSE_NAMESERVER ("host" or "host:port") when set; otherwise the
    // first "nameserver" of the resolver configuration, up to a blank, a
    // comment ("#", ";") or a comma; empty when none.
    static std::string GetNameServer();
    // Tests point this at their own file; empty restores /etc/resolv.conf.
    static void SetResolverConfig(const std::string& Path);

    // The ID of a query sent and not yet answered, -1 when none (shared by
    // every instance on the calling thread: the finder asks from several).
    // Defined beside the variable: an inline reader of a thread_local from
    // another file goes through a TLS wrapper that UBSan takes for a null load.
    static int32_t PendingID();

    const uint8_t* QueryBuffer() const { return FQueryBuffer.get(); }
    int32_t QueryLength() const { return FQueryLength; }
    const uint8_t* AnswerBuffer() const { return FAnswerBuffer.get(); }
    int32_t AnswerLength() const { return FAnswerLength; }

protected:
    std::string GetDefaultHost() override;
    std::string GetDefaultPort() override;

private:
    bool BuildQuery();
    bool ParseAnswer(int32_t MessageEnd);

    static thread_local int32_t FPendingID;

    // Set while Lookup's one time limit is in force.
    bool FInLookup = false;

    // Declared before the message objects: they report to SetSync while built.
    bool FSync = false;
    std::unique_ptr<uint8_t[]> FQueryBuffer;
    int32_t FQueryLength = 0;
    std::unique_ptr<uint8_t[]> FAnswerBuffer;
    int32_t FAnswerLength = 0;
    std::unique_ptr<TSmartNSHeader> FHeader;
    std::unique_ptr<TSmartNSQuestion> FQuestion;
    std::unique_ptr<TSmartNSRecords> FAnswers;
    std::unique_ptr<TSmartNSRecords> FAuthorities;
    std::unique_ptr<TSmartNSRecords> FAdditionals;
};
