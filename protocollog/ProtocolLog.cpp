// Protocol log writer on the log view's store.
#include "protocollog/ProtocolLog.h"

#include <array>

#include <QPalette>
#include <QTimer>

#include "conversation/ReplyRules.h"
#include "protocollog/LogView.h"

namespace {

// Repaints of a growing body are held back this long, so that a large message
// costs one scroll update per pause and not one paint per chunk.
constexpr int kBodyRepaintMs = 30;

// Bold part of a line: [Start, End).
struct TBoldRange {
    size_t Start = 0;
    size_t End = 0;
};

bool IsSent(TLogEntryKind Kind)
{
    return Kind == TLogEntryKind::Command || Kind == TLogEntryKind::Answer;
}

// Commands bold their word, status lines their status; bodies stay plain.
TBoldRange BoldRangeOf(const char* Line, size_t Size, TLogEntryKind Kind, bool StatusBold, bool CommandBold)
{
    TBoldRange Range;
    if (Kind == TLogEntryKind::Body)
        return Range;
    size_t Start = 0;
    if (!IsSent(Kind)) {
        if (!StatusBold)
            return Range;
    } else {
        if (!CommandBold)
            return Range;
        while (Start < Size && (Line[Start] == '\r' || Line[Start] == '\n'))
            ++Start;
    }
    size_t End = Start;
    while (End < Size && Line[End] != ' ')
        ++End;
    Range.Start = Start;
    Range.End = End;
    return Range;
}

// The log's character rule as a table: a message of megabytes is shown byte
// by byte, so one look-up each rather than a call.
char ShownByte(char C)
{
    static const auto Table = [] {
        std::array<char, 256> Shown {};
        for (int Byte = 0; Byte < 256; ++Byte)
            Shown[static_cast<size_t>(Byte)]
                = ShownAsIs(static_cast<unsigned char>(Byte)) ? static_cast<char>(Byte) : ' ';
        return Shown;
    }();
    return Table[static_cast<unsigned char>(C)];
}

TLogStyle StyleOf(const QColor& Colour, bool Bold)
{
    TLogStyle Style;
    Style.Colour = Colour.rgba();
    Style.Flags = TLogStyle::sfColoured | (Bold ? TLogStyle::sfBold : 0);
    return Style;
}

} // namespace

TLogColour StatusColour(TLogEntryKind Kind, const std::string& Text)
{
    if (Kind == TLogEntryKind::Body)
        return TLogColour::Navy;
    return IsPositiveReply(Text) || IsContinuationReply(Text) ? TLogColour::Green : TLogColour::Red;
}

TProtocolLog::TProtocolLog(TLogView* View)
    : FView(View)
    , FResumeTimer(new QTimer(View))
{
    FResumeTimer->setSingleShot(true);
    FResumeTimer->setInterval(kBodyRepaintMs);
    QObject::connect(FResumeTimer, &QTimer::timeout, FView, [this] { ResumeRepaint(false); });
    FSinceRepaint.start();
}

TProtocolLog::~TProtocolLog()
{
    if (!FResumeTimer)
        return; // the view is gone with its timer
    delete FResumeTimer.data();
    if (!FView->updatesEnabled())
        FView->setUpdatesEnabled(true);
}

void TProtocolLog::AdvanceServerColor()
{
    switch (FServerColor) {
    case TLogColour::Green:
        FServerColor = TLogColour::Navy;
        break;
    case TLogColour::Navy:
        FServerColor = TLogColour::Red;
        break;
    default:
        FServerColor = TLogColour::Green;
        break;
    }
}

QColor TProtocolLog::TableColor(TLogColour Colour, const QPalette& Palette)
{
    switch (Colour) {
    case TLogColour::Green:
        return QColor(0, 128, 0);
    case TLogColour::Navy:
        return QColor(0, 0, 128);
    case TLogColour::Red:
        return QColor(255, 0, 0);
    default:
        return Palette.color(QPalette::WindowText);
    }
}

void TProtocolLog::StartConnection()
{
    if (HasLines())
        Append(TLogEntryKind::Command, "\r\n");
    if (FColorMode == TColorMode::Connection)
        AdvanceServerColor();
}

