#include "transcript/TranscriptFormat.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <istream>
#include <iterator>
#include <ostream>
#include <unistd.h>
#include <utility>
#include <vector>

#include "text/AsciiText.h"
#include "text/JsonWriter.h"

namespace {

const char* const kKindNames[] = { "sent", "received", "note", "tls", "guidance", "omitted" };
const char* const kHeaderType = "brieflotse-transcript";
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kWriteChunk = 1024 * 1024;

std::string Format(const char* Pattern, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* Pattern, ...)
{
    char Buffer[256];
    va_list Arguments;
    va_start(Arguments, Pattern);
    std::vsnprintf(Buffer, sizeof Buffer, Pattern, Arguments);
    va_end(Arguments);
    return Buffer;
}

// One member's value of a flat object. Strings stay undecoded until the key
// says whether they hold bytes or text.
struct TJsonValue {
    enum class TType { String, Number, Bool } Type = TType::String;
    std::string Raw;
    int64_t Number = 0;
    bool Bool = false;
};
using TMembers = std::vector<std::pair<std::string, TJsonValue>>;

bool ReadHex4(const std::string& Raw, size_t At, unsigned& Value)
{
    if (At + 4 > Raw.size())
        return false;
    Value = 0;
    for (size_t Index = At; Index < At + 4; ++Index) {
        const int Digit = AsciiHexValue(Raw[Index]);
        if (Digit < 0)
            return false;
        Value = Value * 16 + static_cast<unsigned>(Digit);
    }
    return true;
}

// The short escapes JSON knows; 0 for none.
char ShortEscape(char C)
{
    switch (C) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '/':
        return '/';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return 0;
    }
}

// A "bytes" string: ASCII only, \u00XX at most, each escape one byte.
bool DecodeBytes(const std::string& Raw, std::string& Out, std::string& Error)
{
    Out.clear();
    Out.reserve(Raw.size());
    for (size_t Index = 0; Index < Raw.size(); ++Index) {
        const unsigned char C = static_cast<unsigned char>(Raw[Index]);
        if (C >= 0x80) {
            Error = Format("Byte 0x%02X roh in \"bytes\" (erlaubt ist nur \\u00XX)", C);
            return false;
        }
        if (C != '\\') {
            Out += static_cast<char>(C);
            continue;
        }
        const char Escape = Raw[++Index];
        if (Escape == 'u') {
            unsigned Value = 0;
            if (!ReadHex4(Raw, Index + 1, Value)) {
                Error = "unvollständiges Escape \\u in \"bytes\"";
                return false;
            }
            if (Value > 0xFF) {
                Error = Format("Escape \\u%04X in \"bytes\" (erlaubt bis \\u00FF)", Value);
                return false;
            }
            Out += static_cast<char>(Value);
            Index += 4;
        } else if (const char Plain = ShortEscape(Escape)) {
            Out += Plain;
        } else {
            Error = Format("unzulässiges Escape \\%c in \"bytes\"", Escape);
            return false;
        }
    }
    return true;
}

void AppendUtf8(std::string& Out, unsigned Code)
{
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
        Out += static_cast<char>(0xC0 | (Code >> 6));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
        Out += static_cast<char>(0xE0 | (Code >> 12));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (Code >> 18));
        Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    }
}

