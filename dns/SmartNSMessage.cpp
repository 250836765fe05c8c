// DNS message objects and codec (see SmartNSMessage.h).
#include "dns/SmartNSMessage.h"

#include "text/AsciiText.h"

#include <algorithm>
#include <chrono>
#include <random>

namespace {

// Real names are at most 253 characters; the cap only stops hostile input from
// building huge texts out of many backward pointers.
constexpr size_t kMaxNameText = 1024;
// Limits of a name on the wire: each label, and the whole name as text
// (its encoded form is two octets longer: first length byte and the root).
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxName = 253;
// Compression pointers count from the DNS message, which follows the prefix.
constexpr int32_t kMessageStart = 2;

void Fail(TSmartNSReader& P)
{
    P.Failed = true;
    P.Pos = P.Length;
}

bool CanRead(TSmartNSReader& P, int32_t Count)
{
    if (P.Failed || P.Pos < 0 || Count > P.Length - P.Pos) {
        Fail(P);
        return false;
    }
    return true;
}

uint16_t RandomID()
{
    std::mt19937 Generator(
        static_cast<std::mt19937::result_type>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    return static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 65535)(Generator));
}

std::string WithoutRootDot(const std::string& Name)
{
    if (!Name.empty() && Name.back() == '.')
        return Name.substr(0, Name.size() - 1);
    return Name;
}

// Octets of the name on the wire, for names that pass CheckName.
int32_t EncodedSize(const std::string& Name)
{
    return static_cast<int32_t>(WithoutRootDot(Name).size()) + 2;
}

} // namespace

// ---- codec ----

void PutByte(TSmartNSWriter& P, uint8_t Value)
{
    if (P.Pos < 0 || P.Pos >= P.Capacity) {
        P.Overflow = true;
        return;
    }
    P.Buffer[P.Pos++] = Value;
}

void PutWord(TSmartNSWriter& P, uint16_t Value)
{
    PutByte(P, static_cast<uint8_t>(Value >> 8));
    PutByte(P, static_cast<uint8_t>(Value & 0xFF));
}

TSmartNSNameFault CheckName(const std::string& Name)
{
    const std::string Text = WithoutRootDot(Name);
    size_t Start = 0;
    for (;;) {
        const size_t Dot = Text.find('.', Start);
        const size_t Length = (Dot == std::string::npos ? Text.size() : Dot) - Start;
        if (Length == 0)
            return TSmartNSNameFault::EmptyLabel;
        if (Length > kMaxLabel)
            return TSmartNSNameFault::LongLabel;
        if (Dot == std::string::npos)
            break;
        Start = Dot + 1;
    }
    return Text.size() > kMaxName ? TSmartNSNameFault::LongName : TSmartNSNameFault::None;
}

void PutLabel(TSmartNSWriter& P, const std::string& Text)
{
    if (Text.empty() || Text.size() > kMaxLabel) {
        P.Refused = true;
        return;
    }
    PutByte(P, static_cast<uint8_t>(Text.size()));
    for (char Char : Text) {
        if (P.Overflow)
            return;
        PutByte(P, static_cast<uint8_t>(Char));
    }
}

void PutName(TSmartNSWriter& P, const std::string& Name)
{
    // Checked whole first: a refused name leaves no part of it behind.
    if (CheckName(Name) != TSmartNSNameFault::None) {
        P.Refused = true;
        return;
    }
    const std::string Text = WithoutRootDot(Name);
    size_t Start = 0;
    for (size_t Dot = Text.find('.'); Dot != std::string::npos; Dot = Text.find('.', Start)) {
        PutLabel(P, Text.substr(Start, Dot - Start));
        Start = Dot + 1;
    }
    PutLabel(P, Text.substr(Start));
    PutByte(P, 0);
}

uint8_t GetByte(TSmartNSReader& P)
{
    if (!CanRead(P, 1))
        return 0;
    return P.Message[P.Pos++];
}

uint16_t GetWord(TSmartNSReader& P)
{
    if (!CanRead(P, 2))
        return 0;
    uint16_t Value = static_cast<uint16_t>((P.Message[P.Pos] << 8) | P.Message[P.Pos + 1]);
    P.Pos += 2;
    return Value;
}

