// Encoding queries and decoding responses, including hostile responses.
#include "dns/SmartNSMessage.h"
#include "tests/dns/CapturedResponses.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct SyncCounter : TSmartNSOwner {
    int falls = 0;
    void SetSync(bool Value) override
    {
        if (!Value)
            ++falls;
    }
};

// Reader over an exact-size heap copy, so ASan sees any read past the data.
struct Received {
    explicit Received(const std::vector<uint8_t>& bytes, size_t length)
        : data(new uint8_t[length > 0 ? length : 1])
    {
        std::copy(bytes.begin(), bytes.begin() + static_cast<long>(length), data.get());
        reader.Message = data.get();
        reader.Length = static_cast<int32_t>(length);
        reader.Pos = 2;
    }
    explicit Received(const std::vector<uint8_t>& bytes)
        : Received(bytes, bytes.size())
    {
    }
    std::unique_ptr<uint8_t[]> data;
    TSmartNSReader reader;
};

std::vector<uint8_t> Encoded(const TSmartNSHeader& header)
{
    std::vector<uint8_t> bytes(12);
    TSmartNSWriter w { bytes.data(), 12, 0, false, false };
    header.Encode(w);
    return bytes;
}

// A DNS message with the TCP prefix in front (its value is not read here).
std::vector<uint8_t> Framed(std::vector<uint8_t> message)
{
    message.insert(
        message.begin(), { static_cast<uint8_t>(message.size() >> 8), static_cast<uint8_t>(message.size() & 0xFF) });
    return message;
}

// Header of a response: ID 1, flags 0x8180, one question, `answers` answers.
std::vector<uint8_t> ResponseHeader(uint8_t answers)
{
    return { 0x00, 0x01, 0x81, 0x80, 0x00, 0x01, 0x00, answers, 0x00, 0x00, 0x00, 0x00 };
}

} // namespace

TEST(DnsHeader, FreshHeaderAsksForRecursionWithOneQuestion)
{
    TSmartNSHeader header(nullptr);
    const auto bytes = Encoded(header);
    EXPECT_EQ(bytes[2], 0x01);
    EXPECT_EQ(bytes[3], 0x00);
    const std::vector<uint8_t> counts(bytes.begin() + 4, bytes.end());
    EXPECT_EQ(counts, (std::vector<uint8_t> { 0, 1, 0, 0, 0, 0, 0, 0 }));
    EXPECT_EQ(header.Offset(), 2);
    EXPECT_EQ(header.Size(), 12);
}

TEST(DnsHeader, DecodesNameErrorFlags)
{
    // ID 0xBEEF, flags 0x8183, counts 1, 0, 0, 0
    Received in(Framed({ 0xBE, 0xEF, 0x81, 0x83, 0, 1, 0, 0, 0, 0, 0, 0 }));
    TSmartNSHeader header(nullptr);
    ASSERT_TRUE(header.Decode(in.reader));
    EXPECT_EQ(header.ID(), 0xBEEF);
    EXPECT_TRUE(header.QR);
    EXPECT_TRUE(header.RD());
    EXPECT_TRUE(header.RA);
    EXPECT_FALSE(header.AA);
    EXPECT_FALSE(header.TC);
    EXPECT_EQ(header.Opcode, 0);
    EXPECT_EQ(header.RCODE, 3);
    EXPECT_EQ(header.QDCOUNT, 1);
    EXPECT_EQ(header.Size(), 12);
    EXPECT_EQ(in.reader.Pos, 14);
}

TEST(DnsHeader, ChangesReportToOwnerButDecodingDoesNot)
{
    SyncCounter owner;
    TSmartNSHeader header(&owner);
    owner.falls = 0;
    header.SetRD(true); // unchanged: nothing
    EXPECT_EQ(owner.falls, 0);
    header.SetID(static_cast<uint16_t>(header.ID() + 1));
    header.Clear(false);
    TSmartNSHeader other(nullptr);
    header.Assign(other);
    EXPECT_EQ(owner.falls, 3);
    EXPECT_EQ(header.ID(), other.ID());

    Received in(Framed({ 0, 1, 0x81, 0x80, 0, 1, 0, 0, 0, 0, 0, 0 }));
    header.Decode(in.reader);
    EXPECT_EQ(owner.falls, 3);
}