// A text string (keys, "text", header fields): UTF-8, any \uXXXX.
bool DecodeText(const std::string& Raw, std::string& Out, std::string& Error)
{
    Out.clear();
    for (size_t Index = 0; Index < Raw.size();) {
        const unsigned char C = static_cast<unsigned char>(Raw[Index]);
        if (C >= 0x80) {
            const size_t Length = Utf8Length(Raw, Index);
            if (!Length) {
                Error = "Text ist kein gültiges UTF-8";
                return false;
            }
            Out.append(Raw, Index, Length);
            Index += Length;
            continue;
        }
        ++Index;
        if (C != '\\') {
            Out += static_cast<char>(C);
            continue;
        }
        const char Escape = Raw[Index++];
        if (const char Plain = ShortEscape(Escape)) {
            Out += Plain;
            continue;
        }
        unsigned Code = 0;
        if (Escape != 'u' || !ReadHex4(Raw, Index, Code)) {
            Error = Format("unzulässiges Escape \\%c", Escape);
            return false;
        }
        Index += 4;
        if (Code >= 0xD800 && Code <= 0xDBFF) {
            unsigned Low = 0;
            if (Raw.compare(Index, 2, "\\u") != 0 || !ReadHex4(Raw, Index + 2, Low) || Low < 0xDC00 || Low > 0xDFFF) {
                Error = "halbes Ersatzzeichenpaar (Surrogat) im Text";
                return false;
            }
            Index += 6;
            Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
        } else if (Code >= 0xDC00 && Code <= 0xDFFF) {
            Error = "halbes Ersatzzeichenpaar (Surrogat) im Text";
            return false;
        }
        AppendUtf8(Out, Code);
    }
    return true;
}

// A strict parser for what this format uses: one object with strings, whole
// numbers and true/false as values. Anything else is refused, so that a
// damaged line is named rather than half read.
class TFlatObjectParser {
public:
    explicit TFlatObjectParser(const std::string& Line)
        : FLine(Line)
    {
    }

    bool Parse(TMembers& Members, std::string& Error)
    {
        SkipBlanks();
        if (!Take('{'))
            return Fail("\"{\" erwartet", Error);
        SkipBlanks();
        if (Take('}'))
            return End(Error);
        for (;;) {
            SkipBlanks();
            std::string RawKey;
            if (!String(RawKey))
                return Fail("Feldname in Anführungszeichen erwartet", Error);
            std::string Key;
            if (!DecodeText(RawKey, Key, Error))
                return false;
            for (const auto& Member : Members)
                if (Member.first == Key) {
                    Error = "Feld \"" + Key + "\" doppelt";
                    return false;
                }
            SkipBlanks();
            if (!Take(':'))
                return Fail("\":\" erwartet", Error);
            SkipBlanks();
            TJsonValue Value;
            if (!ValueAt(Value))
                return Fail("Wert erwartet (Zeichenkette, ganze Zahl, true oder false)", Error);
            Members.emplace_back(std::move(Key), std::move(Value));
            SkipBlanks();
            if (Take('}'))
                return End(Error);
            if (!Take(','))
                return Fail("\",\" oder \"}\" erwartet", Error);
        }
    }

private:
    bool Fail(const char* What, std::string& Error) const
    {
        Error = Format("kein gültiges JSON bei Zeichen %zu: %s", FAt + 1, What);
        return false;
    }
    bool End(std::string& Error)
    {
        SkipBlanks();
        return FAt == FLine.size() || Fail("Zeilenende nach \"}\" erwartet", Error);
    }
    void SkipBlanks()
    {
        while (
            FAt < FLine.size() && (FLine[FAt] == ' ' || FLine[FAt] == '\t' || FLine[FAt] == '\r' || FLine[FAt] == '\n'))
            ++FAt;
    }
    bool Take(char C)
    {
        if (FAt < FLine.size() && FLine[FAt] == C) {
            ++FAt;
            return true;
        }
        return false;
    }
    // The characters between the quotes, escapes as written.
    bool String(std::string& Raw)
    {
        if (!Take('"'))
            return false;
        const size_t Start = FAt;
        while (FAt < FLine.size()) {
            const unsigned char C = static_cast<unsigned char>(FLine[FAt]);
            if (C == '"') {
                Raw.assign(FLine, Start, FAt - Start);
                ++FAt;
                return true;
            }
            if (C < 0x20)
                return false;
            FAt += C == '\\' ? 2 : 1;
        }
        return false;
    }
    bool ValueAt(TJsonValue& Value)
    {
        if (FAt >= FLine.size())
            return false;
        const char C = FLine[FAt];
        if (C == '"') {
            Value.Type = TJsonValue::TType::String;
            return String(Value.Raw);
        }
        if (FLine.compare(FAt, 4, "true") == 0 || FLine.compare(FAt, 5, "false") == 0) {
            Value.Type = TJsonValue::TType::Bool;
            Value.Bool = C == 't';
            FAt += Value.Bool ? 4 : 5;
            return true;
        }
        const bool Negative = Take('-');
        const size_t Digits = FAt;
        while (FAt < FLine.size() && FLine[FAt] >= '0' && FLine[FAt] <= '9')
            ++FAt;
        const size_t Count = FAt - Digits;
        // No leading zeros, no fractions, nothing that overflows 64 bits.
        if (Count == 0 || Count > 18 || (Count > 1 && FLine[Digits] == '0'))
            return false;
        if (FAt < FLine.size() && (FLine[FAt] == '.' || FLine[FAt] == 'e' || FLine[FAt] == 'E'))
            return false;
        Value.Type = TJsonValue::TType::Number;
        Value.Number = std::stoll(FLine.substr(Digits, Count));
        if (Negative)
            Value.Number = -Value.Number;
        return true;
    }