int32_t GetLong(TSmartNSReader& P)
{
    if (!CanRead(P, 4))
        return 0;
    uint32_t High = GetWord(P);
    uint32_t Low = GetWord(P);
    return static_cast<int32_t>((High << 16) | Low);
}

std::string GetLabel(TSmartNSReader& P)
{
    if (!CanRead(P, 1))
        return std::string();
    int32_t Count = P.Message[P.Pos];
    if (!CanRead(P, 1 + Count))
        return std::string();
    std::string Text(reinterpret_cast<const char*>(P.Message + P.Pos + 1), static_cast<size_t>(Count));
    P.Pos += 1 + Count;
    return Text;
}

std::string GetName(TSmartNSReader& P)
{
    std::string Name;
    if (P.Failed)
        return Name;
    // Walk a copy; P itself stops behind the first pointer (or the closing zero).
    TSmartNSReader Walk = P;
    int32_t SegmentStart = Walk.Pos;
    bool Jumped = false;
    for (;;) {
        if (!CanRead(Walk, 1)) {
            Fail(P);
            return std::string();
        }
        uint8_t LabelByte = Walk.Message[Walk.Pos];
        if (LabelByte == 0) {
            ++Walk.Pos;
            break;
        }
        if (LabelByte >= 192) {
            uint16_t Pointer = GetWord(Walk);
            if (Walk.Failed) {
                Fail(P);
                return std::string();
            }
            if (!Jumped)
                P.Pos = Walk.Pos;
            Jumped = true;
            int32_t Target = kMessageStart + (Pointer & 0x3FFF);
            // Only backwards, before this part of the name: no chain can loop.
            if (Target >= SegmentStart) {
                Fail(P);
                return std::string();
            }
            Walk.Pos = SegmentStart = Target;
            continue;
        }
        Name += GetLabel(Walk);
        if (Walk.Failed || Name.size() > kMaxNameText) {
            Fail(P);
            return std::string();
        }
        if (Walk.Pos < Walk.Length && Walk.Message[Walk.Pos] != 0)
            Name += '.';
    }
    if (!Jumped)
        P.Pos = Walk.Pos;
    return Name;
}

// ---- tables ----

const TSmartNSTypeProfile TypeProfiles[10] = {
    { 1, "A" },
    { 2, "NS" },
    { 5, "CNAME" },
    { 6, "SOA" },
    { 12, "PTR" },
    { 13, "HINFO" },
    { 15, "MX" },
    { 16, "TXT" },
    { 33, "SRV" },
    { 255, "*" },
};

const TSmartNSClassProfile ClassProfiles[5] = {
    { 1, "IN" },
    { 2, "CS" },
    { 3, "CH" },
    { 4, "HS" },
    { 255, "*" },
};

std::string TypeToText(uint16_t Code)
{
    std::string Result = "?";
    for (const auto& Row : TypeProfiles) {
        if (Row.Code == Code)
            Result = Row.Name;
    }
    return Result;
}

std::string ClassToText(uint16_t Code)
{
    std::string Result = "?";
    for (const auto& Row : ClassProfiles) {
        if (Row.Code == Code)
            Result = Row.Name;
    }
    return Result;
}

uint16_t TextToType(const std::string& Text)
{
    const std::string Upper = AsciiUpper(Text);
    uint16_t Result = 0;
    for (const auto& Row : TypeProfiles) {
        if (Upper == Row.Name)
            Result = Row.Code;
    }
    return Result;
}

uint16_t TextToClass(const std::string& Text)
{
    const std::string Upper = AsciiUpper(Text);
    uint16_t Result = 0;
    for (const auto& Row : ClassProfiles) {
        if (Upper == Row.Name)
            Result = Row.Code;
    }
    return Result;
}

// ---- header ----

TSmartNSHeader::TSmartNSHeader(TSmartNSOwner* Owner)
    : FOwner(Owner)
{
    Clear(true);
    SetRD(true);
}

void TSmartNSHeader::Changed()
{
    if (FOwner)
        FOwner->SetSync(false);
}

