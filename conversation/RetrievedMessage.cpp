#include "conversation/RetrievedMessage.h"

void TRetrievedMessage::Start(size_t FirstLogLine, bool LogHasRoom)
{
    FBytes.clear();
    FSize = 0;
    if (FFile)
        FFile->Truncate();
    FFirstLogLine = FirstLogLine;
    FReading = true;
    FAvailable = false;
    FCut = false;
    FLinesValid = LogHasRoom;
}

void TRetrievedMessage::Add(const std::string& Lines)
{
    if (!FReading || FCut)
        return;
    std::string Kept; // this call's lines, dot-stuffing undone
    size_t Start = 0;
    while (Start < Lines.size()) {
        size_t End = Lines.find("\r\n", Start);
        End = End == std::string::npos ? Lines.size() : End + 2;
        size_t From = Start;
        if (Lines[Start] == '.') {
            // A lone "." ends the body; any other leading dot was doubled.
            if (Lines.compare(Start, End - Start, ".\r\n") == 0)
                break;
            ++From;
        }
        const size_t Room = FMaxBytes - FSize - Kept.size();
        if (End - From > Room) {
            Kept.append(Lines, From, Room);
            FCut = true;
            break;
        }
        Kept.append(Lines, From, End - From);
        Start = End;
    }
    Keep(Kept);
}

void TRetrievedMessage::Keep(const std::string& Bytes)
{
    if (Bytes.empty())
        return;
    if (!FFile && !FFileFailed) {
        FFile = std::make_unique<TPrivateFile>();
        FFileFailed = !FFile->Open();
        if (FFileFailed)
            FFile.reset();
    }
    // A failed write keeps the rest in memory; what the file holds so far
    // moves there first, so the bytes stay in order.
    if (FFile && FBytes.empty() && FFile->WriteAt(Bytes, FSize)) {
        FSize += Bytes.size();
        return;
    }
    if (FFile && FBytes.empty() && FSize > 0 && !FFile->ReadAt(FBytes, 0, FSize))
        FBytes.clear();
    FBytes.append(Bytes);
    FSize = FBytes.size();
}

std::string TRetrievedMessage::Bytes() const
{
    if (!FBytes.empty() || !FFile)
        return FBytes;
    std::string Bytes;
    if (!FFile->ReadAt(Bytes, 0, FSize))
        Bytes.clear();
    return Bytes;
}

void TRetrievedMessage::Finish(bool Complete, bool Shown, bool LinesCut)
{
    if (!FReading)
        return;
    FReading = false;
    FAvailable = Complete;
    FCut = FCut || LinesCut;
    // Cut lines are shorter in the log: later lines still fit, bytes do not.
    FLinesValid = FLinesValid && Shown && Complete;
}
