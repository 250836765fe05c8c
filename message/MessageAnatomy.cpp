#include "message/MessageAnatomy.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "message/HeaderTexts.h"
#include "message/TraceFields.h"
#include "text/AsciiText.h"

namespace {

// Problems of one kind beyond this many are counted, not listed.
constexpr size_t kProblemsPerKind = 5;
// RFC 5322 section 2.1.1: at most 998 characters a line.
constexpr uint64_t kLongestLine = 998;
// A header field this long is named.
constexpr size_t kLongField = 64 * 1024;

void InitGMime()
{
    static std::once_flag Once;
    std::call_once(Once, [] { g_mime_init(); });
}

std::string Str(const char* Text)
{
    return Text ? Text : "";
}

std::string Thousands(uint64_t Value)
{
    std::string Digits = std::to_string(Value);
    for (size_t At = Digits.size(); At > 3; At -= 3)
        Digits.insert(At - 3, ".");
    return Digits;
}

std::string WarningText(GMimeParserWarning Code, const std::string& Item)
{
    const std::string Quoted = Item.empty() ? "" : " (\"" + Item.substr(0, 60) + "\")";
    switch (Code) {
    case GMIME_WARN_DUPLICATED_HEADER:
        return "Ein Kopffeld, das nur einmal stehen darf, steht mehrfach" + Quoted + ".";
    case GMIME_WARN_DUPLICATED_PARAMETER:
        return "Ein Parameter steht mehrfach" + Quoted + ".";
    case GMIME_WARN_UNENCODED_8BIT_HEADER:
        return "Ein Kopffeld enthält 8-Bit-Zeichen ohne Kodierung nach RFC 2047" + Quoted + ".";
    case GMIME_WARN_INVALID_CONTENT_TYPE:
        return "Ungültiger Content-Type" + Quoted + "; gelesen als application/octet-stream.";
    case GMIME_WARN_INVALID_RFC2047_HEADER_VALUE:
        return "Fehlerhaft kodiertes Wort nach RFC 2047" + Quoted + ".";
    case GMIME_WARN_INVALID_PARAMETER:
        return "Ungültiger Parameter" + Quoted + ".";
    case GMIME_WARN_MALFORMED_MULTIPART:
        return "Ein mehrteiliger Teil enthält keine Teile (Grenze nicht gefunden)" + Quoted + ".";
    case GMIME_WARN_TRUNCATED_MESSAGE:
        return "Die Nachricht ist abgeschnitten (eine Grenze wurde nicht geschlossen)" + Quoted + ".";
    case GMIME_WARN_MALFORMED_MESSAGE:
        return "Die Nachricht ist fehlerhaft aufgebaut" + Quoted + ".";
    case GMIME_WARN_INVALID_ADDRESS_LIST:
        return "Ungültige Adressliste" + Quoted + ".";
    case GMIME_CRIT_INVALID_HEADER_NAME:
        return "Ungültiger Name eines Kopffelds" + Quoted + "; ab hier kann Inhalt fehlen.";
    case GMIME_CRIT_CONFLICTING_HEADER:
        return "Widersprüchliche Kopffelder" + Quoted + ".";
    case GMIME_CRIT_CONFLICTING_PARAMETER:
        return "Widersprüchliche Parameter" + Quoted + ".";
    case GMIME_CRIT_MULTIPART_WITHOUT_BOUNDARY:
        return "Mehrteiliger Inhalt ohne Grenze (boundary fehlt): als ein Stück gelesen" + Quoted + ".";
    case GMIME_CRIT_NESTING_OVERFLOW:
        return "Zu tief verschachtelte Teile" + Quoted + "; tiefere Ebenen als ein Stück gelesen.";
    case GMIME_WARN_PART_WITHOUT_CONTENT:
        return "Ein Teil endet schon in seinem Kopf an einer Grenze" + Quoted + ".";
    case GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT:
        return "Ein Teil ohne Kopf und ohne Inhalt" + Quoted + ".";
    }
    return "Unbekannter Fehler im Aufbau" + Quoted + ".";
}

struct TCollected {
    std::map<int, size_t> Counts;
    std::map<int, size_t> Last; // index of the last problem listed of each kind
    std::vector<TMessageProblem> Problems;

