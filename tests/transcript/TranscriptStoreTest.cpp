// The recording: past its head limit it keeps a tail, names what it left out,
// and keeps received bytes in a file no other process can open by name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/PeakMemory.h"
#include "tests/support/TempDir.h"
#include "transcript/Transcript.h"

namespace {

std::vector<TTranscriptEvent> Events(const TTranscript& Transcript)
{
    std::vector<TTranscriptEvent> All;
    EXPECT_TRUE(Transcript.ForEach([&All](const TTranscriptEvent& Event) {
        All.push_back(Event);
        return true;
    }));
    return All;
}

// Links in /proc/self/fd that name an unlinked file of ours.
int PrivateFiles()
{
    int Count = 0;
    DIR* Fds = opendir("/proc/self/fd");
    while (const dirent* Entry = readdir(Fds)) {
        char Target[512] = {};
        const std::string Link = std::string("/proc/self/fd/") + Entry->d_name;
        if (readlink(Link.c_str(), Target, sizeof Target - 1) > 0
            && std::string(Target).find("(deleted)") != std::string::npos)
            ++Count;
    }
    closedir(Fds);
    return Count;
}

TEST(TranscriptStore, KeepsHeadAndTailAndNamesTheGap)
{
    TTranscript::TLimits Limits;
    Limits.HeadBytes = 13;
    Limits.TailBytes = 7;
    const int FilesBefore = PrivateFiles();
    TTranscript Transcript(Limits);
    Transcript.StartConnection();
    Transcript.AddSent("PASS x\r\n", 5);
    Transcript.AddReceived("+OK\r\n");
    Transcript.StartConnection();
    for (const char* Chunk : { "aaa", "bbb", "ccc", "ddd" })
        Transcript.AddReceived(Chunk);
    Transcript.AddText(TTranscriptKind::Note, "Ende");
    EXPECT_EQ(PrivateFiles(), FilesBefore + 1);

    const std::vector<TTranscriptEvent> All = Events(Transcript);
    ASSERT_EQ(All.size(), 5u);
    EXPECT_EQ(All[0].Bytes, "PASS x\r\n");
    EXPECT_EQ(All[0].SecretStart, 5u);
    EXPECT_EQ(All[1].Bytes, "+OK\r\n");
    EXPECT_EQ(All[2].Kind, TTranscriptKind::Omitted);
    EXPECT_EQ(All[2].Connection, 2);
    EXPECT_EQ(All[2].OmittedEvents, 3);
    EXPECT_EQ(All[2].OmittedBytes, 9);
    EXPECT_EQ(All[3].Bytes, "ddd");
    EXPECT_EQ(All[4].Text, "Ende");
    EXPECT_EQ(All[4].Connection, 2);
    EXPECT_LE(All[0].Micros, All[1].Micros);

    Transcript.Clear();
    EXPECT_TRUE(Transcript.Empty());
    EXPECT_EQ(PrivateFiles(), FilesBefore);
}

// A large message recorded, saved and read back: neither the recording nor
// the writer nor the reader holds it in memory.
TEST(TranscriptStore, LargeReadsStayOutOfMemoryThroughRecordSaveAndRead)
{
    constexpr size_t kChunk = 64 * 1024;
    constexpr size_t kChunks = 2048; // 128 MB
    constexpr long kAllowedKb = 24 * 1024;
    std::string Chunk(kChunk, 'x');
    for (size_t Index = 0; Index < kChunk; Index += 80)
        Chunk[Index] = '\n';
    TempDir Dir;
    const std::string Path = Dir.file("grosz.jsonl");

    long Before = PeakMemory::Reset();
    TTranscript Transcript;
    Transcript.StartConnection();
    for (size_t Index = 0; Index < kChunks; ++Index)
        Transcript.AddReceived(Chunk);
    EXPECT_TRUE(PeakMemory::GrewLessThan(Before, kAllowedKb)) << "recording";

    Before = PeakMemory::Reset();
    {
        const int Fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(Fd, 0);
        TTranscriptWriter Writer(Fd);
        EXPECT_TRUE(Transcript.Write(Writer, "Brieflotse test", true));
        ::close(Fd);
    }
    EXPECT_TRUE(PeakMemory::GrewLessThan(Before, kAllowedKb)) << "saving";

    Before = PeakMemory::Reset();
    TTranscriptReader Reader;
    ASSERT_TRUE(Reader.Open(Path)) << Reader.Error();
    TTranscriptEvent Event;
    size_t Bytes = 0;
    while (Reader.Next(Event))
        Bytes += Event.Bytes.size();
    EXPECT_EQ(Reader.Error(), "");
    EXPECT_EQ(Bytes, kChunk * kChunks);
    EXPECT_TRUE(PeakMemory::GrewLessThan(Before, kAllowedKb)) << "reading";
}

} // namespace
