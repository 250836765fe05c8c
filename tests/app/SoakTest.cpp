// One long connection to a real Dovecot server: 20 000 commands in a row.
// The conversation's heap use stays flat (the log is left out by a view that
// only counts), and the byte counters match what really went over the wire.

#include <gtest/gtest.h>

#include <malloc.h>
#include <string>

#include "conversation/POP3Conversation.h"
#include "tests/support/DovecotHarness.h"
#include "tests/support/PeakMemory.h"

namespace {

// Shows nothing; counts what the conversation hands to the log.
class TCountingView : public TConversationView, public TLogSink {
public:
    TConversationOptions Options() const override { return {}; }
    void ShowStatusPicture(TStatusPicture) override { }
    void ShowWindowTitle(const std::string&) override { }
    void ShowStatusText(const std::string&) override { }
    void ShowByteCounters(int64_t Sent, int64_t Received) override
    {
        ShownSent = Sent;
        ShownReceived = Received;
    }
    void SetConnectedState(bool IsConnected) override { Connected = IsConnected; }
    bool CommandFieldEnabled() const override { return Connected; }
    void FocusCommandField() override { }
    void FocusHostField() override { }
    void SetBusyCursor(bool) override { }
    void Append(TLogEntryKind Kind, const std::string& Text) override
    {
        if (Kind != TLogEntryKind::Status && Kind != TLogEntryKind::Body)
            return;
        ServerBytes += static_cast<int64_t>(Text.size());
        // The status line of a multi-line reply is logged without its CR LF.
        if (Kind == TLogEntryKind::Status && (Text.size() < 2 || Text.compare(Text.size() - 2, 2, "\r\n") != 0))
            ServerBytes += 2;
        LastServerText = Text;
    }
    bool HasLines() const override { return ServerBytes > 0; }
    void Clear() override { }
    void StartConnection() override { }
    void ShowGuidanceText(const std::string&, bool IsError) override { Error = Error || IsError; }
    void AddHostToHistory(const std::string&) override { }
    void AddCommandToHistory(const std::string&) override { }
    bool AskYesNo(const std::string&, const std::string&) override { return true; }

    bool Connected = false;
    bool Error = false;
    int64_t ServerBytes = 0;
    int64_t ShownSent = 0;
    int64_t ShownReceived = 0;
    std::string LastServerText;
};

size_t HeapInUse()
{
    return mallinfo2().uordblks;
}

} // namespace

TEST(Soak, TwentyThousandCommandsOnOneConnection)
{
    if (!DovecotHarness::available())
        GTEST_SKIP() << "Dovecot is not installed";
    // The sanitizer keeps freed memory in quarantine, so heap use says nothing
    // there; LeakSanitizer checks for leaks at the end instead.
    const int Commands = PeakMemory::Quarantined() ? 2000 : 20000;
    DovecotHarness Dovecot;
    std::string Why;
    ASSERT_TRUE(Dovecot.start(&Why)) << Why;

    TCountingView View;
    TPOP3Conversation Conversation(View, View);
    Conversation.SetWaitTimeout(10);
    Conversation.ButtonVerbindenClick("127.0.0.1:" + std::to_string(Dovecot.port()));
    ASSERT_TRUE(View.Connected) << Conversation.ErrorMessage();
    int64_t Sent = 0;
    auto Send = [&](const std::string& Line) {
        Conversation.SendAction(Line);
        Sent += static_cast<int64_t>(Line.size()) + 2;
        return !Conversation.ErrorFlag();
    };
    ASSERT_TRUE(Send("USER " + Dovecot.user()));
    ASSERT_TRUE(Send("PASS " + Dovecot.password()));

    const std::string Message = Dovecot.messages().at(0);
    const char* const Cycle[] = { "NOOP", "STAT", "LIST", "RETR 1" };
    size_t Before = 0;
    for (int I = 0; I < Commands; ++I) {
        // The session's transcript grows with every command by design (bounded,
        // see TTranscript::TLimits); it is emptied before each reading, so that
        // what is measured is everything else.
        if (I == Commands / 10) {
            Conversation.ClearTranscript();
            Before = HeapInUse(); // after the warm-up: buffers and caches have their size
        }
        ASSERT_TRUE(Send(Cycle[I % 4])) << "command " << I << ": " << Conversation.ErrorMessage();
        if (I % 4 == 3) {
            ASSERT_EQ(View.LastServerText.substr(View.LastServerText.size() - 5), "\r\n.\r\n");
        }
    }
    EXPECT_GT(Conversation.Transcript().EventCount(), static_cast<size_t>(Commands));
    Conversation.ClearTranscript();
    const size_t After = HeapInUse();
    EXPECT_FALSE(View.Error);

    // Counters: exactly the bytes sent, and every byte received was logged once.
    EXPECT_EQ(Conversation.BytesSent(), Sent);
    EXPECT_EQ(Conversation.BytesReceived(), View.ServerBytes);
    EXPECT_EQ(View.ShownSent, Sent);
    EXPECT_EQ(View.ShownReceived, Conversation.BytesReceived());
    EXPECT_GT(View.ServerBytes, static_cast<int64_t>(Message.size()) * (Commands / 4));
    if (!PeakMemory::Quarantined()) {
        EXPECT_LT(After, Before + 256 * 1024) << "heap grew from " << Before << " to " << After;
    }
    ASSERT_TRUE(Send("QUIT"));
    EXPECT_FALSE(View.Connected);
}