TEST(DnsQuestion, EncodesMxQuestionForXyz)
{
    TSmartNSQuestion question(nullptr);
    question.SetQName("x.yz");
    question.SetQType("MX");
    question.SetQClass("IN");
    EXPECT_EQ(question.Size(), 10);
    std::vector<uint8_t> bytes(10);
    TSmartNSWriter w { bytes.data(), 10, 0, false, false };
    question.Encode(w);
    EXPECT_FALSE(w.Overflow);
    EXPECT_EQ(bytes, (std::vector<uint8_t> { 1, 0x78, 2, 0x79, 0x7A, 0, 0, 15, 0, 1 }));
}

TEST(DnsQuestion, UnknownTypeBecomesStarOnClearButSetterKeepsIt)
{
    TSmartNSQuestion question(nullptr);
    EXPECT_EQ(question.QType(), "*");
    EXPECT_EQ(question.QClass(), "*");
    question.SetQType("AAAA");
    question.Clear();
    EXPECT_EQ(question.QType(), "*");
    question.SetQType("AAAA");
    EXPECT_EQ(question.QType(), "AAAA");
    question.SetQName("a");
    std::vector<uint8_t> bytes(7);
    TSmartNSWriter w { bytes.data(), 7, 0, false, false };
    question.Encode(w);
    EXPECT_EQ(bytes[4], 0);
    EXPECT_EQ(bytes[5], 0); // type 0
}

TEST(DnsQuestion, SetterReportsOnlyRealChanges)
{
    SyncCounter owner;
    TSmartNSQuestion question(&owner);
    owner.falls = 0;
    question.SetQName("example.test");
    question.SetQName("example.test");
    question.SetQName("Example.test"); // case counts
    EXPECT_EQ(owner.falls, 2);
}

TEST(DnsTables, LookUpBothWays)
{
    EXPECT_EQ(TypeToText(15), "MX");
    EXPECT_EQ(TypeToText(28), "?");
    EXPECT_EQ(TypeToText(255 + 15), "?");
    EXPECT_EQ(ClassToText(254), "?");
    EXPECT_EQ(ClassToText(1), "IN");
    EXPECT_EQ(TextToClass("in"), 1);
    EXPECT_EQ(TextToType("mx"), 15);
    EXPECT_EQ(TextToType("*"), 255);
    EXPECT_EQ(TextToType("AAAA"), 0);
    EXPECT_EQ(TypeToText(33), "SRV");
    EXPECT_EQ(TextToType("srv"), 33);
}

TEST(DnsEncoder, NeverWritesPastItsBuffer)
{
    // A name longer than the buffer: cut at its end and marked.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[8]);
    TSmartNSWriter w { buffer.get(), 8, 0, false, false };
    PutName(w, "mail.example.test");
    EXPECT_TRUE(w.Overflow);
    EXPECT_FALSE(w.Refused);
    EXPECT_EQ(w.Pos, 8);
}

TEST(DnsEncoder, OneRootDotIsDroppedAndBadNamesNeverReachTheWire)
{
    using Fault = TSmartNSNameFault;
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    const std::pair<std::string, Fault> cases[] = {
        { "x.yz.", Fault::None },
        { name253 + ".", Fault::None },
        { ".", Fault::EmptyLabel },
        { "a..b", Fault::EmptyLabel },
        { ".x", Fault::EmptyLabel },
        { "x.yz..", Fault::EmptyLabel },
        { label63 + "a.x", Fault::LongLabel },
        { name253 + "b", Fault::LongName },
    };
    for (const auto& [name, fault] : cases) {
        EXPECT_EQ(CheckName(name), fault) << name.size();
        std::vector<uint8_t> bytes(300, 0xEE);
        TSmartNSWriter w { bytes.data(), 300, 0, false, false };
        PutName(w, name);
        EXPECT_EQ(w.Refused, fault != Fault::None) << name.size();
        // Refused: nothing written. Otherwise it reads back without the dot.
        TSmartNSReader r { bytes.data(), w.Pos, 0, false };
        EXPECT_EQ(GetName(r) + ".", fault == Fault::None ? name : ".");
        EXPECT_EQ(w.Pos, fault == Fault::None ? static_cast<int32_t>(name.size()) + 1 : 0);
    }
}

