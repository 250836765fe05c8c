#include "conversation/RetrievedMessage.h"

void TRetrievedMessage::Start(size_t FirstLogLine, bool LogHasRoom)
{
    FBytes.clear();
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
        const size_t Room = FMaxBytes - FBytes.size();
        if (End - From > Room) {
            FBytes.append(Lines, From, Room);
            FCut = true;
            return;
        }
        FBytes.append(Lines, From, End - From);
        Start = End;
    }
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