    // The count of what was not listed goes to the last one listed.
    std::vector<TMessageProblem> Finish()
    {
        for (const auto& [Kind, Count] : Counts)
            if (Count > kProblemsPerKind)
                Problems[Last[Kind]].Text
                    += " (Und " + std::to_string(Count - kProblemsPerKind) + " weitere Meldungen dieser Art.)";
        return std::move(Problems);
    }
};

void Collect(TCollected& Into, int Kind, std::string Text, std::optional<TMessageRange> Range = std::nullopt)
{
    if (++Into.Counts[Kind] > kProblemsPerKind)
        return;
    Into.Last[Kind] = Into.Problems.size();
    Into.Problems.push_back({ std::move(Text), Range });
}

void OnWarning(gint64 Offset, GMimeParserWarning Code, const gchar* Item, gpointer Data)
{
    TMessageRange Range;
    Range.Begin = Offset < 0 ? 0 : static_cast<uint64_t>(Offset);
    Range.End = Range.Begin;
    Collect(*static_cast<TCollected*>(Data), static_cast<int>(Code), WarningText(Code, Str(Item)), Range);
}

// Encoded words are short (RFC 2047: 75 characters); a bound on the search
// keeps a field full of "=?" from being searched to its end again and again.
constexpr size_t kLongestWord = 512;
// GMime's decoder takes time with the square of a piece full of unfinished
// words; long values go to it in pieces of about this size, cut at blanks.
constexpr size_t kDecodePiece = 4096;

// The end of the encoded word ("=?cs?B?...?=") that starts at Begin, or npos.
size_t EncodedWordEnd(const std::string& Text, size_t Begin)
{
    const size_t Limit = std::min(Text.size(), Begin + kLongestWord);
    size_t At = Begin + 2;
    while (At < Limit && Text[At] != '?' && !IsAsciiSpace(Text[At]))
        ++At;
    if (At + 2 >= Limit || At == Begin + 2 || Text[At + 2] != '?'
        || (AsciiUpper(Text[At + 1]) != 'B' && AsciiUpper(Text[At + 1]) != 'Q'))
        return std::string::npos;
    for (size_t Inside = At + 3; Inside + 1 < Limit; ++Inside) {
        if (IsAsciiSpace(Text[Inside]))
            return std::string::npos;
        if (Text[Inside] == '?' && Text[Inside + 1] == '=')
            return Inside + 2;
    }
    return std::string::npos;
}

// Charsets named in encoded words, each once. Decoding is GMime's; this only
// names them.
std::vector<std::string> EncodedWordCharsets(const std::string& Raw)
{
    std::vector<std::string> Charsets;
    size_t At = 0;
    while ((At = Raw.find("=?", At)) != std::string::npos) {
        const size_t End = EncodedWordEnd(Raw, At);
        if (End == std::string::npos) {
            At += 2;
            continue;
        }
        std::string Charset = AsciiLower(Raw.substr(At + 2, Raw.find('?', At + 2) - At - 2));
        Charset = Charset.substr(0, Charset.find('*')); // RFC 2231 language
        if (std::find(Charsets.begin(), Charsets.end(), Charset) == Charsets.end())
            Charsets.push_back(Charset);
        At = End;
    }
    return Charsets;
}

// The value unfolded and decoded by GMime. GMime joins neighbouring encoded
// words of one charset before decoding them, so that a character split
// between two words survives; with base64 words that end in padding (as
// Python and many mailers write them) the join loses every word after the
// first. So the value is cut behind such a word and each piece decoded alone,
// the blanks between the two words dropped as RFC 2047 asks.
std::string DecodeHeaderValue(GMimeParserOptions* Options, const std::string& Raw)
{
    gchar* Unfolded = g_mime_utils_header_unfold(Raw.c_str());
    const std::string Text = Str(Unfolded);
    g_free(Unfolded);
    std::string Out;
    size_t PieceBegin = 0;
    auto DecodeUpTo = [&](size_t End, size_t NextBegin) {
        const std::string Piece = Text.substr(PieceBegin, End - PieceBegin);
        gchar* Decoded = g_mime_utils_header_decode_text(Options, Piece.c_str());
        Out += Str(Decoded);
        g_free(Decoded);
        PieceBegin = NextBegin;
    };
    size_t At = 0;
    while (At < Text.size()) {
        if (At - PieceBegin >= kDecodePiece && IsAsciiSpace(Text[At])) {
            DecodeUpTo(At, At);
            continue;
        }
        if (Text.compare(At, 2, "=?") != 0) {
            ++At;
            continue;
        }
        const size_t End = EncodedWordEnd(Text, At);
        if (End == std::string::npos) {
            At += 2;
            continue;
        }
        size_t Next = End;
        while (Next < Text.size() && IsAsciiSpace(Text[Next]))
            ++Next;
        const size_t Kind = Text.find('?', At + 2) + 1;
        const bool Padded = AsciiUpper(Text[Kind]) == 'B' && Text[End - 3] == '=';
        if (Padded && Next > End && EncodedWordEnd(Text, Next) != std::string::npos)
            DecodeUpTo(End, Next);
        At = std::max(End, PieceBegin);
    }
    DecodeUpTo(Text.size(), Text.size());
    size_t Begin = 0;
    while (Begin < Out.size() && IsAsciiSpace(Out[Begin]))
        ++Begin;
    size_t Last = Out.size();
    while (Last > Begin && IsAsciiSpace(Out[Last - 1]))
        --Last;
    return Out.substr(Begin, Last - Begin);
}

bool KnownCharset(const std::string& Charset)
{
    const char* Name = g_mime_charset_iconv_name(Charset.c_str());
    GIConv Converter = g_iconv_open("UTF-8", Name ? Name : Charset.c_str());
    if (Converter == reinterpret_cast<GIConv>(-1))
        return false;
    g_iconv_close(Converter);
    return true;
}

// The end of the header field that starts at Begin: after the line end that
// no blank or tab continues.
uint64_t FieldEnd(const std::string& Bytes, uint64_t Begin)
{
    size_t At = Begin;
    while (true) {
        const size_t Newline = Bytes.find('\n', At);
        if (Newline == std::string::npos)
            return Bytes.size();
        if (Newline + 1 >= Bytes.size() || (Bytes[Newline + 1] != ' ' && Bytes[Newline + 1] != '\t'))
            return Newline + 1;
        At = Newline + 1;
    }
}

// A lenient look at encoded bodies: GMime decodes past errors silently, the
// learner should hear of them.
bool Base64Broken(const char* Data, size_t Size)
{
    size_t Symbols = 0;
    bool Padding = false;
    for (size_t Index = 0; Index < Size; ++Index) {
        const char C = Data[Index];
        if (IsAsciiSpace(C))
            continue;
        if (C == '=') {
            Padding = true;
            ++Symbols;
            continue;
        }
        if (!(IsAsciiAlnum(C) || C == '+' || C == '/') || Padding)
            return true;
        ++Symbols;
    }
    return Symbols % 4 != 0;
}

bool QuotedPrintableBroken(const char* Data, size_t Size)
{
    for (size_t Index = 0; Index < Size; ++Index) {
        if (Data[Index] != '=')
            continue;
        if (Index + 2 < Size && IsAsciiHexDigit(Data[Index + 1]) && IsAsciiHexDigit(Data[Index + 2]))
            continue;
        // A soft line break: "=" with blanks before the line end.
        size_t Next = Index + 1;
        while (Next < Size && (Data[Next] == ' ' || Data[Next] == '\t'))
            ++Next;
        if (Next >= Size || Data[Next] == '\r' || Data[Next] == '\n')
            continue;
        return true;
    }
    return false;
}

class TDecomposer {
public:
    TDecomposer(const std::string& Bytes, const TDecomposeOptions& Options, TMessageAnatomy& Out,
        const std::map<uint64_t, std::string>& Renamed, const std::string& Original)
        : FBytes(Bytes)
        , FOptions(Options)
        , FOut(Out)
        , FRenamed(Renamed)
        , FOriginal(Original)
    {
    }

