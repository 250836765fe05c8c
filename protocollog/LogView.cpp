#include "protocollog/LogView.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextCharFormat>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "protocollog/LogViewAccessible.h"

namespace {

// Space around the text, as the text widgets leave it.
constexpr int kMargin = 4;
// Rows up to this many characters are laid out whole; longer ones only
// where they are in sight, placed by a table of character widths.
constexpr qsizetype kLongLine = 2048;
constexpr qsizetype kSegment = 4096;
// Rich text on the clipboard only up to this size; plain text always.
constexpr qsizetype kMaxHtmlCharacters = 1 << 20;
constexpr int kDragScrollMs = 50;

bool IsWordCharacter(QChar Character)
{
    return Character.isLetterOrNumber() || Character == QLatin1Char('_');
}

// A lone CR or LF in a line: a line break in copied text.
void BreaksAsNewlines(QString& Text)
{
    for (QChar& Character : Text)
        if (Character == QLatin1Char('\r'))
            Character = QLatin1Char('\n');
}

} // namespace

TLogView::TLogView(QWidget* Parent)
    : QAbstractScrollArea(Parent)
{
    InstallLogViewAccessibility();
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(20);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    UpdateMetrics();
}

TLogView::~TLogView() = default;

void TLogView::Appended()
{
    // Only the line that was last may have grown since (in rows too).
    if (FKnownLines > 0)
        ForgetRowsFrom(static_cast<qint64>(FStore.FirstRow(FKnownLines - 1)));
    FKnownLines = FStore.LineCount();
    FKnownRows = RowCount();
    emit ContentsChanged();
}

void TLogView::ForgetLayouts()
{
    FLayouts.clear();
    FSegments.clear();
}

void TLogView::ForgetRowsFrom(qint64 Row)
{
    if (Row + 1 == FKnownRows) {
        FLayouts.erase(Row);
        FSegments.erase(Row);
        return;
    }
    const auto Forget = [Row](auto& Cache) {
        for (auto Entry = Cache.begin(); Entry != Cache.end();)
            Entry = Entry->first >= Row ? Cache.erase(Entry) : std::next(Entry);
    };
    Forget(FLayouts);
    Forget(FSegments);
}

const TLogView::TLaidOut& TLogView::LaidOut(const TRow& Row, qreal Left, qreal Right) const
{
    if (IsLong(Row)) {
        LayOut(Row, Left, Right, FScratch);
        return FScratch;
    }
    auto Found = FLayouts.find(Row.Index);
    if (Found != FLayouts.end())
        return *Found->second;
    if (FLayouts.size() > 512)
        FLayouts.clear();
    std::unique_ptr<TLaidOut>& Slot = FLayouts[Row.Index];
    Slot = std::make_unique<TLaidOut>();
    LayOut(Row, Left, Right, *Slot);
    return *Slot;
}

void TLogView::Clear()
{
    FStore.Clear();
    ForgetLayouts();
    FKnownLines = 0;
    FKnownRows = 0;
    FWidest = 0;
    FMeasuredLongest = -1;
    FLongestWidth = 0;
    FCaret = FAnchor = TLogPosition();
    UpdateScrollRanges();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    viewport()->update();
    emit ContentsChanged();
    emit SelectionChanged();
}

void TLogView::FollowEnd()
{
    UpdateScrollRanges();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    FDesiredX = -1;
    FCaret = FAnchor = EndPosition();
    // Down to the last line, but not sideways after the caret: the line
    // starts ("+OK") stay in sight, or where the user scrolled to.
    const int Left = horizontalScrollBar()->value();
    EnsureCaretVisible();
    horizontalScrollBar()->setValue(Left);
    viewport()->update();
}

TLogPosition TLogView::EndPosition() const
{
    if (FStore.Empty())
        return {};
    const qint64 Last = static_cast<qint64>(FStore.LineCount()) - 1;
    return { Last, LineLength(Last) };
}

void TLogView::Select(TLogPosition Anchor, TLogPosition Caret)
{
    FAnchor = Clamped(Anchor);
    MoveCaret(Caret, true);
}

void TLogView::SelectAll()
{
    Select(TLogPosition(), EndPosition());
}

