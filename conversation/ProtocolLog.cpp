// Protocol log writer on a QPlainTextEdit.
#include "conversation/ProtocolLog.h"

#include <vector>

#include <QAbstractTextDocumentLayout>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "conversation/ReplyRules.h"

namespace {

// Repaints of a growing body are held back this long, so that a large message
// costs one layout per chunk and not one paint per chunk.
constexpr int kBodyRepaintMs = 30;

// Bold part of a line: [Start, End).
struct TBoldRange {
    int Start = 0;
    int End = 0;
};

TBoldRange BoldRangeOf(const std::string& Line, bool IsServer, bool IsBody, bool StatusBold, bool CommandBold)
{
    TBoldRange Range;
    if (IsBody)
        return Range;
    size_t Start = 0;
    if (IsServer) {
        if (!StatusBold)
            return Range;
    } else {
        if (!CommandBold)
            return Range;
        while (Start < Line.size() && (Line[Start] == '\r' || Line[Start] == '\n'))
            ++Start;
    }
    size_t End = Line.find(' ', Start);
    if (End == std::string::npos)
        End = Line.size();
    Range.Start = static_cast<int>(Start);
    Range.End = static_cast<int>(End);
    return Range;
}

// A lone CR or LF must stay inside its line; the document would start a new
// block for either, so they are shown as a line break within the line.
void KeepLineBreaksInside(QString& Text, qsizetype From)
{
    for (qsizetype Index = From; Index < Text.size(); ++Index) {
        const QChar Character = Text.at(Index);
        if (Character == QLatin1Char('\r') || Character == QLatin1Char('\n'))
            Text[Index] = QChar(QChar::LineSeparator);
    }
}

} // namespace

