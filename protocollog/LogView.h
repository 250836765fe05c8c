#pragma once

// The protocol log's view: shows the lines of its store without word wrap,
// lays out and paints only the rows in sight (of a very long row only the
// part in sight), and lets the user select, copy and scroll. A lone CR or LF
// in a line breaks it into rows as a rich-text view would; positions,
// selection and copies stay in lines. The writer (TProtocolLog) fills the
// store and tells the view when to follow the end.

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QTextLayout>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "protocollog/LogLine.h"
#include "protocollog/LogStore.h"

class QMimeData;

// A place between two characters: line and column (UTF-16 units).
struct TLogPosition {
    qint64 Line = 0;
    qint64 Column = 0;

    bool operator==(const TLogPosition& Other) const { return Line == Other.Line && Column == Other.Column; }
    bool operator!=(const TLogPosition& Other) const { return !(*this == Other); }
    bool operator<(const TLogPosition& Other) const
    {
        return Line < Other.Line || (Line == Other.Line && Column < Other.Column);
    }
};

class TLogView : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit TLogView(QWidget* Parent = nullptr);
    ~TLogView() override;

    TLogStore& Store() { return FStore; }
    const TLogStore& Store() const { return FStore; }

    // The writer appended to the store; the view lays out nothing yet.
    void Appended();
    void Clear();
    // Scroll range and position follow the end; the caret goes there too
    // (a selection ends).
    void FollowEnd();

    TLogPosition CaretPosition() const { return FCaret; }
    TLogPosition AnchorPosition() const { return FAnchor; }
    TLogPosition EndPosition() const;
    bool HasSelection() const { return FAnchor != FCaret; }
    void Select(TLogPosition Anchor, TLogPosition Caret);
    void SelectAll();
    QString SelectedText() const;
    // The whole log, lines separated by "\n" (a lone CR or LF too).
    QString PlainText() const;
    QString LineText(qint64 Line) const;
    // Text and, for small selections, HTML with colours and bold.
    QMimeData* SelectionMimeData() const;
    void Copy() const;

    int LineHeight() const { return FLineHeight; }
    // Rows as shown: the scroll bar counts these.
    qint64 FirstVisibleRow() const;
    qint64 RowOf(TLogPosition Position) const;
    // Where the caret is drawn, in viewport coordinates.
    QRect CaretRect() const;
    // The place of the character after Position (Width wide when there is none).
    QRect CharacterRect(TLogPosition Position, int Width) const;
    // The position nearest to a point of the viewport.
    TLogPosition HitTest(const QPoint& ViewportPoint) const;
    // Character offset of a position over the whole text ("\n" counted
    // between lines) and back; for screen readers.
    qint64 OffsetOf(TLogPosition Position) const;
    TLogPosition PositionAt(qint64 Offset) const;

signals:
    void ContentsChanged();
    void SelectionChanged();

protected:
    bool event(QEvent* Event) override;
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void contextMenuEvent(QContextMenuEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void timerEvent(QTimerEvent* Event) override;
    void scrollContentsBy(int Dx, int Dy) override;

private:
    struct TLaidOut {
        QTextLayout Layout;
        qsizetype From = 0; // first column laid out
        qreal X = 0; // content x of that column, from the row's start
    };
    // A row: columns [From, To) of its line; To is its break character or
    // the line's end.
    struct TRow {
        qint64 Index = 0;
        qint64 Line = 0;
        qsizetype From = 0;
        qsizetype To = 0;
    };

    void UpdateMetrics();
    void UpdateScrollRanges();
    void MoveCaret(TLogPosition Position, bool Extend);
    void EnsureCaretVisible();
    TLogPosition Clamped(TLogPosition Position) const;
    qsizetype LineLength(qint64 Line) const;
    qint64 RowCount() const { return static_cast<qint64>(FStore.RowCount()); }
    TRow RowAt(qint64 Index) const;
    bool IsLong(const TRow& Row) const;
    // Content x of a column in its row (0 at the text's left edge).
    qreal XOfColumn(TLogPosition Position) const;
    qreal XInRow(const TRow& Row, qsizetype Column) const;
    qsizetype ColumnAtX(const TRow& Row, qreal X) const;
    // Lays out the columns of Row between content x Left and Right.
    void LayOut(const TRow& Row, qreal Left, qreal Right, TLaidOut& Out) const;
    // The same through a cache of short rows, so that a paint after a few
    // new lines lays out only those.
    const TLaidOut& LaidOut(const TRow& Row, qreal Left, qreal Right) const;
    void ForgetLayouts();
    void ForgetRowsFrom(qint64 Row);
    // Long rows: table widths, ignoring kerning; per 4096 characters cached.
    qreal Advance(unsigned char Byte, bool Bold, qreal X) const;
    const std::vector<qreal>& SegmentStarts(const TRow& Row) const;
    qreal MeasureBytes(uint64_t From, uint64_t To, qreal X) const;
    qreal LongRowX(const TRow& Row, qsizetype Column) const;
    qsizetype LongRowColumnAt(const TRow& Row, qreal X) const;
    qsizetype WordStart(qint64 Line, qsizetype Column, int Direction) const;
    // Reads the lines from From to To, each cut to the part between them.
    void ForEachLineBetween(
        TLogPosition From, TLogPosition To, const std::function<void(qint64, const TLogLineText&)>& Visit) const;
    QString TextBetween(TLogPosition From, TLogPosition To) const;
    QString HtmlBetween(TLogPosition From, TLogPosition To) const;
    QColor ColourOf(const TLogStyle& Style) const;
    QPoint ContentOrigin() const;
    int VisibleRows() const;
    void RestartBlink();

    TLogStore FStore;
    TLogPosition FCaret;
    TLogPosition FAnchor;
    qreal FDesiredX = -1;
    int FLineHeight = 1;
    int FAscent = 0;
    qreal FAdvances[2][256] = {};
    qreal FTabWidth = 80;
    mutable qreal FWidest = 0; // of the lines laid out so far
    mutable std::unordered_map<qint64, std::vector<qreal>> FSegments;
    mutable std::unordered_map<qint64, std::unique_ptr<TLaidOut>> FLayouts;
    mutable TLaidOut FScratch;
    size_t FKnownLines = 0; // lines at the last append
    qint64 FKnownRows = 0;
    mutable qint64 FMeasuredLongest = -1;
    mutable qreal FLongestWidth = 0;
    bool FSelecting = false;
    QPoint FDragPoint;
    QBasicTimer FDragTimer;
    QBasicTimer FBlinkTimer;
    bool FCaretShown = true;
};