QString TLogView::SelectedText() const
{
    return TextBetween(std::min(FAnchor, FCaret), std::max(FAnchor, FCaret));
}

QString TLogView::PlainText() const
{
    return TextBetween(TLogPosition(), EndPosition());
}

QString TLogView::LineText(qint64 Line) const
{
    if (Line < 0 || Line >= static_cast<qint64>(FStore.LineCount()))
        return QString();
    return ReadLogLine(FStore, static_cast<size_t>(Line)).Text;
}

void TLogView::ForEachLineBetween(
    TLogPosition From, TLogPosition To, const std::function<void(qint64, const TLogLineText&)>& Visit) const
{
    TLogLineText Line;
    for (qint64 Index = From.Line; Index <= To.Line && Index < static_cast<qint64>(FStore.LineCount()); ++Index) {
        const qsizetype Start = Index == From.Line ? From.Column : 0;
        const qsizetype End = Index == To.Line ? To.Column : LineLength(Index);
        ReadLogLine(FStore, static_cast<size_t>(Index), Start, End, Line);
        Visit(Index, Line);
    }
}

QString TLogView::TextBetween(TLogPosition From, TLogPosition To) const
{
    QString Text;
    ForEachLineBetween(From, To, [&](qint64 Index, const TLogLineText& Line) {
        if (Index > From.Line)
            Text += QLatin1Char('\n');
        Text += Line.Text;
    });
    BreaksAsNewlines(Text);
    return Text;
}

QColor TLogView::ColourOf(const TLogStyle& Style) const
{
    return Style.Coloured() ? QColor::fromRgb(Style.Colour) : palette().color(QPalette::Text);
}

QString TLogView::HtmlBetween(TLogPosition From, TLogPosition To) const
{
    QString Html = QStringLiteral("<pre style=\"font-family:'%1'\">").arg(font().family().toHtmlEscaped());
    ForEachLineBetween(From, To, [&](qint64 Index, const TLogLineText& Line) {
        if (Index > From.Line)
            Html += QLatin1Char('\n');
        for (const TLogSpan& Span : Line.Spans) {
            QString Part = Line.Text.mid(Span.Start, Span.Length);
            BreaksAsNewlines(Part);
            Html += QStringLiteral("<span style=\"color:%1%2\">%3</span>")
                        .arg(ColourOf(Span.Style).name(),
                            Span.Style.Bold() ? QStringLiteral(";font-weight:bold") : QString(), Part.toHtmlEscaped());
        }
    });
    return Html + QStringLiteral("</pre>");
}

QMimeData* TLogView::SelectionMimeData() const
{
    auto* Data = new QMimeData;
    const TLogPosition From = std::min(FAnchor, FCaret);
    const TLogPosition To = std::max(FAnchor, FCaret);
    const QString Text = TextBetween(From, To);
    Data->setText(Text);
    if (Text.size() <= kMaxHtmlCharacters)
        Data->setHtml(HtmlBetween(From, To));
    return Data;
}

void TLogView::Copy() const
{
    if (HasSelection())
        QGuiApplication::clipboard()->setMimeData(SelectionMimeData());
}

qint64 TLogView::FirstVisibleRow() const
{
    return verticalScrollBar()->value();
}

QPoint TLogView::ContentOrigin() const
{
    return QPoint(kMargin - horizontalScrollBar()->value(), kMargin);
}

int TLogView::VisibleRows() const
{
    return std::max(1, (viewport()->height() - 2 * kMargin) / FLineHeight);
}

qsizetype TLogView::LineLength(qint64 Line) const
{
    return LogLineLength(FStore, static_cast<size_t>(Line));
}

bool TLogView::IsLong(const TRow& Row) const
{
    return Row.To - Row.From > kLongLine && !FStore.IsUtf8Line(static_cast<size_t>(Row.Line));
}