    const std::string& FLine;
    size_t FAt = 0;
};

const TJsonValue* Member(const TMembers& Members, const char* Key)
{
    for (const auto& Item : Members)
        if (Item.first == Key)
            return &Item.second;
    return nullptr;
}

// Looks up a member of the wanted type; Error names what is wrong.
const TJsonValue* Required(const TMembers& Members, const char* Key, TJsonValue::TType Type, std::string& Error)
{
    const TJsonValue* Value = Member(Members, Key);
    if (!Value)
        Error = Format("Feld \"%s\" fehlt", Key);
    else if (Value->Type != Type)
        Error = Format("Feld \"%s\" hat den falschen Typ", Key);
    else
        return Value;
    return nullptr;
}

bool RequiredCount(const TMembers& Members, const char* Key, int64_t Least, int64_t& Out, std::string& Error)
{
    const TJsonValue* Value = Required(Members, Key, TJsonValue::TType::Number, Error);
    if (!Value)
        return false;
    if (Value->Number < Least) {
        Error = Format("Feld \"%s\" ist kleiner als %lld", Key, static_cast<long long>(Least));
        return false;
    }
    Out = Value->Number;
    return true;
}

bool OptionalBool(const TMembers& Members, const char* Key, bool& Out, std::string& Error)
{
    const TJsonValue* Value = Member(Members, Key);
    if (!Value)
        return true;
    if (Value->Type != TJsonValue::TType::Bool) {
        Error = Format("Feld \"%s\" hat den falschen Typ", Key);
        return false;
    }
    Out = Value->Bool;
    return true;
}

bool ParseEvent(const TMembers& Members, TTranscriptEvent& Event, std::string& Error)
{
    Event = TTranscriptEvent();
    int64_t Connection = 0;
    if (!RequiredCount(Members, "t", 0, Event.Micros, Error) || !RequiredCount(Members, "conn", 1, Connection, Error))
        return false;
    if (Connection > INT32_MAX) {
        Error = "Feld \"conn\" ist zu groß";
        return false;
    }
    Event.Connection = static_cast<int32_t>(Connection);
    const TJsonValue* Kind = Required(Members, "kind", TJsonValue::TType::String, Error);
    if (!Kind)
        return false;
    std::string KindName;
    if (!DecodeText(Kind->Raw, KindName, Error))
        return false;
    if (!TranscriptKindFromName(KindName, Event.Kind)) {
        Error = "unbekannte Art " + JsonString(KindName);
        return false;
    }
    switch (Event.Kind) {
    case TTranscriptKind::Sent:
    case TTranscriptKind::Received: {
        const TJsonValue* Bytes = Required(Members, "bytes", TJsonValue::TType::String, Error);
        if (!Bytes || !DecodeBytes(Bytes->Raw, Event.Bytes, Error))
            return false;
        if (Member(Members, "secret")) {
            int64_t Secret = 0;
            if (!RequiredCount(Members, "secret", 0, Secret, Error))
                return false;
            if (static_cast<uint64_t>(Secret) > Event.Bytes.size()) {
                Error = "Feld \"secret\" zeigt hinter das Ende von \"bytes\"";
                return false;
            }
            Event.SecretStart = static_cast<size_t>(Secret);
        }
        return OptionalBool(Members, "redacted", Event.Redacted, Error);
    }
    case TTranscriptKind::Note:
    case TTranscriptKind::Tls:
    case TTranscriptKind::Guidance: {
        const TJsonValue* Text = Required(Members, "text", TJsonValue::TType::String, Error);
        return Text && DecodeText(Text->Raw, Event.Text, Error);
    }
    case TTranscriptKind::Omitted:
        return RequiredCount(Members, "events", 0, Event.OmittedEvents, Error)
            && RequiredCount(Members, "bytes", 0, Event.OmittedBytes, Error);
    }
    return false;
}

} // namespace