    void Run();

private:
    void ReadHeaders(GMimeMessage* Message);
    void WalkParts(GMimeObject* Root);
    void ReadLeaf(GMimePart* Part, TMimePart& Entry);
    TMessageRange BoundsOf(GMimeObject* Object, bool& HasHeaders);

    const std::string& FBytes;
    const TDecomposeOptions& FOptions;
    TMessageAnatomy& FOut;
    const std::map<uint64_t, std::string>& FRenamed; // overlong fields by offset, with their names
    const std::string& FOriginal; // the bytes before overlong fields were renamed
    TCollected FProblems;
    GMimeParserOptions* FParserOptions = nullptr;
};

TMessageRange TDecomposer::BoundsOf(GMimeObject* Object, bool& HasHeaders)
{
    TMessageRange Range;
    Range.Begin = FBytes.size();
    Range.End = 0;
    GMimeHeaderList* Headers = g_mime_object_get_header_list(Object);
    const int Count = Headers ? g_mime_header_list_get_count(Headers) : 0;
    HasHeaders = false;
    for (int Index = 0; Index < Count; ++Index) {
        const gint64 Offset = g_mime_header_get_offset(g_mime_header_list_get_header_at(Headers, Index));
        if (Offset < 0 || static_cast<uint64_t>(Offset) >= FBytes.size())
            continue;
        HasHeaders = true;
        Range.Begin = std::min<uint64_t>(Range.Begin, static_cast<uint64_t>(Offset));
        Range.End = std::max<uint64_t>(Range.End, FieldEnd(FBytes, static_cast<uint64_t>(Offset)));
    }
    return Range;
}

// The top-level fields in the order written. GMime keeps the Content-*
// fields of the message with its body part, so both lists are merged by
// their offsets.
std::vector<GMimeHeader*> TopHeaders(GMimeMessage* Message)
{
    std::vector<std::pair<gint64, GMimeHeader*>> Found;
    std::set<gint64> Offsets;
    GMimeObject* Body = g_mime_message_get_mime_part(Message);
    for (GMimeObject* Object : { GMIME_OBJECT(Message), Body }) {
        GMimeHeaderList* Headers = Object ? g_mime_object_get_header_list(Object) : nullptr;
        const int Count = Headers ? g_mime_header_list_get_count(Headers) : 0;
        for (int Index = 0; Index < Count; ++Index) {
            GMimeHeader* Header = g_mime_header_list_get_header_at(Headers, Index);
            const gint64 Offset = g_mime_header_get_offset(Header);
            if (Offset < 0 || Offsets.insert(Offset).second)
                Found.emplace_back(Offset, Header);
        }
    }
    std::stable_sort(
        Found.begin(), Found.end(), [](const auto& Left, const auto& Right) { return Left.first < Right.first; });
    std::vector<GMimeHeader*> Headers;
    for (const auto& [Offset, Header] : Found)
        Headers.push_back(Header);
    return Headers;
}

void TDecomposer::ReadHeaders(GMimeMessage* Message)
{
    std::vector<TReceivedHop> Hops;
    bool SeenResults = false;
    std::map<std::string, bool> Charsets;
    for (GMimeHeader* Header : TopHeaders(Message)) {
        THeaderField Field;
        Field.Name = Str(g_mime_header_get_raw_name(Header));
        Field.Raw = Str(g_mime_header_get_raw_value(Header));
        while (!Field.Raw.empty() && (Field.Raw.back() == '\n' || Field.Raw.back() == '\r'))
            Field.Raw.pop_back();
        Field.Value = DecodeHeaderValue(FParserOptions, Field.Raw);
        Field.Charsets = EncodedWordCharsets(Field.Raw);
        const gint64 Offset = g_mime_header_get_offset(Header);
        if (Offset >= 0 && static_cast<uint64_t>(Offset) < FBytes.size()) {
            Field.Range.Begin = static_cast<uint64_t>(Offset);
            Field.Range.End = FieldEnd(FBytes, Field.Range.Begin);
            const auto Original = FRenamed.find(Field.Range.Begin);
            if (Original != FRenamed.end()) {
                Field.Name = Original->second;
                const uint64_t ValueAt = Field.Range.Begin + Field.Name.size() + 1;
                Field.Raw = FOriginal.substr(ValueAt, Field.Range.End - ValueAt);
                while (!Field.Raw.empty() && (Field.Raw.back() == '\n' || Field.Raw.back() == '\r'))
                    Field.Raw.pop_back();
                Field.Value = DecodeHeaderValue(FParserOptions, Field.Raw);
                Field.Charsets = EncodedWordCharsets(Field.Raw);
            }
        }
        Field.Explanation = ExplainHeader(Field.Name, Field.Value, Field.Known);
        for (const std::string& Charset : Field.Charsets) {
            auto Known = Charsets.find(Charset);
            if (Known == Charsets.end())
                Known = Charsets.emplace(Charset, KnownCharset(Charset)).first;
            if (!Known->second)
                Collect(FProblems, 1001,
                    "Unbekannter Zeichensatz \"" + Charset.substr(0, 40) + "\" im Feld " + Field.Name + ".",
                    Field.Range);
        }
        if (Field.Raw.size() > kLongField)
            Collect(FProblems, 1002,
                "Das Kopffeld " + Field.Name.substr(0, 60) + " ist " + Thousands(Field.Raw.size()) + " Bytes lang.",
                Field.Range);
        const size_t At = FOut.Headers.size();
        const std::string Lower = AsciiLower(Field.Name);
        if (Lower == "received") {
            TReceivedHop Hop = ParseReceived(Field.Value);
            Hop.HeaderIndex = At;
            Hop.Range = Field.Range;
            Hops.push_back(std::move(Hop));
        } else if (Lower == "authentication-results") {
            const bool Topmost = !SeenResults;
            SeenResults = true;
            for (TAuthResult& Result : ParseAuthenticationResults(Field.Value)) {
                Result.Topmost = Topmost;
                Result.HeaderIndex = At;
                Result.Range = Field.Range;
                FOut.AuthenticationResults.push_back(std::move(Result));
            }
        } else if (Lower == "dkim-signature") {
            TDkimSignature Signature;
            Signature.Tags = ParseDkimSignature(Field.Value);
            Signature.HeaderIndex = At;
            Signature.Range = Field.Range;
            FOut.DkimSignatures.push_back(std::move(Signature));
        }
        FOut.Headers.push_back(std::move(Field));
    }
    ChainReceived(Hops);
    FOut.Received = std::move(Hops);
}

void TDecomposer::ReadLeaf(GMimePart* Part, TMimePart& Entry)
{
    GMimeDataWrapper* Content = g_mime_part_get_content(Part);
    if (!Content)
        return;
    GMimeStream* Source = g_mime_data_wrapper_get_stream(Content);
    if (Source && Source->bound_start >= 0 && Source->bound_end >= Source->bound_start
        && static_cast<uint64_t>(Source->bound_end) <= FBytes.size()) {
        Entry.BodyRange.Begin = static_cast<uint64_t>(Source->bound_start);
        Entry.BodyRange.End = static_cast<uint64_t>(Source->bound_end);
        Entry.SizeEncoded = Entry.BodyRange.End - Entry.BodyRange.Begin;
    } else if (Source) {
        const gint64 Length = g_mime_stream_length(Source);
        Entry.SizeEncoded = Length > 0 ? static_cast<uint64_t>(Length) : 0;
    }
    const char* Raw = FBytes.data() + Entry.BodyRange.Begin;
    const size_t RawSize = Entry.BodyRange.End - Entry.BodyRange.Begin;
    const GMimeContentEncoding Encoding = g_mime_data_wrapper_get_encoding(Content);
    if (Encoding == GMIME_CONTENT_ENCODING_BASE64 && Base64Broken(Raw, RawSize))
        Collect(FProblems, 1003, "Teil " + Entry.Path + ": ungültiges Base64 (fremde Zeichen oder falsche Länge).",
            Entry.BodyRange);
    if (Encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE && QuotedPrintableBroken(Raw, RawSize))
        Collect(FProblems, 1004, "Teil " + Entry.Path + ": ungültiges Quoted-Printable (\"=\" ohne zwei Hexziffern).",
            Entry.BodyRange);

    if (!Entry.IsText) {
        GMimeStream* Null = g_mime_stream_null_new();
        const ssize_t Written = g_mime_data_wrapper_write_to_stream(Content, Null);
        Entry.SizeDecoded = Written > 0 ? static_cast<uint64_t>(Written) : 0;
        g_object_unref(Null);
        return;
    }
    // Text: transfer encoding undone by the wrapper, then the charset
    // converted and CR LF made LF by GMime's filters.
    GByteArray* Array = g_byte_array_new();
    GMimeStream* Sink = g_mime_stream_mem_new_with_byte_array(Array);
    GMimeStream* Filtered = g_mime_stream_filter_new(Sink);
    if (!Entry.Charset.empty()) {
        GMimeFilter* Charset = g_mime_filter_charset_new(Entry.Charset.c_str(), "UTF-8");
        if (Charset) {
            g_mime_stream_filter_add(GMIME_STREAM_FILTER(Filtered), Charset);
            g_object_unref(Charset);
        } else {
            Collect(FProblems, 1001,
                "Teil " + Entry.Path + ": unbekannter Zeichensatz \"" + Entry.Charset.substr(0, 40)
                    + "\"; der Text ist unverändert übernommen.",
                Entry.Range);
        }
    }
    GMimeFilter* LineEnds = g_mime_filter_dos2unix_new(FALSE);
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(Filtered), LineEnds);
    g_object_unref(LineEnds);
    const ssize_t Written = g_mime_data_wrapper_write_to_stream(Content, Filtered);
    g_mime_stream_flush(Filtered);
    Entry.SizeDecoded = Written > 0 ? static_cast<uint64_t>(Written) : 0;
    g_object_unref(Filtered);
    const size_t Keep = std::min<uint64_t>(Array->len, FOptions.MaxTextBytes);
    Entry.Text.assign(reinterpret_cast<const char*>(Array->data), Keep);
    if (Keep < Array->len)
        Collect(FProblems, 1005,
            "Teil " + Entry.Path + ": der Text ist länger als " + Thousands(FOptions.MaxTextBytes)
                + " Bytes; nur der Anfang wird gezeigt.",
            Entry.BodyRange);
    g_object_unref(Sink); // frees Array with it
}