TLogView::TRow TLogView::RowAt(qint64 Index) const
{
    if (FStore.Empty())
        return {};
    const size_t At = static_cast<size_t>(std::clamp<qint64>(Index, 0, RowCount() - 1));
    TRow Row;
    Row.Index = static_cast<qint64>(At);
    Row.Line = static_cast<qint64>(FStore.LineOfRow(At));
    if (FStore.IsUtf8Line(static_cast<size_t>(Row.Line))) {
        // Text of the program's own: no breaks, columns are not bytes.
        Row.To = LineLength(Row.Line);
        return Row;
    }
    const uint64_t Start = FStore.LineStart(static_cast<size_t>(Row.Line));
    Row.From = static_cast<qsizetype>(FStore.RowStart(At) - Start);
    Row.To = static_cast<qsizetype>(FStore.RowEnd(At) - Start);
    return Row;
}

qint64 TLogView::RowOf(TLogPosition Position) const
{
    if (FStore.Empty())
        return 0;
    Position = Clamped(Position);
    const size_t Line = static_cast<size_t>(Position.Line);
    if (FStore.IsUtf8Line(Line))
        return static_cast<qint64>(FStore.FirstRow(Line));
    return static_cast<qint64>(FStore.RowAt(Line, FStore.LineStart(Line) + static_cast<uint64_t>(Position.Column)));
}

TLogPosition TLogView::Clamped(TLogPosition Position) const
{
    if (FStore.Empty())
        return {};
    Position.Line = std::clamp<qint64>(Position.Line, 0, static_cast<qint64>(FStore.LineCount()) - 1);
    Position.Column = std::clamp<qint64>(Position.Column, 0, LineLength(Position.Line));
    return Position;
}

qint64 TLogView::OffsetOf(TLogPosition Position) const
{
    Position = Clamped(Position);
    if (FStore.Empty())
        return 0;
    qint64 Offset = static_cast<qint64>(FStore.LineStart(static_cast<size_t>(Position.Line))) + Position.Line;
    for (const size_t Line : FStore.Utf8Lines()) {
        if (static_cast<qint64>(Line) >= Position.Line)
            break;
        Offset -= static_cast<qint64>(FStore.LineBytes(Line)) - LineLength(static_cast<qint64>(Line));
    }
    return Offset + Position.Column;
}

TLogPosition TLogView::PositionAt(qint64 Offset) const
{
    qint64 Low = 0;
    qint64 High = static_cast<qint64>(FStore.LineCount()) - 1;
    if (High < 0)
        return {};
    while (Low < High) {
        const qint64 Middle = (Low + High + 1) / 2;
        if (OffsetOf({ Middle, 0 }) <= Offset)
            Low = Middle;
        else
            High = Middle - 1;
    }
    return Clamped({ Low, Offset - OffsetOf({ Low, 0 }) });
}

// Metrics

void TLogView::UpdateMetrics()
{
    QFont Bold = font();
    Bold.setBold(true);
    const QFontMetricsF Normal(font(), viewport());
    const QFontMetricsF Heavy(Bold, viewport());
    FLineHeight = std::max(1, static_cast<int>(std::ceil(std::max(Normal.lineSpacing(), Heavy.lineSpacing()))));
    FAscent = static_cast<int>(std::ceil(std::max(Normal.ascent(), Heavy.ascent())));
    for (int Byte = 0; Byte < 256; ++Byte) {
        const QChar Shown = (Byte == '\r' || Byte == '\n') ? QLatin1Char(' ') : QChar(Byte);
        FAdvances[0][Byte] = Normal.horizontalAdvance(Shown);
        FAdvances[1][Byte] = Heavy.horizontalAdvance(Shown);
    }
    FTabWidth = QTextOption().tabStopDistance();
    ForgetLayouts();
    FWidest = 0;
    FMeasuredLongest = -1;
    UpdateScrollRanges();
    viewport()->update();
}

void TLogView::UpdateScrollRanges()
{
    QScrollBar* Vertical = verticalScrollBar();
    Vertical->setRange(0, static_cast<int>(std::clamp<qint64>(RowCount() - VisibleRows(), 0, INT_MAX)));
    Vertical->setPageStep(VisibleRows());

    if (!FStore.Empty() && FMeasuredLongest != static_cast<qint64>(FStore.LongestRow())) {
        FMeasuredLongest = static_cast<qint64>(FStore.LongestRow());
        const TRow Longest = RowAt(FMeasuredLongest);
        FLongestWidth = XInRow(Longest, Longest.To);
    }
    const qreal Content = std::max(FWidest, FLongestWidth) + 2 * kMargin + 1;
    QScrollBar* Horizontal = horizontalScrollBar();
    const qreal Room = Content - viewport()->width();
    Horizontal->setRange(0, static_cast<int>(std::clamp<qreal>(std::ceil(Room), 0, INT_MAX / 2)));
    Horizontal->setPageStep(std::max(1, viewport()->width()));
}