const char* TranscriptKindName(TTranscriptKind Kind)
{
    return kKindNames[static_cast<int>(Kind)];
}

bool TranscriptKindFromName(const std::string& Name, TTranscriptKind& Kind)
{
    for (size_t Index = 0; Index < std::size(kKindNames); ++Index)
        if (Name == kKindNames[Index]) {
            Kind = static_cast<TTranscriptKind>(Index);
            return true;
        }
    return false;
}

std::string TranscriptTimestamp(int64_t MicrosSinceEpoch)
{
    const time_t Seconds = static_cast<time_t>(MicrosSinceEpoch / 1000000);
    std::tm Utc {};
    gmtime_r(&Seconds, &Utc);
    char Buffer[40];
    std::strftime(Buffer, sizeof Buffer, "%Y-%m-%dT%H:%M:%S", &Utc);
    return Format("%s.%06lldZ", Buffer, static_cast<long long>(MicrosSinceEpoch % 1000000));
}

std::string TranscriptTimestampNow()
{
    const auto Now = std::chrono::system_clock::now().time_since_epoch();
    return TranscriptTimestamp(std::chrono::duration_cast<std::chrono::microseconds>(Now).count());
}

std::string TranscriptBytesJson(const std::string& Bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string Out;
    Out.reserve(Bytes.size() + Bytes.size() / 8 + 2);
    Out += '"';
    for (const char Char : Bytes) {
        const unsigned char C = static_cast<unsigned char>(Char);
        if (C == '"' || C == '\\') {
            Out += '\\';
            Out += Char;
        } else if (C == '\r') {
            Out += "\\r";
        } else if (C == '\n') {
            Out += "\\n";
        } else if (C == '\t') {
            Out += "\\t";
        } else if (C < 0x20 || C >= 0x7F) {
            Out += "\\u00";
            Out += kHex[C >> 4];
            Out += kHex[C & 0xF];
        } else {
            Out += Char;
        }
    }
    Out += '"';
    return Out;
}

std::string RedactSecret(const std::string& Bytes, size_t SecretStart)
{
    if (SecretStart > Bytes.size())
        return Bytes;
    size_t End = Bytes.find('\n', SecretStart);
    if (End == std::string::npos)
        End = Bytes.size();
    else if (End > SecretStart && Bytes[End - 1] == '\r')
        --End;
    return Bytes.substr(0, SecretStart) + kRedactedSecret + Bytes.substr(End);
}

std::string TranscriptHeaderLine(const TTranscriptHeader& Header)
{
    return std::string("{\"type\":\"") + kHeaderType + "\",\"format\":" + std::to_string(Header.Format)
        + ",\"program\":" + JsonString(Header.Program) + ",\"started\":" + JsonString(Header.Started)
        + ",\"redacted\":" + (Header.Redacted ? "true" : "false") + "}\n";
}