TEST(DnsNames, PointerToOffset12ReadsTheQuestionName)
{
    auto message = ResponseHeader(0);
    // question "ab.c" at 14, then a name that is only a pointer to offset 12
    message.insert(message.end(), { 2, 'a', 'b', 1, 'c', 0, 0, 15, 0, 1, 0xC0, 0x0C });
    Received in(Framed(message));
    in.reader.Pos = 14 + 10;
    EXPECT_EQ(GetName(in.reader), "ab.c");
    EXPECT_EQ(in.reader.Pos, 26);
    EXPECT_FALSE(in.reader.Failed);
}

TEST(DnsNames, LabelsThenPointerAndRoot)
{
    auto message = ResponseHeader(0);
    // question "ab.c"; then "mx.x" + pointer to 12; then root, type 15, class 1
    message.insert(message.end(), { 2, 'a', 'b', 1, 'c', 0, 0, 15, 0, 1 });
    message.insert(message.end(), { 2, 'm', 'x', 1, 'x', 0xC0, 0x0C });
    message.insert(message.end(), { 0, 0, 15, 0, 1 });
    Received in(Framed(message));
    in.reader.Pos = 24;
    EXPECT_EQ(GetName(in.reader), "mx.x.ab.c");
    EXPECT_EQ(in.reader.Pos, 31);
    EXPECT_EQ(GetName(in.reader), "");
    EXPECT_EQ(in.reader.Pos, 32);
    EXPECT_EQ(GetWord(in.reader), 15);
    EXPECT_EQ(GetWord(in.reader), 1);
    EXPECT_FALSE(in.reader.Failed);
}

TEST(DnsNames, PointerLoopsAndForwardPointersFail)
{
    const std::vector<std::vector<uint8_t>> hostile = {
        { 0xC0, 0x0C }, // points at itself
        { 1, 'a', 0xC0, 0x0C }, // label, then back to its own start
        { 0xC0, 0x0E, 0xC0, 0x0C }, // forward to a pointer that points back
        { 0xC0 }, // half a pointer at the end
        { 5, 'a', 'b' }, // label longer than the data
        { 1, 'a' }, // no closing zero
    };
    for (const auto& name : hostile) {
        auto message = ResponseHeader(0);
        message.insert(message.end(), name.begin(), name.end());
        Received in(Framed(message));
        in.reader.Pos = 14;
        EXPECT_EQ(GetName(in.reader), "");
        EXPECT_TRUE(in.reader.Failed);
        EXPECT_EQ(GetWord(in.reader), 0); // reads after a failure give nothing
    }
}

TEST(DnsNames, LongBackwardChainsAreCut)
{
    // 200 names, each a 63-byte label followed by a pointer to the one before:
    // valid pointers, but the text would grow far beyond any real name.
    auto message = ResponseHeader(0);
    message.insert(message.end(), { 1, 'a', 0 });
    int32_t previous = 12;
    for (int i = 0; i < 200; ++i) {
        const int32_t here = static_cast<int32_t>(message.size());
        message.push_back(63);
        message.insert(message.end(), 63, 'x');
        message.push_back(static_cast<uint8_t>(0xC0 | (previous >> 8)));
        message.push_back(static_cast<uint8_t>(previous & 0xFF));
        previous = here;
    }
    Received in(Framed(message));
    in.reader.Pos = 2 + previous;
    EXPECT_EQ(GetName(in.reader), "");
    EXPECT_TRUE(in.reader.Failed);
}

