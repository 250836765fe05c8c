// The session transcript as the conversation records it: every byte sent and
// received, and in a redacted export no secret of any log-in.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "auth/AuthCrypto.h"
#include "auth/Pop3Auth.h"
#include "auth/SaslClient.h"
#include "conversation/POP3Conversation.h"
#include "tests/conversation/RecordingView.h"
#include "tests/support/FakeTransport.h"

namespace {

const std::string kPassword = "Geheim-Wort7";
const std::string kToken = "ya29.Zugangs-Token";
const std::string kTimestamp = "<1896.697170952@pop.example>";

std::string Hex(const std::string& Bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string Out;
    for (const char C : Bytes) {
        Out += kDigits[static_cast<unsigned char>(C) >> 4];
        Out += kDigits[static_cast<unsigned char>(C) & 0xF];
    }
    return Out;
}

std::string Export(const TTranscript& Transcript, bool Redacted)
{
    std::ostringstream File;
    TTranscriptWriter Writer(File);
    EXPECT_TRUE(Transcript.Write(Writer, "Brieflotse test", Redacted));
    return File.str();
}

TEST(SessionTranscript, RedactedExportHoldsNoSecretOfAnyLogIn)
{
    const std::string Challenge = "<1896.697170952@postoffice.example.net>";
    const std::vector<std::string> Script = { "+OK bereit " + kTimestamp + "\r\n", "+OK\r\n", "+OK\r\n", "+OK\r\n",
        "+OK\r\n", "+ VXNlcm5hbWU6\r\n", "+ UGFzc3dvcmQ6\r\n", "+OK\r\n", "+ " + Base64Encode(Challenge) + "\r\n",
        "+OK\r\n", "+OK\r\n", "+OK\r\n" };
    TFakeTransport Server;
    for (const std::string& Chunk : Script)
        Server.Chunk(Chunk);
    TRecordingView View;
    View.Answer = true;
    TPOP3Conversation Conversation(View, View.Recorder, Server);
    Conversation.ButtonVerbindenClick("pop.example");
    Conversation.SendAction("USER anna");
    Conversation.SendAction("PASS " + kPassword);
    const std::string Digest = ApopDigest(kTimestamp, kPassword);
    Conversation.SendAction("APOP anna " + Digest);
    const auto Assisted = [&](TSaslMechanism Mechanism, const std::string& Secret) {
        auto Client = std::make_unique<TSaslClient>(Mechanism, "anna", Secret);
        const std::string Line = Client->Start().Line;
        Conversation.SetSaslClient(std::move(Client), "");
        Conversation.SendAction(Line);
    };
    Assisted(TSaslMechanism::Plain, kPassword);
    Assisted(TSaslMechanism::Login, kPassword);
    Assisted(TSaslMechanism::CramMd5, kPassword);
    Assisted(TSaslMechanism::XOAuth2, kToken);
    Assisted(TSaslMechanism::OAuthBearer, kToken);
    ASSERT_FALSE(Conversation.ErrorFlag()) << Conversation.ErrorMessage();
    ASSERT_EQ(Server.StepsLeft(), 0u);

    const std::string CramHex = Hex(HmacMd5(kPassword, Challenge));
    const std::vector<std::string> Secrets = { kPassword, Base64Encode(kPassword), Digest,
        Base64Encode(std::string("\0anna\0", 6) + kPassword), Base64Encode("anna " + CramHex),
        Base64Encode("user=anna\x01"
                     "auth=Bearer "
            + kToken + "\x01\x01"),
        Base64Encode("n,a=anna,\x01"
                     "auth=Bearer "
            + kToken + "\x01\x01") };
    const std::string Redacted = Export(Conversation.Transcript(), true);
    const std::string Clear = Export(Conversation.Transcript(), false);
    for (const std::string& Secret : Secrets) {
        ASSERT_NE(Server.Sent().find(Secret), std::string::npos) << Secret << " was never sent";
        EXPECT_EQ(Redacted.find(Secret), std::string::npos) << Secret;
        EXPECT_NE(Clear.find(Secret), std::string::npos) << Secret;
    }
    EXPECT_NE(Redacted.find("\"bytes\":\"USER anna\\r\\n\""), std::string::npos);
    EXPECT_NE(
        Redacted.find("\"bytes\":\"AUTH PLAIN ********\\r\\n\",\"secret\":11,\"redacted\":true"), std::string::npos);

    // The clear export read back: the bytes sent and received, in order and whole.
    std::istringstream File(Clear);
    TTranscriptReader Reader;
    ASSERT_TRUE(Reader.Open(File)) << Reader.Error();
    std::string Sent;
    std::string Received;
    size_t Guidance = 0;
    TTranscriptEvent Event;
    while (Reader.Next(Event)) {
        EXPECT_EQ(Event.Connection, 1);
        (Event.Kind == TTranscriptKind::Sent ? Sent : Received) += Event.Bytes;
        Guidance += Event.Kind == TTranscriptKind::Guidance ? 1 : 0;
    }
    EXPECT_EQ(Reader.Error(), "");
    EXPECT_EQ(Sent, Server.Sent());
    std::string Script1;
    for (const std::string& Chunk : Script)
        Script1 += Chunk;
    EXPECT_EQ(Received, Script1);
    EXPECT_EQ(Guidance, 9u) << "one after the greeting and after each action";
}

} // namespace