TProtocolLog::TProtocolLog(QPlainTextEdit* View)
    : FView(View)
    , FResumeTimer(new QTimer(View))
{
    // The log only grows; an undo history would keep a second copy of it.
    FView->document()->setUndoRedoEnabled(false);
    FResumeTimer->setSingleShot(true);
    FResumeTimer->setInterval(kBodyRepaintMs);
    QObject::connect(FResumeTimer, &QTimer::timeout, FView, [this] { ResumeRepaint(false); });
    FHasLines = !FView->document()->isEmpty();
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

void TProtocolLog::SetServerColor(int Index)
{
    FServerColor = (Index >= 1 && Index <= 4) ? Index : 1;
}

void TProtocolLog::AdvanceServerColor()
{
    FServerColor = FServerColor + 1 > 3 ? 1 : FServerColor + 1;
}

QColor TProtocolLog::TableColor(int Index, const QPalette& Palette)
{
    switch (Index) {
    case 1:
        return QColor(0, 128, 0);
    case 2:
        return QColor(0, 0, 128);
    case 3:
        return QColor(255, 0, 0);
    default:
        return Palette.color(QPalette::WindowText);
    }
}

void TProtocolLog::Clear()
{
    FView->clear();
    FHasLines = false;
    FCharacters = 0;
}

void TProtocolLog::AppendNote(const std::string& Text)
{
    QTextCharFormat Note;
    Note.setForeground(QColor(128, 128, 128));
    Note.setFontWeight(QFont::Normal);
    SuspendRepaint();
    QTextCursor Cursor(FView->document());
    Cursor.movePosition(QTextCursor::End);
    Cursor.beginEditBlock();
    QString Line = QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
    if (FHasLines)
        Line.prepend(QLatin1Char('\n'));
    FHasLines = true;
    Cursor.insertText(Line, Note);
    Cursor.endEditBlock();
    ResumeRepaint(false);
}

void TProtocolLog::AppendToLog(const std::string& Text, bool IsServer, bool IsBody)
{
    const int StatusClass = LogStatusClass(Text, IsBody);

    // Only the logged copy changes: umlauts and control characters show as blanks.
    std::string Shown = Text;
    for (char& C : Shown)
        if (!ShownAsIs(static_cast<unsigned char>(C)))
            C = ' ';
    const std::vector<std::string> Lines = SplitLogLines(Shown);
    if (Lines.empty())
        return;
    FCharacters += static_cast<qint64>(Shown.size());

    QColor Color;
    if (IsServer) {
        if (FColorMode == TColorMode::Status)
            FServerColor = StatusClass;
        Color = TableColor(FServerColor, FView->palette());
    } else {
        Color = TableColor(4, FView->palette());
    }
    QTextCharFormat Normal;
    Normal.setForeground(Color);
    Normal.setFontWeight(QFont::Normal);
    QTextCharFormat Bold = Normal;
    Bold.setFontWeight(QFont::Bold);

    // A body chunk within the repaint pause leaves the view's scroll range and
    // caret behind: following the end lays out the last page, and that once
    // per repaint is enough, not once per chunk.
    const bool HoldBack = IsBody && FSinceRepaint.elapsed() < kBodyRepaintMs;
    SuspendRepaint();
    QAbstractTextDocumentLayout* Layout = FView->document()->documentLayout();
    const bool LayoutWasQuiet = Layout->blockSignals(HoldBack);
    QTextCursor Cursor(FView->document());
    Cursor.movePosition(QTextCursor::End);
    // One edit block: the document tells its layout once, and the cursor does
    // not lay out the last line after each insert to learn its x position.
    Cursor.beginEditBlock();

    // One insert per run of equal format: a body chunk is a single insert.
    QString Pending;
    Pending.reserve(static_cast<qsizetype>(Shown.size() + Lines.size()));
    bool PendingBold = false;
    auto Switch = [&](bool IsBold) {
        if (IsBold != PendingBold && !Pending.isEmpty()) {
            Cursor.insertText(Pending, PendingBold ? Bold : Normal);
            Pending.clear();
        }
        PendingBold = IsBold;
    };
    // Characters [From, To) of Line, appended without a temporary string.
    auto Put = [&](const std::string& Line, size_t From, size_t To, bool IsBold) {
        if (From >= To)
            return;
        Switch(IsBold);
        const qsizetype Start = Pending.size();
        Pending.append(QLatin1String(Line.data() + From, static_cast<qsizetype>(To - From)));
        KeepLineBreaksInside(Pending, Start);
    };
    for (const std::string& Line : Lines) {
        if (FHasLines) {
            Switch(PendingBold);
            Pending += QLatin1Char('\n');
        }
        FHasLines = true;
        const TBoldRange Range = BoldRangeOf(Line, IsServer, IsBody, FStatusBold, FCommandBold);
        const size_t Start = static_cast<size_t>(Range.Start);
        const size_t End = static_cast<size_t>(Range.End);
        Put(Line, 0, Start, false);
        Put(Line, Start, End, true);
        Put(Line, End, Line.size(), false);
    }
    if (!Pending.isEmpty())
        Cursor.insertText(Pending, PendingBold ? Bold : Normal);
    Cursor.endEditBlock();
    Layout->blockSignals(LayoutWasQuiet);
    if (HoldBack)
        FFollowPending = true;
    ResumeRepaint(HoldBack);
}

void TProtocolLog::FollowEnd()
{
    if (FFollowPending) {
        FFollowPending = false;
        QAbstractTextDocumentLayout* Layout = FView->document()->documentLayout();
        emit Layout->documentSizeChanged(Layout->documentSize());
    }
    // Caret to the end, which scrolls the end into view. Scrolled to the end
    // first, the caret is placed from the last page; from the old scroll
    // position every line in between would be laid out.
    QScrollBar* Bar = FView->verticalScrollBar();
    Bar->setValue(Bar->maximum());
    QTextCursor Cursor(FView->document());
    Cursor.movePosition(QTextCursor::End);
    FView->setTextCursor(Cursor);
    FView->ensureCursorVisible();
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
    FollowEnd();
    if (!FView->updatesEnabled())
        FView->setUpdatesEnabled(true);
    FSinceRepaint.restart();
}