TEST(DnsMX, PreferenceAndPointerToQuestionName)
{
    auto message = ResponseHeader(1);
    message.insert(message.end(), { 2, 'a', 'b', 1, 'c', 0, 0, 15, 0, 1 });
    // answer: name -> 12, MX, IN, TTL 60, RDLENGTH 4, preference 10, pointer -> 12
    message.insert(message.end(), { 0xC0, 0x0C, 0, 15, 0, 1, 0, 0, 0, 60, 0, 4, 0, 10, 0xC0, 0x0C });
    Received in(Framed(message));
    TSmartNSHeader header(nullptr);
    TSmartNSQuestion question(nullptr);
    TSmartNSRecords an, ns, ar;
    ASSERT_TRUE(DecodeResponse(in.reader, header, question, an, ns, ar));
    ASSERT_EQ(an.Count(), 1);
    const auto& record = an.Items(0);
    EXPECT_EQ(record.RRName, "ab.c");
    EXPECT_EQ(record.RRType, "MX");
    EXPECT_EQ(record.RRClass, "IN");
    EXPECT_EQ(record.TTL, 60);
    EXPECT_EQ(record.Size, 16);
    TSmartNSMX mx;
    record.Data.GetMX(mx);
    EXPECT_EQ(mx.Preference, 10);
    EXPECT_EQ(mx.Exchange, question.QName());
}

TEST(DnsMX, DataRunningPastTheBytesGivesNothing)
{
    auto message = ResponseHeader(0);
    // preference 10, then a label announcing 9 bytes of which 2 arrived
    message.insert(message.end(), { 0, 10, 9, 'm', 'x' });
    Received in(Framed(message));
    TSmartNSData data(in.data.get(), in.reader.Length, 14, 5);
    TSmartNSMX mx;
    mx.Preference = 99;
    mx.Exchange = "old";
    EXPECT_FALSE(data.GetMX(mx));
    EXPECT_EQ(mx.Preference, 0);
    EXPECT_EQ(mx.Exchange, "");

    // The same bytes, but the record claims only 3 of them: still nothing.
    TSmartNSData shortData(in.data.get(), in.reader.Length, 14, 3);
    EXPECT_FALSE(shortData.GetMX(mx));
    EXPECT_EQ(mx.Exchange, "");
}

TEST(DnsMX, NameLongerThanAnyRealOneIsNotCutButUnreadable)
{
    auto message = ResponseHeader(0);
    message.insert(message.end(), { 0, 10 });
    for (int i = 0; i < 4; ++i) {
        message.push_back(63);
        message.insert(message.end(), 63, 'x');
    }
    message.push_back(0); // 255 characters as text
    Received in(Framed(message));
    TSmartNSMX mx;
    EXPECT_FALSE(TSmartNSData(in.data.get(), in.reader.Length, 14, 2 + 4 * 64 + 1).GetMX(mx));
    EXPECT_EQ(mx.Exchange, "");
}

namespace {

// A response for "ab.c" with one answer whose type is SRV and whose data
// are the given bytes (RDLENGTH counts them, unless `rdlength` says more).
std::vector<uint8_t> SrvAnswer(const std::vector<uint8_t>& rdata, int rdlength = -1)
{
    auto message = ResponseHeader(1);
    // question "ab.c" at 14, type SRV, class IN
    message.insert(message.end(), { 2, 'a', 'b', 1, 'c', 0, 0, 33, 0, 1 });
    // answer: name -> 12, SRV, IN, TTL 60, RDLENGTH
    const auto length = static_cast<uint16_t>(rdlength < 0 ? rdata.size() : static_cast<size_t>(rdlength));
    message.insert(message.end(),
        { 0xC0, 0x0C, 0, 33, 0, 1, 0, 0, 0, 60, static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length & 0xFF) });
    message.insert(message.end(), rdata.begin(), rdata.end());
    return Framed(message);
}

// The record's data start: prefix 2 + header 12 + question 10 + answer head 12.
constexpr int32_t SrvRData = 36;

} // namespace