std::string TranscriptEventLine(const TTranscriptEvent& Event, bool Redact)
{
    std::string Line = "{\"t\":" + std::to_string(Event.Micros) + ",\"conn\":" + std::to_string(Event.Connection)
        + ",\"kind\":\"" + TranscriptKindName(Event.Kind) + "\",";
    switch (Event.Kind) {
    case TTranscriptKind::Sent:
    case TTranscriptKind::Received: {
        const bool Mask = Redact && Event.CarriesSecret() && !Event.Redacted;
        Line += "\"bytes\":";
        Line += TranscriptBytesJson(Mask ? RedactSecret(Event.Bytes, Event.SecretStart) : Event.Bytes);
        if (Event.CarriesSecret())
            Line += ",\"secret\":" + std::to_string(Event.SecretStart);
        if (Mask || Event.Redacted)
            Line += ",\"redacted\":true";
        break;
    }
    case TTranscriptKind::Note:
    case TTranscriptKind::Tls:
    case TTranscriptKind::Guidance:
        Line += "\"text\":" + JsonString(Event.Text);
        break;
    case TTranscriptKind::Omitted:
        Line
            += "\"events\":" + std::to_string(Event.OmittedEvents) + ",\"bytes\":" + std::to_string(Event.OmittedBytes);
        break;
    }
    return Line + "}\n";
}

TTranscriptWriter::TTranscriptWriter(std::ostream& Out)
    : FOut(&Out)
{
}

TTranscriptWriter::TTranscriptWriter(int Fd)
    : FFd(Fd)
{
}

TTranscriptWriter::~TTranscriptWriter()
{
    Flush();
}

bool TTranscriptWriter::WriteHeader(const TTranscriptHeader& Header)
{
    FRedact = Header.Redacted;
    return Put(TranscriptHeaderLine(Header));
}

bool TTranscriptWriter::Write(const TTranscriptEvent& Event)
{
    return Put(TranscriptEventLine(Event, FRedact));
}

bool TTranscriptWriter::Put(const std::string& Line)
{
    if (!FOk)
        return false;
    if (FOut) {
        FOut->write(Line.data(), static_cast<std::streamsize>(Line.size()));
        FOk = static_cast<bool>(*FOut);
        return FOk;
    }
    if (FPending.size() + Line.size() < kWriteChunk) {
        FPending += Line;
        return true;
    }
    // A long line (a large read) goes out as it is, not copied once more.
    return Flush() && WriteOut(Line);
}

bool TTranscriptWriter::Flush()
{
    if (FOut) {
        FOut->flush();
        return FOk = FOk && static_cast<bool>(*FOut);
    }
    const bool Written = WriteOut(FPending);
    FPending.clear();
    return Written;
}

bool TTranscriptWriter::WriteOut(const std::string& Bytes)
{
    if (!FOk)
        return false;
    for (size_t Done = 0; Done < Bytes.size();) {
        const ssize_t Written = ::write(FFd, Bytes.data() + Done, Bytes.size() - Done);
        if (Written < 0 && errno == EINTR)
            continue;
        if (Written <= 0) {
            FErrorNumber = Written < 0 ? errno : EIO;
            FOk = false;
            return false;
        }
        Done += static_cast<size_t>(Written);
    }
    return true;
}

TTranscriptReader::TTranscriptReader(size_t LineLimit)
    : FLineLimit(LineLimit)
{
}

TTranscriptReader::~TTranscriptReader() = default;

bool TTranscriptReader::Open(const std::string& Path)
{
    FFile = std::make_unique<std::ifstream>(Path, std::ios::binary);
    if (!*FFile) {
        FError = "Datei nicht lesbar: " + Path;
        return false;
    }
    return Open(*FFile);
}

bool TTranscriptReader::Open(std::istream& In)
{
    FIn = &In;
    FBuffer.clear();
    FBufferStart = 0;
    FEof = false;
    FLineNumber = 0;
    FError.clear();
    FHeader = TTranscriptHeader();
    return ReadHeader();
}

bool TTranscriptReader::Fail(const std::string& What)
{
    FError = Format("Zeile %zu: ", FLineNumber) + What;
    return false;
}