// Widths

qreal TLogView::Advance(unsigned char Byte, bool Bold, qreal X) const
{
    if (Byte == '\t')
        return (std::floor(X / FTabWidth) + 1) * FTabWidth - X;
    return FAdvances[Bold ? 1 : 0][Byte];
}

qreal TLogView::MeasureBytes(uint64_t From, uint64_t To, qreal X) const
{
    char Buffer[4096];
    size_t Run = FStore.RunAt(From);
    while (From < To) {
        while (Run + 1 < FStore.RunCount() && FStore.Run(Run + 1).Start <= From)
            ++Run;
        const bool Bold = FStore.RunCount() > 0 && FStore.Run(Run).Style.Bold();
        const uint64_t Until = std::min<uint64_t>({ To, From + sizeof Buffer, FStore.RunEnd(Run) });
        const size_t Count = static_cast<size_t>(Until - From);
        FStore.Copy(From, Count, Buffer);
        for (size_t Index = 0; Index < Count; ++Index)
            X += Advance(static_cast<unsigned char>(Buffer[Index]), Bold, X);
        From = Until;
    }
    return X;
}

const std::vector<qreal>& TLogView::SegmentStarts(const TRow& Row) const
{
    auto Found = FSegments.find(Row.Index);
    if (Found != FSegments.end())
        return Found->second;
    if (FSegments.size() > 64)
        FSegments.clear();
    std::vector<qreal>& Starts = FSegments[Row.Index];
    const uint64_t Start = FStore.LineStart(static_cast<size_t>(Row.Line)) + static_cast<uint64_t>(Row.From);
    const uint64_t End = Start + static_cast<uint64_t>(Row.To - Row.From);
    qreal X = 0;
    for (uint64_t At = Start; At < End; At += kSegment) {
        Starts.push_back(X);
        X = MeasureBytes(At, std::min<uint64_t>(End, At + kSegment), X);
    }
    Starts.push_back(X); // the whole row's width
    return Starts;
}

// Columns of a long row count from its line's start, its x from its own.
qreal TLogView::LongRowX(const TRow& Row, qsizetype Column) const
{
    const std::vector<qreal>& Starts = SegmentStarts(Row);
    const qsizetype Segment
        = std::min<qsizetype>((Column - Row.From) / kSegment, static_cast<qsizetype>(Starts.size()) - 1);
    const uint64_t Start = FStore.LineStart(static_cast<size_t>(Row.Line));
    return MeasureBytes(Start + static_cast<uint64_t>(Row.From + Segment * kSegment),
        Start + static_cast<uint64_t>(Column), Starts[static_cast<size_t>(Segment)]);
}

qsizetype TLogView::LongRowColumnAt(const TRow& Row, qreal X) const
{
    const std::vector<qreal>& Starts = SegmentStarts(Row);
    if (X >= Starts.back())
        return Row.To;
    const auto After = std::upper_bound(Starts.begin(), Starts.end() - 1, X);
    const qsizetype Segment = std::max<qsizetype>(0, (After - Starts.begin()) - 1);
    qsizetype Column = Row.From + Segment * kSegment;
    qreal At = Starts[static_cast<size_t>(Segment)];
    const uint64_t Start = FStore.LineStart(static_cast<size_t>(Row.Line));
    size_t Run = FStore.RunAt(Start + static_cast<uint64_t>(Column));
    for (; Column < Row.To; ++Column) {
        const uint64_t Offset = Start + static_cast<uint64_t>(Column);
        while (Run + 1 < FStore.RunCount() && FStore.Run(Run + 1).Start <= Offset)
            ++Run;
        const qreal Width
            = Advance(static_cast<unsigned char>(FStore.ByteAt(Offset)), FStore.Run(Run).Style.Bold(), At);
        if (At + Width / 2 > X)
            break;
        At += Width;
    }
    return Column;
}