TEST(DnsSRV, ReadsPriorityWeightPortAndTarget)
{
    const struct {
        const char* what;
        std::vector<uint8_t> rdata;
        TSmartNSSRV expected;
    } cases[] = {
        // priority 10, weight 60, port 995, "pop.x" then the root
        { "plain target", { 0, 10, 0, 60, 0x03, 0xE3, 3, 'p', 'o', 'p', 1, 'x', 0 }, { 10, 60, 995, "pop.x" } },
        // priority 65535, weight 0, port 110, "pop" + pointer to the question name at 12
        { "compressed target", { 0xFF, 0xFF, 0, 0, 0, 110, 3, 'p', 'o', 'p', 0xC0, 0x0C },
            { 65535, 0, 110, "pop.ab.c" } },
        // priority 0, weight 0, port 0, the root alone: no service here
        { "target \".\"", { 0, 0, 0, 0, 0, 0, 0 }, { 0, 0, 0, "" } },
    };
    for (const auto& c : cases) {
        Received in(SrvAnswer(c.rdata));
        TSmartNSHeader header(nullptr);
        TSmartNSQuestion question(nullptr);
        TSmartNSRecords an, ns, ar;
        ASSERT_TRUE(DecodeResponse(in.reader, header, question, an, ns, ar)) << c.what;
        ASSERT_EQ(an.Count(), 1);
        EXPECT_EQ(an.Items(0).RRType, "SRV");
        TSmartNSSRV srv;
        srv.Target = "old";
        EXPECT_TRUE(an.Items(0).Data.GetSRV(srv)) << c.what;
        EXPECT_EQ(srv.Priority, c.expected.Priority) << c.what;
        EXPECT_EQ(srv.Weight, c.expected.Weight) << c.what;
        EXPECT_EQ(srv.Port, c.expected.Port) << c.what;
        EXPECT_EQ(srv.Target, c.expected.Target) << c.what;
    }
}

TEST(DnsSRV, NeverReadsOutsideTheRecord)
{
    const std::vector<uint8_t> label63 = [] {
        std::vector<uint8_t> bytes { 63 };
        bytes.insert(bytes.end(), 63, 'x');
        return bytes;
    }();
    std::vector<uint8_t> longName { 0, 1, 0, 1, 0, 1 };
    for (int i = 0; i < 4; ++i)
        longName.insert(longName.end(), label63.begin(), label63.end());
    longName.push_back(0); // 255 characters as text
    const struct {
        const char* what;
        std::vector<uint8_t> message;
    } cases[] = {
        // fields cut short: priority and half the weight
        { "short fields", SrvAnswer({ 0, 10, 0 }) },
        // all fields, but the record ends before the target
        { "no target", SrvAnswer({ 0, 10, 0, 60, 0x03, 0xE3 }) },
        // the target's label runs on into the next record's bytes: RDLENGTH 9 of 13
        { "target past RDLENGTH", SrvAnswer({ 0, 10, 0, 60, 0x03, 0xE3, 3, 'p', 'o', 'p', 1, 'x', 0 }, 9) },
        // a pointer forward, to the record's own end
        { "pointer forward", SrvAnswer({ 0, 10, 0, 60, 0x03, 0xE3, 0xC0, 50 }) },
        { "longer than any real name", SrvAnswer(longName) },
    };
    for (const auto& c : cases) {
        Received in(c.message);
        const auto rdlength = static_cast<uint16_t>((in.data[SrvRData - 2] << 8) | in.data[SrvRData - 1]);
        // Over the record's data alone: nothing of the message around it is read.
        TSmartNSData data(in.data.get(), in.reader.Length, SrvRData, rdlength);
        TSmartNSSRV srv { 1, 2, 3, "old" };
        EXPECT_FALSE(data.GetSRV(srv)) << c.what;
        EXPECT_EQ(srv.Priority, 0) << c.what;
        EXPECT_EQ(srv.Weight, 0) << c.what;
        EXPECT_EQ(srv.Port, 0) << c.what;
        EXPECT_EQ(srv.Target, "") << c.what;
    }
    // No data at all, as in a record that was never decoded.
    TSmartNSSRV srv { 1, 2, 3, "old" };
    EXPECT_FALSE(TSmartNSData().GetSRV(srv));
    EXPECT_EQ(srv.Target, "");
}