void TDecomposer::WalkParts(GMimeObject* Root)
{
    struct TPending {
        GMimeObject* Object;
        std::string Path;
        int Depth;
        GMimeObject* Message = nullptr; // an embedded message whose fields head Object
    };
    // Depth first without recursion: GMime may hand over a deep tree.
    std::vector<TPending> Stack { { Root, "1", 0 } };
    uint64_t Skipped = 0;
    while (!Stack.empty()) {
        const TPending Next = std::move(Stack.back());
        Stack.pop_back();
        if (FOut.Parts.size() >= FOptions.MaxParts) {
            ++Skipped;
            continue;
        }
        GMimeObject* Object = Next.Object;
        TMimePart Entry;
        Entry.Path = Next.Path;
        Entry.Depth = Next.Depth;
        GMimeContentType* Type = g_mime_object_get_content_type(Object);
        if (Type) {
            gchar* Mime = g_mime_content_type_get_mime_type(Type);
            Entry.ContentType = AsciiLower(Str(Mime));
            g_free(Mime);
            Entry.Charset = AsciiLower(Str(g_mime_content_type_get_parameter(Type, "charset")));
        }
        std::string Encoding = Str(g_mime_object_get_header(Object, "Content-Transfer-Encoding"));
        Encoding.erase(std::remove_if(Encoding.begin(), Encoding.end(), IsAsciiSpace), Encoding.end());
        Entry.TransferEncoding = AsciiLower(Encoding);
        Entry.Disposition = AsciiLower(Str(g_mime_object_get_disposition(Object)));
        bool HasHeaders = false;
        Entry.Range = BoundsOf(Object, HasHeaders);
        if (Next.Message) {
            bool MessageHeaders = false;
            const TMessageRange Around = BoundsOf(Next.Message, MessageHeaders);
            if (MessageHeaders) {
                Entry.Range.Begin = std::min(Entry.Range.Begin, Around.Begin);
                Entry.Range.End = std::max(Entry.Range.End, Around.End);
                HasHeaders = true;
            }
        }
        std::vector<TPending> Children;
        if (GMIME_IS_MULTIPART(Object)) {
            Entry.Container = true;
            GMimeMultipart* Multipart = GMIME_MULTIPART(Object);
            const int Count = g_mime_multipart_get_count(Multipart);
            for (int Index = 0; Index < Count; ++Index)
                Children.push_back({ g_mime_multipart_get_part(Multipart, Index),
                    Next.Path + "." + std::to_string(Index + 1), Next.Depth + 1, nullptr });
        } else if (GMIME_IS_MESSAGE_PART(Object)) {
            Entry.Container = true;
            GMimeMessage* Inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(Object));
            GMimeObject* Body = Inner ? g_mime_message_get_mime_part(Inner) : nullptr;
            if (Body)
                Children.push_back({ Body, Next.Path + ".1", Next.Depth + 1, GMIME_OBJECT(Inner) });
        } else if (GMIME_IS_PART(Object)) {
            Entry.IsText = g_mime_content_type_is_type(Type, "text", "*");
            Entry.FileName = Str(g_mime_part_get_filename(GMIME_PART(Object)));
            ReadLeaf(GMIME_PART(Object), Entry);
            if (!HasHeaders)
                Entry.Range.Begin = Entry.BodyRange.Begin;
            Entry.Range.End = std::max(Entry.Range.End, Entry.BodyRange.End);
        }
        if (Entry.Range.Begin > Entry.Range.End)
            Entry.Range.Begin = Entry.Range.End;
        if (Next.Depth == 0) {
            Entry.Range.Begin = 0;
            Entry.Range.End = FBytes.size();
        }
        FOut.Parts.push_back(std::move(Entry));
        for (auto Child = Children.rbegin(); Child != Children.rend(); ++Child)
            Stack.push_back(std::move(*Child));
    }
    // Containers reach to the end of their last child: each part's end goes
    // to its parent, found by depth on the way down, in one pass back up.
    std::vector<size_t> Parent(FOut.Parts.size(), 0);
    std::vector<size_t> Open;
    for (size_t Index = 0; Index < FOut.Parts.size(); ++Index) {
        const size_t Depth = static_cast<size_t>(FOut.Parts[Index].Depth);
        Open.resize(std::min(Open.size(), Depth));
        Parent[Index] = Open.empty() ? Index : Open.back();
        Open.push_back(Index);
    }
    for (size_t Index = FOut.Parts.size(); Index-- > 1;) {
        TMessageRange& Above = FOut.Parts[Parent[Index]].Range;
        Above.End = std::max(Above.End, FOut.Parts[Index].Range.End);
    }
    if (Skipped > 0)
        Collect(FProblems, 1006,
            "Mehr als " + Thousands(FOptions.MaxParts) + " Teile: " + Thousands(Skipped)
                + " weitere nicht aufgeführt.");
}