void TLogView::LayOut(const TRow& Row, qreal Left, qreal Right, TLaidOut& Out) const
{
    qsizetype From = Row.From;
    qsizetype To = Row.To;
    Out.X = 0;
    if (IsLong(Row)) {
        From = std::max<qsizetype>(Row.From, LongRowColumnAt(Row, Left) - 1);
        To = std::min(To, LongRowColumnAt(Row, Right) + 2);
        Out.X = LongRowX(Row, From);
    }
    Out.From = From;
    TLogLineText Text;
    ReadLogLine(FStore, static_cast<size_t>(Row.Line), From, To, Text);
    for (QChar& Character : Text.Text)
        if (Character == QLatin1Char('\r') || Character == QLatin1Char('\n'))
            Character = QLatin1Char(' ');
    QList<QTextLayout::FormatRange> Formats;
    for (const TLogSpan& Span : Text.Spans) {
        QTextLayout::FormatRange Range;
        Range.start = static_cast<int>(Span.Start);
        Range.length = static_cast<int>(Span.Length);
        Range.format.setForeground(ColourOf(Span.Style));
        if (Span.Style.Bold())
            Range.format.setFontWeight(QFont::Bold);
        Formats.append(Range);
    }
    Out.Layout.clearLayout();
    Out.Layout.setText(Text.Text);
    Out.Layout.setFont(font());
    QTextOption Option;
    Option.setWrapMode(QTextOption::NoWrap);
    Out.Layout.setTextOption(Option);
    Out.Layout.setFormats(Formats);
    Out.Layout.beginLayout();
    QTextLine Single = Out.Layout.createLine();
    if (Single.isValid())
        Single.setLineWidth(std::numeric_limits<int>::max() / 4);
    Out.Layout.endLayout();
    if (Single.isValid() && !IsLong(Row))
        FWidest = std::max(FWidest, Single.naturalTextWidth());
}

qreal TLogView::XOfColumn(TLogPosition Position) const
{
    if (FStore.Empty())
        return 0;
    return XInRow(RowAt(RowOf(Position)), static_cast<qsizetype>(Position.Column));
}

qreal TLogView::XInRow(const TRow& Row, qsizetype Column) const
{
    Column = std::clamp(Column, Row.From, Row.To);
    if (FStore.Empty() || Column == Row.From)
        return 0;
    if (IsLong(Row))
        return LongRowX(Row, Column);
    const TLaidOut& Laid = LaidOut(Row, 0, 0);
    return Laid.Layout.lineCount() > 0 ? Laid.Layout.lineAt(0).cursorToX(static_cast<int>(Column - Laid.From)) : 0;
}

qsizetype TLogView::ColumnAtX(const TRow& Row, qreal X) const
{
    if (FStore.Empty())
        return 0;
    if (IsLong(Row))
        return LongRowColumnAt(Row, X);
    const TLaidOut& Laid = LaidOut(Row, 0, 0);
    if (Laid.Layout.lineCount() == 0)
        return Row.From;
    // Far right of a short row (the layout's fixed point would overflow).
    const QTextLine Shown = Laid.Layout.lineAt(0);
    if (X >= Shown.naturalTextWidth())
        return Row.To;
    return Laid.From + Shown.xToCursor(X, QTextLine::CursorBetweenCharacters);
}

// Painting