TTranscriptReader::TLineResult TTranscriptReader::ReadLine(std::string& Line)
{
    size_t Scanned = FBufferStart;
    for (;;) {
        const size_t End = FBuffer.find('\n', Scanned);
        if (End != std::string::npos) {
            if (End - FBufferStart > FLineLimit)
                return TLineResult::TooLong;
            Line.assign(FBuffer, FBufferStart, End - FBufferStart);
            FBufferStart = End + 1;
            return TLineResult::Line;
        }
        if (FBuffer.size() - FBufferStart > FLineLimit)
            return TLineResult::TooLong;
        if (FEof) {
            if (FBufferStart == FBuffer.size())
                return TLineResult::End;
            Line.assign(FBuffer, FBufferStart, std::string::npos);
            FBufferStart = FBuffer.size();
            return TLineResult::Line;
        }
        FBuffer.erase(0, FBufferStart);
        FBufferStart = 0;
        Scanned = FBuffer.size();
        const size_t Old = FBuffer.size();
        FBuffer.resize(Old + kReadChunk);
        FIn->read(&FBuffer[Old], static_cast<std::streamsize>(kReadChunk));
        FBuffer.resize(Old + static_cast<size_t>(FIn->gcount()));
        if (!*FIn)
            FEof = true;
    }
}

bool TTranscriptReader::ReadHeader()
{
    std::string Line;
    ++FLineNumber;
    const TLineResult Result = ReadLine(Line);
    if (Result == TLineResult::End)
        return Fail("Datei ist leer, die Kopfzeile fehlt");
    if (Result == TLineResult::TooLong)
        return Fail("kein Brieflotse-Mitschnitt (Kopfzeile fehlt)");
    TMembers Members;
    std::string Error;
    if (!TFlatObjectParser(Line).Parse(Members, Error))
        return Fail("kein Brieflotse-Mitschnitt (Kopfzeile fehlt): " + Error);
    const TJsonValue* Type = Member(Members, "type");
    if (!Type || Type->Type != TJsonValue::TType::String || Type->Raw != kHeaderType)
        return Fail("kein Brieflotse-Mitschnitt (Kopfzeile fehlt)");
    const TJsonValue* FormatValue = Required(Members, "format", TJsonValue::TType::Number, Error);
    if (!FormatValue)
        return Fail(Error);
    if (FormatValue->Number != kTranscriptFormat)
        return Fail(Format("Format %lld wird nicht verstanden (bekannt: %d)",
            static_cast<long long>(FormatValue->Number), kTranscriptFormat));
    FHeader.Format = kTranscriptFormat;
    const TJsonValue* Program = Required(Members, "program", TJsonValue::TType::String, Error);
    if (!Program || !DecodeText(Program->Raw, FHeader.Program, Error))
        return Fail(Error);
    const TJsonValue* Started = Required(Members, "started", TJsonValue::TType::String, Error);
    if (!Started || !DecodeText(Started->Raw, FHeader.Started, Error))
        return Fail(Error);
    const TJsonValue* Redacted = Required(Members, "redacted", TJsonValue::TType::Bool, Error);
    if (!Redacted)
        return Fail(Error);
    FHeader.Redacted = Redacted->Bool;
    return true;
}

bool TTranscriptReader::Next(TTranscriptEvent& Event)
{
    if (!FIn || !FError.empty())
        return false;
    std::string Line;
    for (;;) {
        ++FLineNumber;
        const TLineResult Result = ReadLine(Line);
        if (Result == TLineResult::End)
            return false;
        if (Result == TLineResult::TooLong) {
            const bool Mega = FLineLimit % (1024 * 1024) == 0;
            return Fail(Format(
                "Zeile ist länger als %zu %s", Mega ? FLineLimit / (1024 * 1024) : FLineLimit, Mega ? "MB" : "Bytes"));
        }
        if (Line.find_first_not_of(" \t\r") != std::string::npos)
            break;
    }
    TMembers Members;
    std::string Error;
    if (!TFlatObjectParser(Line).Parse(Members, Error) || !ParseEvent(Members, Event, Error))
        return Fail(Error);
    return true;
}
