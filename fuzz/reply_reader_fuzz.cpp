// Arbitrary bytes as the answer to a multi-line command, handed over in chunks
// of arbitrary sizes: the reply reader must log every byte at most once, in
// order, only in complete lines, and stop exactly at a terminator.
// fuzz-sources: conversation/ReplyRules.cpp
#include "conversation/ReplyRules.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // The first bytes choose the chunk sizes (1..64 bytes each, cycling), the
    // rest is what the server sends.
    if (Size < 2)
        return 0;
    const size_t Sizes = 1 + Data[0] % 16;
    if (Size < 1 + Sizes)
        return 0;
    std::vector<size_t> ChunkSizes;
    for (size_t I = 0; I < Sizes; ++I)
        ChunkSizes.push_back(1 + Data[1 + I] % 64);
    const std::string Stream(reinterpret_cast<const char*>(Data + 1 + Sizes), Size - 1 - Sizes);

    size_t Sent = 0;
    size_t Chunks = 0;
    auto NextChunk = [&](std::string& Chunk) {
        const size_t Length = std::min(ChunkSizes[Chunks++ % ChunkSizes.size()], Stream.size() - Sent);
        Chunk = Stream.substr(Sent, Length);
        Sent += Length;
        return Length > 0;
    };

    // The status line: chunks until a CR LF has arrived.
    std::string Reply;
    std::string Chunk;
    while (Reply.find("\r\n") == std::string::npos && NextChunk(Chunk))
        Reply += Chunk;
    const size_t StatusEnd = Reply.find("\r\n");
    if (StatusEnd == std::string::npos || !IsPositiveReply(Reply))
        return 0;

    std::string Logged = Reply.substr(0, StatusEnd + 2);
    std::string Rest = Reply.substr(StatusEnd + 2);
    const bool Complete = CollectBody(Rest, NextChunk, [&](const std::string& Lines) {
        Check(!Lines.empty());
        Check(EndsWithLineEnd(Lines));
        Logged += Lines;
    });

    // Nothing lost, nothing twice: logged + held back == received.
    Check(Logged + Rest == Stream.substr(0, Sent));
    if (Complete) {
        // Stopped at the first chunk end where the body was complete.
        Check(IsBodyComplete(Rest));
        const std::string Received = Stream.substr(0, Sent);
        Check(Received.size() >= 5 && Received.compare(Received.size() - 5, 5, "\r\n.\r\n") == 0);
    } else {
        Check(Sent == Stream.size());
    }
    return 0;
}