void TLogView::paintEvent(QPaintEvent* Event)
{
    (void)Event;
    QPainter Painter(viewport());
    const qint64 First = FirstVisibleRow();
    const qint64 Last = std::min<qint64>(RowCount(), First + viewport()->height() / FLineHeight + 2);
    const qreal Left = horizontalScrollBar()->value();
    const qreal Right = Left + viewport()->width();
    const TLogPosition From = std::min(FAnchor, FCaret);
    const TLogPosition To = std::max(FAnchor, FCaret);
    const qreal WidestBefore = FWidest;
    // The selection stays visible when the log has no focus.
    QTextCharFormat Selected;
    Selected.setBackground(palette().brush(QPalette::Active, QPalette::Highlight));
    Selected.setForeground(palette().brush(QPalette::Active, QPalette::HighlightedText));
    for (qint64 Index = First; Index < Last; ++Index) {
        const TRow Row = RowAt(Index);
        const qint64 Line = Row.Line;
        const TLaidOut& Laid = LaidOut(Row, Left, Right);
        if (Laid.Layout.lineCount() == 0)
            continue;
        QList<QTextLayout::FormatRange> Selections;
        if (From != To && Line >= From.Line && Line <= To.Line) {
            const qsizetype Start = (Line == From.Line ? From.Column : 0) - Laid.From;
            const qsizetype End = (Line == To.Line ? To.Column : LineLength(Line)) - Laid.From;
            const qsizetype Shown = Laid.Layout.text().size();
            QTextLayout::FormatRange Range;
            Range.start = static_cast<int>(std::clamp<qsizetype>(Start, 0, Shown));
            Range.length = static_cast<int>(std::clamp<qsizetype>(End, 0, Shown)) - Range.start;
            Range.format = Selected;
            if (Range.length > 0)
                Selections.append(Range);
        }
        const qreal Y = kMargin + (Index - First) * FLineHeight + FAscent - Laid.Layout.lineAt(0).ascent();
        Laid.Layout.draw(&Painter, QPointF(kMargin + Laid.X - Left, Y), Selections);
    }
    const qint64 CaretRow = RowOf(FCaret);
    if (hasFocus() && FCaretShown && CaretRow >= First && CaretRow < Last)
        Painter.fillRect(CaretRect(), palette().color(QPalette::Text));
    if (FWidest > WidestBefore + 0.5)
        QMetaObject::invokeMethod(
            this, [this] { UpdateScrollRanges(); }, Qt::QueuedConnection);
}

QRect TLogView::CaretRect() const
{
    const QRect Place = CharacterRect(FCaret, 1);
    return QRect(Place.topLeft(), QSize(1, Place.height()));
}

QRect TLogView::CharacterRect(TLogPosition Position, int Width) const
{
    Position = Clamped(Position);
    const TRow Row = RowAt(RowOf(Position));
    const qreal Left = XInRow(Row, Position.Column);
    const qreal Right = Position.Column < Row.To ? XInRow(Row, Position.Column + 1) : Left + Width;
    const qreal X = kMargin + Left - horizontalScrollBar()->value();
    const int Y = kMargin + static_cast<int>(Row.Index - FirstVisibleRow()) * FLineHeight;
    return QRect(
        static_cast<int>(std::floor(X)), Y, std::max(1, static_cast<int>(std::ceil(Right - Left))), FLineHeight);
}

void TLogView::resizeEvent(QResizeEvent* Event)
{
    QAbstractScrollArea::resizeEvent(Event);
    UpdateScrollRanges();
}

void TLogView::changeEvent(QEvent* Event)
{
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange)
        UpdateMetrics();
    else if (Event->type() == QEvent::PaletteChange) {
        FLayouts.clear(); // text without a colour of its own takes the palette's
        viewport()->update();
    }
}

void TLogView::scrollContentsBy(int Dx, int Dy)
{
    (void)Dx;
    (void)Dy;
    viewport()->update();
}

// Caret and selection

void TLogView::MoveCaret(TLogPosition Position, bool Extend)
{
    const TLogPosition OldCaret = FCaret;
    const TLogPosition OldAnchor = FAnchor;
    FCaret = Clamped(Position);
    if (!Extend)
        FAnchor = FCaret;
    EnsureCaretVisible();
    RestartBlink();
    viewport()->update();
    if (OldCaret != FCaret || OldAnchor != FAnchor) {
        emit SelectionChanged();
        if (QAccessible::isActive()) {
            QAccessibleTextCursorEvent Moved(this, static_cast<int>(std::min<qint64>(OffsetOf(FCaret), INT_MAX)));
            QAccessible::updateAccessibility(&Moved);
        }
    }
}