void TProtocolLog::Append(TLogEntryKind Kind, const std::string& Text)
{
    if (Kind == TLogEntryKind::Note || Kind == TLogEntryKind::Tls)
        AppendNote(Text);
    else
        AppendProtocolText(Kind, Text);
    NoteWhetherEmpty();
}

void TProtocolLog::NoteWhetherEmpty()
{
    const bool Has = HasLines();
    if (Has != FHadLines) {
        FHadLines = Has;
        emit HasLinesChanged(Has);
    }
}

bool TProtocolLog::HasLines() const
{
    return !FView->Store().Empty();
}

size_t TProtocolLog::LineCount() const
{
    return FView->Store().LineCount();
}

void TProtocolLog::Clear()
{
    FView->Clear();
    FCharacters = 0;
    NoteWhetherEmpty();
}

void TProtocolLog::AppendNote(const std::string& Text)
{
    const TLogStyle Grey = StyleOf(QColor(128, 128, 128), false);
    TLogStore& Store = FView->Store();
    SuspendRepaint();
    // A line break of any kind (CR LF, CR, LF) starts a new line.
    size_t Start = 0;
    for (;;) {
        size_t End = Start;
        while (End < Text.size() && Text[End] != '\r' && Text[End] != '\n')
            ++End;
        Store.AddLine();
        Store.Append(Text.data() + Start, End - Start, Grey, true);
        if (End == Text.size())
            break;
        Start = End + (Text.compare(End, 2, "\r\n") == 0 ? 2 : 1);
    }
    FView->Appended();
    ResumeRepaint(false);
}

void TProtocolLog::AppendProtocolText(TLogEntryKind Kind, const std::string& Text)
{
    if (Text.empty())
        return;
    const bool IsBody = Kind == TLogEntryKind::Body;

    // Only the logged copy changes: umlauts and control characters show as blanks.
    std::string Shown = Text;
    for (char& C : Shown)
        C = ShownByte(C);
    FCharacters += static_cast<qint64>(Shown.size());

    QColor Color;
    if (!IsSent(Kind)) {
        if (FColorMode == TColorMode::Status)
            FServerColor = StatusColour(Kind, Text);
        Color = TableColor(FServerColor, FView->palette());
    } else {
        Color = TableColor(TLogColour::WindowText, FView->palette());
    }
    const TLogStyle Normal = StyleOf(Color, false);
    const TLogStyle Bold = StyleOf(Color, true);

    // A body chunk within the repaint pause leaves the view's scroll range and
    // caret behind until the pause ends.
    const bool HoldBack = IsBody && FSinceRepaint.elapsed() < kBodyRepaintMs;
    SuspendRepaint();
    TLogStore& Store = FView->Store();
    // Lines end at CR LF only; a text ending in CR LF has no empty last line.
    size_t Start = 0;
    while (Start < Shown.size()) {
        size_t End = Shown.find("\r\n", Start);
        const size_t Next = End == std::string::npos ? Shown.size() : End + 2;
        if (End == std::string::npos)
            End = Shown.size();
        const char* Line = Shown.data() + Start;
        const size_t Size = End - Start;
        const TBoldRange Range = BoldRangeOf(Line, Size, Kind, FStatusBold, FCommandBold);
        Store.AddLine();
        Store.Append(Line, Range.Start, Normal);
        Store.Append(Line + Range.Start, Range.End - Range.Start, Bold);
        Store.Append(Line + Range.End, Size - Range.End, Normal);
        Start = Next;
    }
    FView->Appended();
    ResumeRepaint(HoldBack);
}

void TProtocolLog::SuspendRepaint()
{
    if (FView->updatesEnabled())
        FView->setUpdatesEnabled(false);
}

void TProtocolLog::ResumeRepaint(bool HoldBack)
{
    if (HoldBack) {
        if (!FResumeTimer->isActive())
            FResumeTimer->start();
        return;
    }
    FResumeTimer->stop();
    FView->FollowEnd();
    if (!FView->updatesEnabled())
        FView->setUpdatesEnabled(true);
    FSinceRepaint.restart();
}