void TSmartNSHeader::Clear(bool NewID)
{
    FOffset = 2;
    FSize = 12;
    if (NewID)
        FID = RandomID();
    QR = false;
    Opcode = 0;
    AA = false;
    TC = false;
    RA = false;
    RCODE = 0;
    QDCOUNT = 1;
    ANCOUNT = 0;
    NSCOUNT = 0;
    ARCOUNT = 0;
    Changed();
}

void TSmartNSHeader::Assign(const TSmartNSHeader& Source)
{
    if (&Source != this) {
        FOffset = Source.FOffset;
        FSize = Source.FSize;
        FID = Source.FID;
        QR = Source.QR;
        Opcode = Source.Opcode;
        AA = Source.AA;
        TC = Source.TC;
        FRD = Source.FRD;
        RA = Source.RA;
        RCODE = Source.RCODE;
        QDCOUNT = Source.QDCOUNT;
        ANCOUNT = Source.ANCOUNT;
        NSCOUNT = Source.NSCOUNT;
        ARCOUNT = Source.ARCOUNT;
    }
    Changed();
}

void TSmartNSHeader::SetID(uint16_t Value)
{
    if (Value == FID)
        return;
    FID = Value;
    Changed();
}

void TSmartNSHeader::SetRD(bool Value)
{
    if (Value == FRD)
        return;
    FRD = Value;
    Changed();
}

void TSmartNSHeader::Encode(TSmartNSWriter& P) const
{
    const uint16_t Flags = static_cast<uint16_t>((QR ? 0x8000 : 0) | ((Opcode & 15) << 11) | (AA ? 0x0400 : 0)
        | (TC ? 0x0200 : 0) | (FRD ? 0x0100 : 0) | (RA ? 0x0080 : 0) | (RCODE & 15));
    PutWord(P, FID);
    PutWord(P, Flags);
    PutWord(P, QDCOUNT);
    PutWord(P, ANCOUNT);
    PutWord(P, NSCOUNT);
    PutWord(P, ARCOUNT);
}

bool TSmartNSHeader::Decode(TSmartNSReader& P)
{
    FOffset = P.Pos;
    FID = GetWord(P);
    const uint16_t Flags = GetWord(P);
    QDCOUNT = GetWord(P);
    ANCOUNT = GetWord(P);
    NSCOUNT = GetWord(P);
    ARCOUNT = GetWord(P);
    QR = (Flags & 0x8000) != 0;
    Opcode = static_cast<uint8_t>((Flags >> 11) & 15);
    AA = (Flags & 0x0400) != 0;
    TC = (Flags & 0x0200) != 0;
    FRD = (Flags & 0x0100) != 0;
    RA = (Flags & 0x0080) != 0;
    RCODE = static_cast<uint8_t>(Flags & 15);
    FSize = P.Pos - FOffset;
    return !P.Failed;
}

// ---- question ----

TSmartNSQuestion::TSmartNSQuestion(TSmartNSOwner* Owner)
    : FOwner(Owner)
{
    Clear();
}

void TSmartNSQuestion::Changed()
{
    if (FOwner)
        FOwner->SetSync(false);
}

void TSmartNSQuestion::Clear()
{
    FOffset = 14;
    FSize = EncodedSize(FQName) + 4;
    if (TextToType(FQType) == 0)
        FQType = "*";
    if (TextToClass(FQClass) == 0)
        FQClass = "*";
    Changed();
}

void TSmartNSQuestion::Assign(const TSmartNSQuestion& Source)
{
    if (&Source != this) {
        FOffset = Source.FOffset;
        FSize = Source.FSize;
        FQName = Source.FQName;
        FQType = Source.FQType;
        FQClass = Source.FQClass;
    }
    Changed();
}

void TSmartNSQuestion::SetQName(const std::string& Value)
{
    if (Value == FQName)
        return;
    FQName = Value;
    FSize = EncodedSize(FQName) + 4;
    Changed();
}

void TSmartNSQuestion::SetQType(const std::string& Value)
{
    if (Value == FQType)
        return;
    FQType = Value;
    Changed();
}

void TSmartNSQuestion::SetQClass(const std::string& Value)
{
    if (Value == FQClass)
        return;
    FQClass = Value;
    Changed();
}