void TDecomposer::Run()
{
    InitGMime();
    // Bytes with NUL or lines beyond the limit of RFC 5322.
    const size_t Nuls = static_cast<size_t>(std::count(FBytes.begin(), FBytes.end(), '\0'));
    if (Nuls > 0) {
        const uint64_t First = FBytes.find('\0');
        Collect(FProblems, 1007, "Die Nachricht enthält " + Thousands(Nuls) + " NUL-Bytes.",
            TMessageRange { First, First + 1, 0, 0 });
    }
    uint64_t Longest = 0;
    uint64_t LongestAt = 0;
    for (size_t At = 0; At < FBytes.size();) {
        const void* Found = std::memchr(FBytes.data() + At, '\n', FBytes.size() - At);
        const size_t End = Found ? static_cast<size_t>(static_cast<const char*>(Found) - FBytes.data()) : FBytes.size();
        if (End - At > Longest) {
            Longest = End - At;
            LongestAt = At;
        }
        At = End + 1;
    }
    if (Longest > kLongestLine)
        Collect(FProblems, 1008,
            "Eine Zeile ist " + Thousands(Longest) + " Bytes lang (erlaubt sind 998 ohne Zeilenende).",
            TMessageRange { LongestAt, LongestAt + Longest, 0, 0 });

    // GMime reads the caller's bytes in place: a stream on a byte array it
    // does not own and never writes to, so no copy of a large message is made.
    GByteArray View {};
    View.data = reinterpret_cast<guint8*>(const_cast<char*>(FBytes.data()));
    View.len = static_cast<guint>(FBytes.size());
    GMimeStream* Stream = g_mime_stream_mem_new();
    g_mime_stream_mem_set_byte_array(GMIME_STREAM_MEM(Stream), &View);
    g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(Stream), FALSE);
    GMimeParserOptions* Options = g_mime_parser_options_new();
    FParserOptions = Options;
    g_mime_parser_options_set_warning_callback(Options, OnWarning, &FProblems);
    GMimeParser* Parser = g_mime_parser_new_with_stream(Stream);
    g_mime_parser_set_format(Parser, GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(Parser, TRUE);
    GMimeMessage* Message = g_mime_parser_construct_message(Parser, Options);
    g_object_unref(Parser);
    if (Message) {
        FOut.IsMessage = !TopHeaders(Message).empty();
    }
    if (FOut.IsMessage) {
        ReadHeaders(Message);
        if (GMimeObject* Body = g_mime_message_get_mime_part(Message))
            WalkParts(Body);
    }
    if (Message)
        g_object_unref(Message);
    g_mime_parser_options_free(Options);
    g_object_unref(Stream);
    FOut.Problems = FProblems.Finish();
}

