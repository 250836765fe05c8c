// Base64, the APOP timestamp and digest: the RFC examples and what a hostile
// or broken server sends instead.
#include "auth/Pop3Auth.h"

#include <gtest/gtest.h>

TEST(Base64, EncodesAndDecodesTheVectorsOfRfc4648)
{
    const std::pair<std::string, std::string> Vectors[] = { { "", "" }, { "f", "Zg==" }, { "fo", "Zm8=" },
        { "foo", "Zm9v" }, { "foob", "Zm9vYg==" }, { "fooba", "Zm9vYmE=" }, { "foobar", "Zm9vYmFy" } };
    for (const auto& [Bytes, Text] : Vectors) {
        EXPECT_EQ(Base64Encode(Bytes), Text);
        std::string Decoded = "old";
        EXPECT_TRUE(Base64Decode(Text, Decoded)) << Text;
        EXPECT_EQ(Decoded, Bytes);
    }
    std::string All;
    for (int Byte = 0; Byte < 256; ++Byte)
        All += static_cast<char>(Byte);
    std::string Back;
    ASSERT_TRUE(Base64Decode(Base64Encode(All), Back));
    EXPECT_EQ(Back, All);
}

TEST(Base64, RefusesWhatIsNotCanonical)
{
    for (const char* Text : { "Zg", "Zg=", "Zg===", "Zm9v\r\n", " Zm9v", "Zm 9v",
             "Zm9v====", "Z===", "====", "Zh==", "Zm9=", "Zg==Zm9v", "Zm-v", "Zm_v" })
        EXPECT_FALSE([&] {
            std::string Bytes;
            return Base64Decode(Text, Bytes);
        }()) << Text;
    std::string Bytes;
    EXPECT_FALSE(Base64Decode(std::string("Zm9v\0AAA", 8), Bytes));
}

TEST(Apop, ComputesTheExampleOfRfc1939)
{
    const std::string Greeting = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";
    const std::string Timestamp = GreetingTimestamp(Greeting);
    EXPECT_EQ(Timestamp, "<1896.697170952@dbc.mtview.ca.us>");
    EXPECT_EQ(ApopDigest(Timestamp, "tanstaaf"), "c4c9334bac560ecc979e58001b3e22fb");
    EXPECT_TRUE(ApopMatches(Timestamp, "tanstaaf", "c4c9334bac560ecc979e58001b3e22fb"));
    EXPECT_TRUE(ApopMatches(Timestamp, "tanstaaf", "C4C9334BAC560ECC979E58001B3E22FB"));
    EXPECT_FALSE(ApopMatches(Timestamp, "tanstaaF", "c4c9334bac560ecc979e58001b3e22fb"));
    EXPECT_FALSE(ApopMatches(Timestamp, "tanstaaf", "c4c9334bac560ecc979e58001b3e22f"));
    EXPECT_FALSE(ApopMatches(Timestamp, "tanstaaf", ""));
}

TEST(Apop, FindsOnlyRealTimestampsInGreetings)
{
    EXPECT_EQ(GreetingTimestamp("+OK Dovecot ready."), "");
    EXPECT_EQ(GreetingTimestamp("+OK <no-at-sign>"), "");
    EXPECT_EQ(GreetingTimestamp("+OK <a b@c>"), "");
    EXPECT_EQ(GreetingTimestamp("+OK <a@b"), "");
    EXPECT_EQ(GreetingTimestamp("+OK <@b>"), "");
    EXPECT_EQ(GreetingTimestamp("+OK <a\x01@b>"), "");
    EXPECT_EQ(GreetingTimestamp("+OK <x <1.2@host> ready"), "<1.2@host>");
    EXPECT_EQ(GreetingTimestamp("+OK Hallo <> <7@a.b> <8@c.d>"), "<7@a.b>");
    EXPECT_EQ(GreetingTimestamp(std::string(1 << 20, '<')), "");
    EXPECT_FALSE(GreetingTimestampTooLong(std::string(1 << 20, '<')));
    EXPECT_FALSE(GreetingTimestampTooLong("+OK <a@b"));
}

TEST(Apop, TimestampsPastTheLimitAreTooLongNotMissing)
{
    const std::string Longest = "<" + std::string(MaxTimestampChars - 2, '1') + "@x>";
    const struct {
        std::string Greeting;
        std::string Timestamp;
        bool TooLong;
    } Cases[] = {
        { "+OK " + Longest, Longest, false },
        { "+OK <1" + Longest.substr(1), "", true },
        { "+OK <1@" + std::string(4000, 'h'), "", true }, // cut off before its ">" (4 KB of a greeting are kept)
        { "+OK <" + std::string(1 << 20, '1') + "@x> <2@y>", "<2@y>", true },
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(GreetingTimestampTooLong(Case.Greeting), Case.TooLong) << Case.Greeting.size();
        EXPECT_EQ(GreetingTimestamp(Case.Greeting), Case.Timestamp);
    }
}
