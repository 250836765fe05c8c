#pragma once

// DNS messages (RFC 1035) as objects, and the codec that moves them to and
// from a TCP-framed buffer. Every position counts from the start of the buffer,
// length prefix included: the header starts at 2, the question at 14, and a
// compression pointer's offset is added to 2.
//
// Responses come from the network, so every read goes through TSmartNSReader,
// which knows how many bytes were received and never reads past them. Writes go
// through TSmartNSWriter, which never writes past the end of its buffer.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Told when the query header or question changes (the lookup component).
class TSmartNSOwner {
public:
    virtual void SetSync(bool Value) = 0;

protected:
    ~TSmartNSOwner() = default;
};

// Write position over a fixed buffer. Bytes that do not fit are dropped and
// Overflow is set; a name that cannot be encoded writes nothing and sets Refused.
struct TSmartNSWriter {
    uint8_t* Buffer = nullptr;
    int32_t Capacity = 0;
    int32_t Pos = 0;
    bool Overflow = false;
    bool Refused = false;
};

// Read position over received bytes. Message is the buffer start (prefix
// included); Length the bytes that may be read. A read that would leave them
// returns zeros or empty text, sets Failed and moves Pos to Length.
struct TSmartNSReader {
    const uint8_t* Message = nullptr;
    int32_t Length = 0;
    int32_t Pos = 0;
    bool Failed = false;
};

// Why a name cannot go on the wire.
enum class TSmartNSNameFault { None, EmptyLabel, LongLabel, LongName };

// One trailing dot is allowed (it only names the root). The rest must be
// labels of 1 to 63 octets, at most 255 octets encoded (253 characters).
TSmartNSNameFault CheckName(const std::string& Name);

void PutByte(TSmartNSWriter& P, uint8_t Value);
void PutWord(TSmartNSWriter& P, uint16_t Value);
// An empty label or one over 63 octets is refused (its length byte would read
// as the end of the name or as a pointer).
void PutLabel(TSmartNSWriter& P, const std::string& Text);
// A name that fails CheckName is refused whole, never sent changed.
void PutName(TSmartNSWriter& P, const std::string& Name);

uint8_t GetByte(TSmartNSReader& P);
uint16_t GetWord(TSmartNSReader& P);
int32_t GetLong(TSmartNSReader& P);
std::string GetLabel(TSmartNSReader& P);
// Follows compression pointers against P.Message. A pointer must point before
// the part of the name that contains it (so chains always end), and the text is
// capped; a name that breaks either rule, or runs past the data, fails.
std::string GetName(TSmartNSReader& P);

struct TSmartNSTypeProfile {
    uint8_t Code;
    const char* Name;
};
struct TSmartNSClassProfile {
    uint8_t Code;
    const char* Name;
};
extern const TSmartNSTypeProfile TypeProfiles[10];
extern const TSmartNSClassProfile ClassProfiles[5];

std::string TypeToText(uint16_t Code);
std::string ClassToText(uint16_t Code);
uint16_t TextToType(const std::string& Text);
uint16_t TextToClass(const std::string& Text);

class TSmartNSHeader {
public:
    explicit TSmartNSHeader(TSmartNSOwner* Owner);

    void Clear(bool NewID);
    void Assign(const TSmartNSHeader& Source);

    uint16_t ID() const { return FID; }
    void SetID(uint16_t Value);
    bool RD() const { return FRD; }
    void SetRD(bool Value);

    int32_t Offset() const { return FOffset; }
    int32_t Size() const { return FSize; }

    void Encode(TSmartNSWriter& P) const;
    bool Decode(TSmartNSReader& P);

    // Not published: filled by Decode, sent as they are.
    bool QR = false;
    uint8_t Opcode = 0;
    bool AA = false;
    bool TC = false;
    bool RA = false;
    uint8_t RCODE = 0;
    uint16_t QDCOUNT = 1;
    uint16_t ANCOUNT = 0;
    uint16_t NSCOUNT = 0;
    uint16_t ARCOUNT = 0;

private:
    void Changed();