// Every range of the anatomy, to be given line numbers.
std::vector<TMessageRange*> AllRanges(TMessageAnatomy& Anatomy)
{
    std::vector<TMessageRange*> Ranges;
    for (THeaderField& Field : Anatomy.Headers)
        Ranges.push_back(&Field.Range);
    for (TReceivedHop& Hop : Anatomy.Received)
        Ranges.push_back(&Hop.Range);
    for (TAuthResult& Result : Anatomy.AuthenticationResults)
        Ranges.push_back(&Result.Range);
    for (TDkimSignature& Signature : Anatomy.DkimSignatures)
        Ranges.push_back(&Signature.Range);
    for (TMimePart& Part : Anatomy.Parts) {
        Ranges.push_back(&Part.Range);
        Ranges.push_back(&Part.BodyRange);
    }
    for (TMessageProblem& Problem : Anatomy.Problems)
        if (Problem.Range)
            Ranges.push_back(&*Problem.Range);
    return Ranges;
}

// Lines for byte offsets of Bytes in one pass; then the offsets moved back
// into the input as given (status line and removed dots counted in).
void PlaceRanges(const std::string& Bytes, const TUnstuffed* Stuffing, TMessageAnatomy& Anatomy)
{
    const std::vector<TMessageRange*> Ranges = AllRanges(Anatomy);
    std::vector<uint64_t> Offsets;
    Offsets.reserve(Ranges.size() * 2);
    for (TMessageRange* Range : Ranges) {
        Range->End = std::min<uint64_t>(std::max(Range->End, Range->Begin), Bytes.size());
        Range->Begin = std::min<uint64_t>(Range->Begin, Range->End);
        Offsets.push_back(Range->Begin);
        Offsets.push_back(Range->End > Range->Begin ? Range->End - 1 : Range->Begin);
    }
    std::sort(Offsets.begin(), Offsets.end());
    Offsets.erase(std::unique(Offsets.begin(), Offsets.end()), Offsets.end());
    std::vector<uint64_t> Lines(Offsets.size());
    uint64_t Line = 0;
    size_t At = 0;
    for (size_t Index = 0; Index < Offsets.size(); ++Index) {
        while (At < Offsets[Index]) {
            const void* Found = std::memchr(Bytes.data() + At, '\n', Offsets[Index] - At);
            if (!Found) {
                At = Offsets[Index];
                break;
            }
            ++Line;
            At = static_cast<size_t>(static_cast<const char*>(Found) - Bytes.data()) + 1;
        }
        Lines[Index] = Line;
    }
    auto LineOf = [&](uint64_t Offset) {
        return Lines[static_cast<size_t>(std::lower_bound(Offsets.begin(), Offsets.end(), Offset) - Offsets.begin())];
    };
    auto Shift = [&](uint64_t Offset, uint64_t LineHere, bool AtStart) {
        if (!Stuffing)
            return Offset;
        const uint64_t InputLine = LineHere + Stuffing->SkippedLines;
        const auto& Removed = Stuffing->RemovedAt;
        const auto Before = AtStart ? std::lower_bound(Removed.begin(), Removed.end(), InputLine)
                                    : std::upper_bound(Removed.begin(), Removed.end(), InputLine);
        return Offset + Stuffing->SkippedBytes + static_cast<uint64_t>(Before - Removed.begin());
    };
    for (TMessageRange* Range : Ranges) {
        const bool Empty = Range->End == Range->Begin;
        Range->FirstLine = LineOf(Range->Begin);
        Range->LastLine = LineOf(Empty ? Range->Begin : Range->End - 1);
        const bool BeginsLine = Range->Begin == 0 || Bytes[Range->Begin - 1] == '\n';
        Range->Begin = Shift(Range->Begin, Range->FirstLine, BeginsLine);
        Range->End = Empty ? Range->Begin : Shift(Range->End - 1, Range->LastLine, false) + 1;
        if (Stuffing) {
            Range->FirstLine += Stuffing->SkippedLines;
            Range->LastLine += Stuffing->SkippedLines;
        }
    }
}