TEST(DnsResponse, DecodesCapturedMxList)
{
    Received in(Captured::MailTestMx);
    TSmartNSHeader header(nullptr);
    TSmartNSQuestion question(nullptr);
    TSmartNSRecords an, ns, ar;
    ASSERT_TRUE(DecodeResponse(in.reader, header, question, an, ns, ar));
    EXPECT_EQ(question.QName(), "mail.test");
    EXPECT_EQ(question.QType(), "MX");
    ASSERT_EQ(an.Count(), 3);
    const char* hosts[] = { "mx30.mail.test", "mx10.mail.test", "mx20.mail.test" };
    const uint16_t preferences[] = { 30, 10, 20 };
    for (int i = 0; i < 3; ++i) {
        TSmartNSMX mx;
        an.Items(i).Data.GetMX(mx);
        EXPECT_EQ(mx.Exchange, hosts[i]);
        EXPECT_EQ(mx.Preference, preferences[i]);
    }
    EXPECT_EQ(in.reader.Pos, in.reader.Length);
}

TEST(DnsResponse, EveryTruncationFailsCleanlyAndKeepsWholeRecords)
{
    // Cut the captured CNAME + MX response at every length: no crash, no read
    // past the cut (ASan), and only records that fit completely are kept.
    const auto& full = Captured::AliasTestMx;
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        Received in(full, cut);
        TSmartNSHeader header(nullptr);
        TSmartNSQuestion question(nullptr);
        TSmartNSRecords an, ns, ar;
        const bool complete = DecodeResponse(in.reader, header, question, an, ns, ar);
        EXPECT_EQ(complete, cut == full.size()) << "cut at " << cut;
        for (int i = 0; i < an.Count(); ++i) {
            const auto& record = an.Items(i);
            EXPECT_LE(record.Offset + record.Size, static_cast<int32_t>(cut));
            TSmartNSMX mx;
            record.Data.GetMX(mx);
        }
        if (complete) {
            ASSERT_EQ(an.Count(), 4);
            EXPECT_EQ(an.Items(0).RRType, "CNAME");
        }
    }
}

TEST(DnsResponse, EveryTruncationOfAnSrvAnswerKeepsWholeRecordsOnly)
{
    const auto& full = Captured::Pop3sSrvTestSrv;
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        Received in(full, cut);
        TSmartNSHeader header(nullptr);
        TSmartNSQuestion question(nullptr);
        TSmartNSRecords an, ns, ar;
        const bool complete = DecodeResponse(in.reader, header, question, an, ns, ar);
        EXPECT_EQ(complete, cut == full.size()) << "cut at " << cut;
        for (int i = 0; i < an.Count(); ++i) {
            const auto& record = an.Items(i);
            EXPECT_LE(record.Offset + record.Size, static_cast<int32_t>(cut));
            TSmartNSSRV srv;
            EXPECT_TRUE(record.Data.GetSRV(srv)) << "cut at " << cut;
            EXPECT_EQ(srv.Target.substr(0, 4), "pop-");
        }
    }
    Received in(full);
    TSmartNSHeader header(nullptr);
    TSmartNSQuestion question(nullptr);
    TSmartNSRecords an, ns, ar;
    ASSERT_TRUE(DecodeResponse(in.reader, header, question, an, ns, ar));
    EXPECT_EQ(question.QName(), "_pop3s._tcp.srv.test");
    EXPECT_EQ(question.QType(), "SRV");
    ASSERT_EQ(an.Count(), 3);
    const struct {
        uint16_t priority, weight, port;
        const char* target;
    } expected[]
        = { { 10, 60, 995, "pop-b.srv.test" }, { 10, 20, 995, "pop-a.srv.test" }, { 20, 0, 1995, "pop-c.srv.test" } };
    for (int i = 0; i < 3; ++i) {
        TSmartNSSRV srv;
        ASSERT_TRUE(an.Items(i).Data.GetSRV(srv));
        EXPECT_EQ(srv.Priority, expected[i].priority);
        EXPECT_EQ(srv.Weight, expected[i].weight);
        EXPECT_EQ(srv.Port, expected[i].port);
        EXPECT_EQ(srv.Target, expected[i].target);
    }
}