void TLogView::EnsureCaretVisible()
{
    QScrollBar* Vertical = verticalScrollBar();
    const qint64 CaretRow = RowOf(FCaret);
    if (CaretRow < Vertical->value())
        Vertical->setValue(static_cast<int>(std::min<qint64>(CaretRow, INT_MAX)));
    else if (CaretRow >= Vertical->value() + VisibleRows())
        Vertical->setValue(static_cast<int>(std::min<qint64>(CaretRow - VisibleRows() + 1, INT_MAX)));
    QScrollBar* Horizontal = horizontalScrollBar();
    const qreal X = XOfColumn(FCaret);
    const int Width = viewport()->width() - 2 * kMargin;
    if (X < Horizontal->value())
        Horizontal->setValue(static_cast<int>(std::max<qreal>(0, X - Width / 3)));
    else if (X > Horizontal->value() + Width) {
        if (X > Horizontal->maximum() + Width)
            UpdateScrollRanges();
        Horizontal->setValue(static_cast<int>(X - Width + Width / 3));
    }
}

void TLogView::RestartBlink()
{
    FCaretShown = true;
    const int Flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (hasFocus() && Flash > 0)
        FBlinkTimer.start(Flash / 2, this);
    else
        FBlinkTimer.stop();
}

qsizetype TLogView::WordStart(qint64 Line, qsizetype Column, int Direction) const
{
    const QString Text = LineText(Line);
    qsizetype At = Column;
    if (Direction < 0) {
        while (At > 0 && !IsWordCharacter(Text.at(At - 1)))
            --At;
        while (At > 0 && IsWordCharacter(Text.at(At - 1)))
            --At;
    } else {
        while (At < Text.size() && IsWordCharacter(Text.at(At)))
            ++At;
        while (At < Text.size() && !IsWordCharacter(Text.at(At)))
            ++At;
    }
    return At;
}

TLogPosition TLogView::HitTest(const QPoint& ViewportPoint) const
{
    if (FStore.Empty())
        return {};
    const int Down = static_cast<int>(std::floor(double(ViewportPoint.y() - kMargin) / FLineHeight));
    const TRow Row = RowAt(FirstVisibleRow() + Down);
    const qreal X = ViewportPoint.x() - kMargin + horizontalScrollBar()->value();
    return { Row.Line, ColumnAtX(Row, std::max<qreal>(0, X)) };
}

// Input

