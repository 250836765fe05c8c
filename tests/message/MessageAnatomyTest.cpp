// The message anatomy: the test messages through "brieflotse --explain
// --json" against Python's email package, the trace fields it cannot judge,
// saved POP3 bodies, and hostile messages within bounds of time.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "message/MessageAnatomy.h"
#include "tests/practice/ToolRun.h"
#include "tests/support/TempDir.h"

namespace {

const std::string kData = std::string(BRIEFLOTSE_SOURCE_DIR) + "/tests/message/data/";

std::string ReadFile(const std::string& Path)
{
    std::ifstream File(Path, std::ios::binary);
    return { std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>() };
}

bool HasProblem(const TMessageAnatomy& Anatomy, const std::string& Words)
{
    for (const TMessageProblem& Problem : Anatomy.Problems)
        if (Problem.Text.find(Words) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(MessageExplain, ReadsTheTestMessagesAsPythonsEmailDoes)
{
    TempDir Scratch;
    int Messages = 0;
    for (const auto& Entry : std::filesystem::directory_iterator(kData)) {
        const std::string Path = Entry.path().string();
        SCOPED_TRACE(Path);
        const TToolResult Explained = RunTool({ BRIEFLOTSE_PROGRAM, "--explain", Path, "--json" });
        ASSERT_EQ(Explained.Status, 0) << Explained.Errors;
        const std::string Json = Scratch.file("anatomy.json");
        std::ofstream(Json, std::ios::binary) << Explained.Output;
        const TToolResult Compared = RunTool({ "/usr/bin/python3",
            std::string(BRIEFLOTSE_SOURCE_DIR) + "/tests/message/compare_with_email.py", Path, Json });
        EXPECT_EQ(Compared.Status, 0) << Compared.Output << Compared.Errors;
        ++Messages;
    }
    EXPECT_GE(Messages, 4);

    // Exit codes: no message, no file, wrong usage.
    const std::string Garbage = Scratch.file("garbage.bin");
    std::ofstream(Garbage, std::ios::binary) << std::string("\x00\x01 no header here\n", 18);
    const struct {
        std::vector<std::string> Arguments;
        int Status;
    } Calls[] = {
        { { "--explain", Garbage }, 1 },
        { { "--explain", Scratch.file("missing.eml") }, 1 },
        { { "--explain", "/dev/zero" }, 1 },
        { { "--explain", kData + "trace.eml", "extra" }, 64 },
        { { "--explain", kData + "trace.eml", "--check", "localhost" }, 64 },
        { { "--explain" }, 64 },
        { { "--explain", kData + "trace.eml" }, 0 },
    };
    for (const auto& Call : Calls) {
        std::vector<std::string> Command = { BRIEFLOTSE_PROGRAM };
        Command.insert(Command.end(), Call.Arguments.begin(), Call.Arguments.end());
        EXPECT_EQ(RunTool(Command).Status, Call.Status) << Call.Arguments.back();
    }
}

// What Python does not read: the chain, its delays, which results count, and
// where each item stands in the file.
TEST(MessageAnatomy, TraceFieldsInOrderWithTheirLines)
{
    const TMessageAnatomy Anatomy = DecomposeMessage(ReadFile(kData + "trace.eml"));
    ASSERT_EQ(Anatomy.Received.size(), 3u);
    const TReceivedHop& First = Anatomy.Received[0];
    EXPECT_EQ(First.From, "app1.shop.example (app1.shop.example [10.0.0.7])");
    EXPECT_EQ(First.By, "relay.shop.example (Postfix)");
    EXPECT_EQ(First.With, "ESMTPSA");
    EXPECT_TRUE(First.Tls);
    EXPECT_EQ(First.Id, "11AA");
    EXPECT_EQ(First.For, "<kunde@provider.example>");
    EXPECT_EQ(First.Time, "2026-12-10T11:00:00+00:00");
    EXPECT_FALSE(First.DelaySeconds);
    EXPECT_EQ(Anatomy.Received[1].DelaySeconds, -2);
    EXPECT_NE(Anatomy.Received[1].Note.find("Uhren"), std::string::npos);
    EXPECT_EQ(Anatomy.Received[2].DelaySeconds, 5);
    EXPECT_FALSE(Anatomy.Received[2].Tls); // LMTP
    EXPECT_EQ(Anatomy.Received[2].Range.FirstLine, 1u);
    EXPECT_EQ(Anatomy.Received[2].Range.LastLine, 3u);

    ASSERT_EQ(Anatomy.AuthenticationResults.size(), 4u);
    const TAuthResult& Dkim = Anatomy.AuthenticationResults[1];
    EXPECT_EQ(Dkim.AuthServId, "mx.provider.example");
    EXPECT_EQ(Dkim.Method, "dkim");
    EXPECT_EQ(Dkim.Result, "pass");
    ASSERT_EQ(Dkim.Properties.size(), 3u);
    EXPECT_EQ(Dkim.Properties[0], std::make_pair(std::string("header.d"), std::string("shop.example")));
    EXPECT_TRUE(Dkim.Topmost);
    EXPECT_EQ(Anatomy.AuthenticationResults[2].Properties[0].second, "shop.example"); // comment skipped
    EXPECT_EQ(Anatomy.AuthenticationResults[3].AuthServId, "relay.shop.example");
    EXPECT_FALSE(Anatomy.AuthenticationResults[3].Topmost);

    ASSERT_EQ(Anatomy.DkimSignatures.size(), 1u);
    const std::vector<TDkimTag>& Tags = Anatomy.DkimSignatures[0].Tags;
    ASSERT_EQ(Tags.size(), 9u);
    EXPECT_EQ(Tags[6].Tag, "h");
    EXPECT_EQ(Tags[8].Value, "AbCdEfGhIjKlMnOp"); // folding removed
    EXPECT_EQ(Anatomy.DkimSignatures[0].Range.FirstLine, 15u);
    EXPECT_EQ(Anatomy.DkimSignatures[0].Range.LastLine, 19u);
    EXPECT_TRUE(Anatomy.Problems.empty());
}

TEST(MessageAnatomy, SavedRetrBodyLosesItsStuffingAndKeepsItsPlaces)
{
    const std::string Dump = "+OK 61 octets\r\n"
                             "Subject: Punkte\r\n"
                             "\r\n"
                             "..Zeile mit Punkt\r\n"
                             "normal\r\n"
                             "...\r\n"
                             ".\r\n";
    const TMessageAnatomy Anatomy = DecomposeMessage(Dump);
    ASSERT_TRUE(Anatomy.IsMessage);
    EXPECT_TRUE(Anatomy.Unstuffed);
    ASSERT_EQ(Anatomy.Parts.size(), 1u);
    EXPECT_EQ(Anatomy.Parts[0].Text, ".Zeile mit Punkt\nnormal\n..\n");
    EXPECT_EQ(Anatomy.Headers.at(0).Range.FirstLine, 1u);
    EXPECT_EQ(Anatomy.Headers.at(0).Range.Begin, Dump.find("Subject"));
    const TMessageRange& Body = Anatomy.Parts[0].BodyRange;
    EXPECT_EQ(Body.Begin, Dump.find("..Zeile"));
    EXPECT_EQ(Body.End, Dump.find(".\r\n", Dump.find("...")) + 3); // the "...\r\n" line with both its dots
    EXPECT_EQ(Body.FirstLine, 3u);
    EXPECT_EQ(Body.LastLine, 5u);

    // A single dot at a line start: no POP3 body, taken as written.
    const TMessageAnatomy Plain = DecomposeMessage("Subject: x\n\n.eins\n.\n");
    EXPECT_FALSE(Plain.Unstuffed);
    EXPECT_EQ(Plain.Parts.at(0).Text, ".eins\n.\n");
}

TEST(MessageAnatomy, HostileMessagesAreReadWithinBounds)
{
    auto Nested = [](int Depth) {
        std::string Head, Tail;
        for (int Level = 0; Level < Depth; ++Level) {
            const std::string Boundary = "b" + std::to_string(Level);
            Head += "Content-Type: multipart/mixed; boundary=" + Boundary + "\n\n--" + Boundary + "\n";
            Tail = "\n--" + Boundary + "--\n" + Tail;
        }
        return "Subject: tief\n" + Head + "Content-Type: text/plain\n\ninnen" + Tail;
    };
    auto Many = [](int Parts) {
        std::string Message = "Subject: viele\nContent-Type: multipart/mixed; boundary=x\n\n";
        for (int Part = 0; Part < Parts; ++Part)
            Message += "--x\nContent-Type: text/plain\n\nTeil " + std::to_string(Part) + "\n";
        return Message + "--x--\n";
    };
    const struct {
        const char* Name;
        std::function<std::string()> Make;
        std::function<bool(const TMessageAnatomy&)> Expected;
    } Cases[] = {
        { "multipart without boundary",
            [] { return std::string("Subject: a\nContent-Type: multipart/mixed\n\n--x\n\nText\n--x--\n"); },
            [](const TMessageAnatomy& A) { return HasProblem(A, "ohne Grenze"); } },
        { "boundaries nested 100 deep", [&] { return Nested(100); },
            [](const TMessageAnatomy& A) { return A.Parts.size() == 101 && A.Parts.back().Text == "innen"; } },
        { "boundaries nested 3000 deep", [&] { return Nested(3000); },
            [](const TMessageAnatomy& A) { return A.IsMessage; } },
        { "10 000 parts", [&] { return Many(10000); },
            [](const TMessageAnatomy& A) { return A.Parts.size() == 10001 && A.Parts.back().Text == "Teil 9999"; } },
        { "invalid base64",
            [] {
                return std::string(
                    "Subject: b\nContent-Type: application/pdf\nContent-Transfer-Encoding: base64\n\nAB*C!\n");
            },
            [](const TMessageAnatomy& A) { return HasProblem(A, "ungültiges Base64"); } },
        { "invalid quoted-printable",
            [] {
                return std::string("Subject: q\nContent-Type: text/plain; charset=utf-8\n"
                                   "Content-Transfer-Encoding: quoted-printable\n\nGr=ZZe =C3=BC\n");
            },
            [](const TMessageAnatomy& A) { return HasProblem(A, "ungültiges Quoted-Printable"); } },
        { "unknown charset",
            [] {
                return std::string("Subject: =?x-klingon?Q?qapla?=\nContent-Type: text/plain; charset=x-klingon\n\n"
                                   "Hallo\n");
            },
            [](const TMessageAnatomy& A) {
                return HasProblem(A, "Unbekannter Zeichensatz \"x-klingon\" im Feld Subject")
                    && HasProblem(A, "unbekannter Zeichensatz \"x-klingon\"") && A.Parts.at(0).Text == "Hallo\n";
            } },
        { "a 50 MB single line",
            [] { return "Subject: lang\nContent-Type: text/plain\n\n" + std::string(50u << 20, 'x'); },
            [](const TMessageAnatomy& A) {
                return HasProblem(A, "52.428.800 Bytes lang") && A.Parts.at(0).Text.size() == (50u << 20);
            } },
        { "NUL bytes", [] { return std::string("Subject: n\n\nvor\0nach\0\n", 22); },
            [](const TMessageAnatomy& A) { return HasProblem(A, "2 NUL-Bytes"); } },
        { "a 1 MB header field",
            [] {
                std::string Field = "X-Lang: a";
                for (int Line = 0; Line < 16384; ++Line)
                    Field += "\n " + std::string(62, 'y');
                return Field + "\nSubject: s\n\nText\n";
            },
            [](const TMessageAnatomy& A) {
                return HasProblem(A, "Das Kopffeld X-Lang ist") && A.Headers.size() == 2
                    && A.Headers[1].Range.FirstLine == 16385;
            } },
        { "a 1 MB subject of unfinished encoded words",
            [] {
                std::string Field = "Subject:";
                for (int Word = 0; Word < 120000; ++Word)
                    Field += " =?x?q?a";
                return Field + "\n\nText\n";
            },
            [](const TMessageAnatomy& A) {
                return A.Headers.size() == 1 && A.Headers[0].Name == "Subject" && A.Headers[0].Charsets.empty()
                    && A.Headers[0].Value.size() == 120000 * 8 - 1 && HasProblem(A, "Das Kopffeld Subject ist");
            } },
        { "a 1 MB field of encoded words in a part's header",
            [] {
                std::string Message = "Subject: t\nContent-Type: multipart/mixed; boundary=b\n\n--b\nX-Foo:";
                for (int Word = 0; Word < 120000; ++Word)
                    Message += " =?x?q?a";
                return Message + "\nContent-Type: text/plain\n\nText\n--b--\n";
            },
            [](const TMessageAnatomy& A) {
                return HasProblem(A, "Das Kopffeld X-Foo eines Teils ist") && A.Parts.size() == 2
                    && A.Parts[1].Text == "Text";
            } },
        { "100 000 Authentication-Results fields",
            [] {
                std::string Fields;
                for (int Field = 0; Field < 100000; ++Field)
                    Fields += "Authentication-Results: mx" + std::to_string(Field) + ".example; spf=pass\n";
                return Fields + "\nText\n";
            },
            [](const TMessageAnatomy& A) {
                return A.AuthenticationResults.size() == 100000 && A.AuthenticationResults[0].Topmost
                    && !A.AuthenticationResults[1].Topmost;
            } },
        { "no header at all", [] { return std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16); },
            [](const TMessageAnatomy& A) { return !A.IsMessage; } },
        { "empty", [] { return std::string(); }, [](const TMessageAnatomy& A) { return !A.IsMessage; } },
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const std::string Message = Case.Make();
        const auto Start = std::chrono::steady_clock::now();
        const TMessageAnatomy Anatomy = DecomposeMessage(Message);
        const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        // Generous for the sanitizer build; the bench measures the real figure.
        EXPECT_LT(Seconds, 15.0);
        EXPECT_TRUE(Case.Expected(Anatomy));
        EXPECT_LE(Anatomy.Problems.size(), 60u);
    }
}
