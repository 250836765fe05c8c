#include "protocollog/LogLine.h"

#include <algorithm>
#include <string>

qsizetype LogLineLength(const TLogStore& Store, size_t Line)
{
    const uint64_t Bytes = Store.LineBytes(Line);
    if (!Store.IsUtf8Line(Line))
        return static_cast<qsizetype>(Bytes);
    const std::string Text = Store.Bytes(Store.LineStart(Line), static_cast<size_t>(Bytes));
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size())).size();
}

void ReadLogLine(const TLogStore& Store, size_t Line, qsizetype From, qsizetype To, TLogLineText& Out)
{
    Out.Text.clear();
    Out.Spans.clear();
    const uint64_t Start = Store.LineStart(Line);
    const uint64_t End = Store.LineEnd(Line);
    if (Start == End)
        return;
    std::string Bytes;
    if (Store.IsUtf8Line(Line)) {
        // Text of the program's own: short, decoded run by run, then cut.
        for (size_t Run = Store.RunAt(Start); Run < Store.RunCount() && Store.Run(Run).Start < End; ++Run) {
            const uint64_t RunStart = std::max(Start, Store.Run(Run).Start);
            const uint64_t RunEnd = std::min(End, Store.RunEnd(Run));
            Bytes = Store.Bytes(RunStart, static_cast<size_t>(RunEnd - RunStart));
            const QString Part = QString::fromUtf8(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
            Out.Spans.push_back({ Out.Text.size(), Part.size(), Store.Run(Run).Style });
            Out.Text += Part;
        }
        From = std::clamp<qsizetype>(From, 0, Out.Text.size());
        To = std::clamp<qsizetype>(To, From, Out.Text.size());
        Out.Text = Out.Text.mid(From, To - From);
        std::vector<TLogSpan> Cut;
        for (const TLogSpan& Span : Out.Spans) {
            const qsizetype SpanStart = std::max(Span.Start, From);
            const qsizetype SpanEnd = std::min(Span.Start + Span.Length, To);
            if (SpanEnd > SpanStart)
                Cut.push_back({ SpanStart - From, SpanEnd - SpanStart, Span.Style });
        }
        Out.Spans.swap(Cut);
        return;
    }
    const qsizetype Length = static_cast<qsizetype>(End - Start);
    From = std::clamp<qsizetype>(From, 0, Length);
    To = std::clamp<qsizetype>(To, From, Length);
    if (From == To)
        return;
    const uint64_t First = Start + static_cast<uint64_t>(From);
    const uint64_t Last = Start + static_cast<uint64_t>(To);
    Bytes.resize(static_cast<size_t>(To - From));
    Store.Copy(First, Bytes.size(), Bytes.data());
    Out.Text = QString::fromLatin1(Bytes.data(), static_cast<qsizetype>(Bytes.size()));
    for (size_t Run = Store.RunAt(First); Run < Store.RunCount() && Store.Run(Run).Start < Last; ++Run) {
        const uint64_t RunStart = std::max(First, Store.Run(Run).Start);
        const uint64_t RunEnd = std::min(Last, Store.RunEnd(Run));
        if (RunEnd > RunStart)
            Out.Spans.push_back({ static_cast<qsizetype>(RunStart - First), static_cast<qsizetype>(RunEnd - RunStart),
                Store.Run(Run).Style });
    }
}