void TSmartNSQuestion::Encode(TSmartNSWriter& P) const
{
    PutName(P, FQName);
    PutWord(P, TextToType(FQType));
    PutWord(P, TextToClass(FQClass));
}

bool TSmartNSQuestion::Decode(TSmartNSReader& P)
{
    FOffset = P.Pos;
    FQName = GetName(P);
    FQType = TypeToText(GetWord(P));
    FQClass = ClassToText(GetWord(P));
    FSize = P.Pos - FOffset;
    return !P.Failed;
}

// ---- records ----

TSmartNSData::TSmartNSData(const uint8_t* Message, int32_t MessageLength, int32_t RData, uint16_t RDLength)
    : FMessage(Message)
    , FMessageLength(MessageLength)
    , FRData(RData)
    , FRDLength(RDLength)
{
}

TSmartNSReader TSmartNSData::DataReader() const
{
    // A name in the data may point back anywhere into the message, but its
    // own bytes must lie within this record's data.
    TSmartNSReader P;
    P.Message = FMessage;
    P.Length = static_cast<int32_t>(std::min<int64_t>(FMessageLength, static_cast<int64_t>(FRData) + FRDLength));
    P.Pos = FRData;
    return P;
}

bool TSmartNSData::GetMX(TSmartNSMX& MX) const
{
    MX = TSmartNSMX();
    if (!FMessage)
        return false;
    TSmartNSReader P = DataReader();
    const uint16_t Preference = GetWord(P);
    std::string Exchange = GetName(P);
    // A cut name would be another host: too long means unreadable.
    if (P.Failed || Exchange.size() > kMaxName)
        return false;
    MX.Preference = Preference;
    MX.Exchange = Exchange;
    return true;
}

bool TSmartNSData::GetSRV(TSmartNSSRV& SRV) const
{
    SRV = TSmartNSSRV();
    if (!FMessage)
        return false;
    TSmartNSReader P = DataReader();
    TSmartNSSRV Read;
    Read.Priority = GetWord(P);
    Read.Weight = GetWord(P);
    Read.Port = GetWord(P);
    Read.Target = GetName(P);
    // As for MX: a cut or overlong name is no target at all.
    if (P.Failed || Read.Target.size() > kMaxName)
        return false;
    SRV = Read;
    return true;
}

bool TSmartNSRecord::Decode(TSmartNSReader& P)
{
    Offset = P.Pos;
    RRName = GetName(P);
    RRType = TypeToText(GetWord(P));
    RRClass = ClassToText(GetWord(P));
    TTL = GetLong(P);
    RDLength = GetWord(P);
    if (P.Failed || RDLength > P.Length - P.Pos) {
        P.Failed = true;
        P.Pos = P.Length;
        return false;
    }
    Data = TSmartNSData(P.Message, P.Length, P.Pos, RDLength);
    P.Pos += RDLength;
    Size = P.Pos - Offset;
    return true;
}

bool TSmartNSRecords::AddFromMessage(TSmartNSReader& P)
{
    auto Record = std::make_unique<TSmartNSRecord>();
    if (!Record->Decode(P))
        return false;
    FItems.push_back(std::move(Record));
    return true;
}

bool DecodeResponse(TSmartNSReader& P, TSmartNSHeader& Header, TSmartNSQuestion& Question, TSmartNSRecords& Answers,
    TSmartNSRecords& Authorities, TSmartNSRecords& Additionals)
{
    Header.Decode(P);
    for (int Index = 0; Index < Header.QDCOUNT && !P.Failed; ++Index)
        Question.Decode(P);
    Answers.Clear();
    for (int Index = 0; Index < Header.ANCOUNT && !P.Failed; ++Index)
        Answers.AddFromMessage(P);
    Authorities.Clear();
    for (int Index = 0; Index < Header.NSCOUNT && !P.Failed; ++Index)
        Authorities.AddFromMessage(P);
    Additionals.Clear();
    for (int Index = 0; Index < Header.ARCOUNT && !P.Failed; ++Index)
        Additionals.AddFromMessage(P);
    return !P.Failed;
}