    TSmartNSOwner* FOwner;
    int32_t FOffset = 2;
    int32_t FSize = 12;
    uint16_t FID = 0;
    bool FRD = false;
};

class TSmartNSQuestion {
public:
    explicit TSmartNSQuestion(TSmartNSOwner* Owner);

    void Clear();
    void Assign(const TSmartNSQuestion& Source);

    const std::string& QName() const { return FQName; }
    void SetQName(const std::string& Value);
    const std::string& QType() const { return FQType; }
    void SetQType(const std::string& Value);
    const std::string& QClass() const { return FQClass; }
    void SetQClass(const std::string& Value);

    int32_t Offset() const { return FOffset; }
    int32_t Size() const { return FSize; }

    void Encode(TSmartNSWriter& P) const;
    bool Decode(TSmartNSReader& P);

private:
    void Changed();

    TSmartNSOwner* FOwner;
    int32_t FOffset = 14;
    int32_t FSize = 6;
    std::string FQName;
    std::string FQType;
    std::string FQClass;
};

struct TSmartNSMX {
    uint16_t Preference = 0;
    std::string Exchange;
};

// A service location (RFC 2782): lowest Priority first, Weight shares out
// the servers of one priority. An empty Target (the root) means the service
// is not offered under this name.
struct TSmartNSSRV {
    uint16_t Priority = 0;
    uint16_t Weight = 0;
    uint16_t Port = 0;
    std::string Target;
};

// A record's data, viewed in place in the response buffer: valid only while
// that buffer holds the message it was decoded from.
class TSmartNSData {
public:
    TSmartNSData() = default;
    TSmartNSData(const uint8_t* Message, int32_t MessageLength, int32_t RData, uint16_t RDLength);

    const uint8_t* Message() const { return FMessage; }
    int32_t RData() const { return FRData; }
    uint16_t RDLength() const { return FRDLength; }

    // False, with Preference 0 and an empty Exchange, when the data cannot be
    // read or the name is longer than any real one. True with an empty
    // Exchange is a null MX (the root): the domain takes no mail.
    bool GetMX(TSmartNSMX& MX) const;
    // The same rules for SRV data: false with every field zero and an empty
    // Target when unreadable; true with an empty Target for "." (no service).
    bool GetSRV(TSmartNSSRV& SRV) const;

private:
    // A reader that cannot leave this record's data (nor the message).
    TSmartNSReader DataReader() const;

    const uint8_t* FMessage = nullptr;
    int32_t FMessageLength = 0;
    int32_t FRData = 0;
    uint16_t FRDLength = 0;
};

class TSmartNSRecord {
public:
    // False when the record runs past the received bytes.
    bool Decode(TSmartNSReader& P);

    int32_t Offset = 0;
    int32_t Size = 0;
    std::string RRName;
    std::string RRType;
    std::string RRClass;
    int32_t TTL = 0;
    uint16_t RDLength = 0;
    TSmartNSData Data;
};

class TSmartNSRecords {
public:
    explicit TSmartNSRecords(TSmartNSOwner* Owner = nullptr)
        : FOwner(Owner)
    {
    }

    void Clear() { FItems.clear(); }
    // Decodes one record at P and appends it; a record that does not fit the
    // received bytes is dropped and the result is false.
    bool AddFromMessage(TSmartNSReader& P);
    int Count() const { return static_cast<int>(FItems.size()); }
    const TSmartNSRecord& Items(int Index) const { return *FItems.at(static_cast<size_t>(Index)); }
    TSmartNSOwner* Owner() const { return FOwner; }

private:
    TSmartNSOwner* FOwner;
    std::vector<std::unique_ptr<TSmartNSRecord>> FItems;
};

// Decodes a response from P (at the header): header, QDCOUNT questions (the
// last one stays), then the three record sections. Stops at the first part
// that runs past the data; what was decoded before stays. True when complete.
bool DecodeResponse(TSmartNSReader& P, TSmartNSHeader& Header, TSmartNSQuestion& Question, TSmartNSRecords& Answers,
    TSmartNSRecords& Authorities, TSmartNSRecords& Additionals);