// With a warning callback GMime decodes every field while it parses, in time
// that grows with the square of a field full of encoded words (a 1 MB one
// takes a minute). Overlong fields reach it renamed and with their "=?"
// blunted, at the same length so that every offset holds: in the message's
// own header (Renamed keeps their names; their values are decoded from the
// bytes as given) and in the header blocks of parts, found after lines that
// begin with "--" (named in PartFields, not read).
void TameOverlongFields(const std::string& Message, std::string& Tamed, std::map<uint64_t, std::string>& Renamed,
    std::vector<TMessageProblem>& PartFields)
{
    auto TameBlock = [&](size_t At, bool TopLevel) {
        while (At < Message.size() && Message[At] != '\n' && Message[At] != '\r' && Message.compare(At, 2, "--") != 0) {
            const size_t LineEnd = std::min(Message.find('\n', At), Message.size());
            const size_t Colon = Message.find(':', At);
            if (Colon == std::string::npos || Colon >= LineEnd || Colon == At)
                return;
            const uint64_t End = FieldEnd(Message, At);
            if (End - At > kLongField) {
                if (Tamed.empty())
                    Tamed = Message;
                const std::string Name = Message.substr(At, std::min<size_t>(Colon - At, 60));
                if (TopLevel)
                    Renamed[At] = Message.substr(At, Colon - At);
                else
                    PartFields.push_back({ "Das Kopffeld " + Name + " eines Teils ist " + Thousands(End - At)
                            + " Bytes lang und wird nicht ausgewertet.",
                        TMessageRange { At, End, 0, 0 } });
                Tamed[At] = 'X';
                std::fill(Tamed.begin() + static_cast<std::ptrdiff_t>(At) + 1,
                    Tamed.begin() + static_cast<std::ptrdiff_t>(Colon), '-');
                for (size_t Mark = Tamed.find("=?", Colon); Mark < End; Mark = Tamed.find("=?", Mark + 2))
                    Tamed[Mark] = 'x';
            }
            At = End;
        }
    };
    TameBlock(0, true);
    for (size_t At = 0; At < Message.size();) {
        const size_t Newline = Message.find('\n', At);
        if (Newline == std::string::npos)
            break;
        if (Message.compare(At, 2, "--") == 0)
            TameBlock(Newline + 1, false);
        At = Newline + 1;
    }
}

} // namespace