bool TLogView::event(QEvent* Event)
{
    if (Event->type() == QEvent::ShortcutOverride) {
        auto* Key = static_cast<QKeyEvent*>(Event);
        if (Key == QKeySequence::Copy || Key == QKeySequence::SelectAll) {
            Event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(Event);
}

void TLogView::keyPressEvent(QKeyEvent* Event)
{
    if (Event == QKeySequence::Copy) {
        Copy();
        return;
    }
    if (Event == QKeySequence::SelectAll) {
        SelectAll();
        return;
    }
    const bool Extend = Event->modifiers() & Qt::ShiftModifier;
    const bool Word = Event->modifiers() & Qt::ControlModifier;
    TLogPosition Target = FCaret;
    bool Vertical = false;
    switch (Event->key()) {
    case Qt::Key_Left:
        if (Word && Target.Column > 0)
            Target.Column = WordStart(Target.Line, Target.Column, -1);
        else if (Target.Column > 0)
            --Target.Column;
        else if (Target.Line > 0)
            Target = { Target.Line - 1, LineLength(Target.Line - 1) };
        break;
    case Qt::Key_Right:
        if (Target.Column < LineLength(Target.Line))
            Target.Column = Word ? WordStart(Target.Line, Target.Column, 1) : Target.Column + 1;
        else if (Target.Line + 1 < static_cast<qint64>(FStore.LineCount()))
            Target = { Target.Line + 1, 0 };
        break;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: {
        // By rows, as shown.
        const qint64 Step = (Event->key() == Qt::Key_Up || Event->key() == Qt::Key_Down) ? 1 : VisibleRows();
        const qint64 Sign = (Event->key() == Qt::Key_Up || Event->key() == Qt::Key_PageUp) ? -1 : 1;
        if (FDesiredX < 0)
            FDesiredX = XOfColumn(FCaret);
        const TRow Row = RowAt(RowOf(FCaret) + Sign * Step);
        Target = { Row.Line, ColumnAtX(Row, FDesiredX) };
        if (Step > 1)
            verticalScrollBar()->setValue(static_cast<int>(verticalScrollBar()->value() + Sign * Step));
        Vertical = true;
        break;
    }
    case Qt::Key_Home:
        Target = Word ? TLogPosition() : TLogPosition { Target.Line, RowAt(RowOf(Target)).From };
        break;
    case Qt::Key_End:
        Target = Word ? EndPosition() : TLogPosition { Target.Line, RowAt(RowOf(Target)).To };
        break;
    default:
        QAbstractScrollArea::keyPressEvent(Event);
        return;
    }
    const qreal DesiredX = FDesiredX;
    MoveCaret(Target, Extend);
    FDesiredX = Vertical ? DesiredX : -1;
}

void TLogView::mousePressEvent(QMouseEvent* Event)
{
    if (Event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(Event);
        return;
    }
    FDesiredX = -1;
    FSelecting = true;
    MoveCaret(HitTest(Event->position().toPoint()), Event->modifiers() & Qt::ShiftModifier);
}

void TLogView::mouseMoveEvent(QMouseEvent* Event)
{
    if (!FSelecting || !(Event->buttons() & Qt::LeftButton))
        return;
    FDragPoint = Event->position().toPoint();
    if (viewport()->rect().contains(FDragPoint))
        FDragTimer.stop();
    else if (!FDragTimer.isActive())
        FDragTimer.start(kDragScrollMs, this);
    MoveCaret(HitTest(FDragPoint), true);
}

void TLogView::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() != Qt::LeftButton)
        return;
    FSelecting = false;
    FDragTimer.stop();
    // The X11 primary selection, as other text views offer it.
    QClipboard* Clipboard = QGuiApplication::clipboard();
    if (HasSelection() && Clipboard->supportsSelection())
        Clipboard->setText(SelectedText(), QClipboard::Selection);
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* Event)
{
    if (Event->button() != Qt::LeftButton)
        return;
    const TLogPosition At = HitTest(Event->position().toPoint());
    const QString Text = LineText(At.Line);
    qsizetype Start = At.Column;
    qsizetype End = At.Column;
    while (Start > 0 && IsWordCharacter(Text.at(Start - 1)))
        --Start;
    while (End < Text.size() && IsWordCharacter(Text.at(End)))
        ++End;
    FAnchor = { At.Line, Start };
    MoveCaret({ At.Line, End }, true);
}

void TLogView::contextMenuEvent(QContextMenuEvent* Event)
{
    QMenu Menu(this);
    QAction* CopyEntry = Menu.addAction(QStringLiteral("&Kopieren"), this, &TLogView::Copy);
    CopyEntry->setShortcut(QKeySequence::Copy);
    CopyEntry->setEnabled(HasSelection());
    QAction* AllEntry = Menu.addAction(QStringLiteral("Alles auswählen"), this, &TLogView::SelectAll);
    AllEntry->setShortcut(QKeySequence::SelectAll);
    AllEntry->setEnabled(!FStore.Empty());
    Menu.exec(Event->globalPos());
}

void TLogView::focusInEvent(QFocusEvent* Event)
{
    QAbstractScrollArea::focusInEvent(Event);
    RestartBlink();
    viewport()->update();
}

void TLogView::focusOutEvent(QFocusEvent* Event)
{
    QAbstractScrollArea::focusOutEvent(Event);
    FBlinkTimer.stop();
    viewport()->update();
}

void TLogView::timerEvent(QTimerEvent* Event)
{
    if (Event->timerId() == FBlinkTimer.timerId()) {
        FCaretShown = !FCaretShown;
        viewport()->update(CaretRect());
    } else if (Event->timerId() == FDragTimer.timerId()) {
        // Dragging past the edge scrolls on.
        const QRect Area = viewport()->rect();
        if (FDragPoint.y() < Area.top())
            verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        else if (FDragPoint.y() > Area.bottom())
            verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        if (FDragPoint.x() < Area.left())
            horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        else if (FDragPoint.x() > Area.right())
            horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        MoveCaret(HitTest(FDragPoint), true);
    } else {
        QAbstractScrollArea::timerEvent(Event);
    }
}