bool UnstuffPop3Body(const std::string& Bytes, TUnstuffed& Result)
{
    // The last line must be a lone "." (with CR LF, LF or nothing after it).
    size_t End = Bytes.size();
    if (End > 0 && Bytes[End - 1] == '\n')
        --End;
    if (End > 0 && Bytes[End - 1] == '\r')
        --End;
    if (End == 0 || Bytes[End - 1] != '.' || (End >= 2 && Bytes[End - 2] != '\n'))
        return false;
    const size_t LastLine = End - 1;
    if (LastLine == 0)
        return false; // a lone "." is no message
    size_t Begin = 0;
    uint64_t Line = 0;
    Result = {};
    if (Bytes.compare(0, 3, "+OK") == 0) {
        const size_t Newline = Bytes.find('\n');
        if (Newline == std::string::npos || Newline + 1 > LastLine)
            return false;
        Begin = Newline + 1;
        Result.SkippedBytes = Begin;
        Result.SkippedLines = 1;
        Line = 1;
    }
    // Every line with a leading dot must be stuffed, or this is no dump.
    for (size_t At = Begin; At < LastLine;) {
        const size_t Newline = std::min(Bytes.find('\n', At), LastLine - 1);
        if (Bytes[At] == '.' && (At + 1 >= Bytes.size() || Bytes[At + 1] != '.'))
            return false;
        At = Newline + 1;
    }
    Result.Message.reserve(LastLine - Begin);
    for (size_t At = Begin; At < LastLine; ++Line) {
        size_t Newline = Bytes.find('\n', At);
        if (Newline == std::string::npos || Newline >= LastLine)
            Newline = LastLine - 1;
        if (Bytes[At] == '.') {
            Result.RemovedAt.push_back(Line);
            ++At;
        }
        Result.Message.append(Bytes, At, Newline + 1 - At);
        At = Newline + 1;
    }
    return true;
}

TMessageAnatomy DecomposeMessage(const std::string& Bytes, const TDecomposeOptions& Options)
{
    TMessageAnatomy Anatomy;
    Anatomy.Size = Bytes.size();
    TUnstuffed Stuffing;
    const bool Dump = UnstuffPop3Body(Bytes, Stuffing);
    if (!Dump)
        Stuffing = {};
    const std::string& Message = Dump ? Stuffing.Message : Bytes;
    Anatomy.Unstuffed = Dump;
    // GMime counts in 32 bits in places.
    if (Message.size() >= (1ull << 31)) {
        Anatomy.Problems.push_back({ "Die Datei ist größer als 2 GB und wird nicht zerlegt.", std::nullopt });
        return Anatomy;
    }
    std::map<uint64_t, std::string> Renamed;
    std::vector<TMessageProblem> PartFields;
    std::string Tamed;
    TameOverlongFields(Message, Tamed, Renamed, PartFields);
    TDecomposer(Tamed.empty() ? Message : Tamed, Options, Anatomy, Renamed, Message).Run();
    Anatomy.Problems.insert(Anatomy.Problems.end(), PartFields.begin(), PartFields.end());
    PlaceRanges(Message, Dump ? &Stuffing : nullptr, Anatomy);
    return Anatomy;
}
