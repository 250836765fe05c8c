// The log's own view with the real writer: following the end, scrolling by
// page and wheel, keyboard selection and copying, a line of megabytes laid
// out only where it is in sight, the font switch and what screen readers get.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <array>

#include "protocollog/LogView.h"
#include "protocollog/ProtocolLog.h"

// Readable values in failure messages.
static void PrintTo(const QString& Value, std::ostream* Out)
{
    *Out << '"' << Value.toStdString() << '"';
}
static void PrintTo(const TLogPosition& Value, std::ostream* Out)
{
    *Out << "line " << Value.Line << " column " << Value.Column;
}

namespace {

class LogViewTest : public testing::Test {
protected:
    void SetUp() override
    {
        View.resize(420, 240);
        View.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&View));
        View.setFocus();
    }
    // Waits out the held-back repaint of a body.
    void Settle()
    {
        ASSERT_TRUE(QTest::qWaitFor([this] { return View.updatesEnabled(); }, 2000));
    }
    void Keys(Qt::Key Key, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) { QTest::keyClick(&View, Key, Modifiers); }

    TLogView View;
    TProtocolLog Log { &View };
};

} // namespace

TEST_F(LogViewTest, FollowsTheEndScrollsAndSelectsByKeys)
{
    Log.Append(TLogEntryKind::Command, "\r\nLIST\r\n");
    Log.Append(TLogEntryKind::Status, "+OK 500 Nachrichten\r\n");
    std::string Body;
    for (int Line = 1; Line <= 500; ++Line)
        Body += "Zeile " + std::to_string(Line) + "\r\n";
    Log.Append(TLogEntryKind::Body, Body + ".\r\n");
    Settle();
    QScrollBar* Bar = View.verticalScrollBar();
    EXPECT_GT(Bar->maximum(), 400);
    EXPECT_EQ(Bar->value(), Bar->maximum());
    EXPECT_EQ(View.CaretPosition(), View.EndPosition());

    Keys(Qt::Key_PageUp);
    EXPECT_EQ(Bar->value(), Bar->maximum() - Bar->pageStep());
    EXPECT_EQ(View.CaretPosition().Line, View.EndPosition().Line - Bar->pageStep());
    const int BeforeWheel = Bar->value();
    QWheelEvent Wheel(QPointF(50, 50), View.mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, 120), Qt::NoButton,
        Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(View.viewport(), &Wheel);
    EXPECT_EQ(Bar->value(), BeforeWheel - QApplication::wheelScrollLines());

    // Shift with arrows and Home/End selects; Ctrl+C copies text and colours.
    Keys(Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(Bar->value(), 0);
    Keys(Qt::Key_Down);
    Keys(Qt::Key_Down, Qt::ShiftModifier);
    Keys(Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(View.SelectedText(), QStringLiteral("LIST\n+OK 500 Nachrichten"));
    Keys(Qt::Key_C, Qt::ControlModifier);
    const QMimeData* Copied = QApplication::clipboard()->mimeData();
    ASSERT_NE(Copied, nullptr);
    EXPECT_EQ(Copied->text(), QStringLiteral("LIST\n+OK 500 Nachrichten"));
    EXPECT_TRUE(Copied->html().contains(QStringLiteral("color:#008000;font-weight:bold\">+OK<")))
        << Copied->html().toStdString();

    Keys(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(View.SelectedText(), View.PlainText());
    EXPECT_TRUE(View.PlainText().endsWith(QStringLiteral("Zeile 500\n.")));
    // New text ends the selection: the caret follows the end.
    Log.Append(TLogEntryKind::Command, "\r\nNOOP\r\n");
    EXPECT_FALSE(View.HasSelection());
    EXPECT_EQ(Bar->value(), Bar->maximum());
}

TEST_F(LogViewTest, NewTextKeepsTheLineStartsInSight)
{
    QScrollBar* Across = View.horizontalScrollBar();
    Log.Append(TLogEntryKind::Status, "+OK " + std::string(300, 'g') + "\r\n");
    Log.Append(TLogEntryKind::Command, "\r\nNOOP " + std::string(300, 'n') + "\r\n");
    EXPECT_EQ(Across->value(), 0) << "scrolled sideways to the end of the last line";
    EXPECT_EQ(View.verticalScrollBar()->value(), View.verticalScrollBar()->maximum());
    // Where the user scrolled to stays.
    Across->setValue(120);
    Log.Append(TLogEntryKind::Status, "+OK " + std::string(500, 'o') + "\r\n");
    EXPECT_EQ(Across->value(), 120);
}

TEST_F(LogViewTest, AVeryLongLineIsPaintedWhereverItIsScrolledTo)
{
    const std::string Long(4 << 20, 'w');
    Log.Append(TLogEntryKind::Status, "+OK\r\n");
    Log.Append(TLogEntryKind::Body, Long + "\r\n.\r\n");
    Settle();
    QScrollBar* Across = View.horizontalScrollBar();
    const qreal Narrowest = View.fontMetrics().horizontalAdvance(QLatin1Char('w'));
    EXPECT_GT(Across->maximum(), Narrowest * (4 << 20) * 0.9);

    // Caret to the end of the long line: the view scrolls there and paints it.
    Keys(Qt::Key_Up);
    Keys(Qt::Key_End);
    EXPECT_EQ(View.CaretPosition(), (TLogPosition { 1, 4 << 20 }));
    EXPECT_GT(Across->value(), Across->maximum() / 2);
    const QImage Shot = View.viewport()->grab().toImage();
    int Dark = 0;
    for (int X = 0; X < Shot.width(); ++X)
        for (int Y = 0; Y < Shot.height() / 2; ++Y)
            Dark += qGray(Shot.pixel(X, Y)) < 128;
    EXPECT_GT(Dark, 50) << "text painted at the far end of the line";

    // A click there puts the caret into that part of the line.
    QTest::mouseClick(View.viewport(), Qt::LeftButton, Qt::NoModifier,
        QPoint(View.viewport()->width() / 3, 4 + View.LineHeight() * 3 / 2));
    EXPECT_EQ(View.CaretPosition().Line, 1);
    EXPECT_GT(View.CaretPosition().Column, (4 << 20) - View.viewport()->width());
    EXPECT_LT(View.CaretPosition().Column, 4 << 20);
}

TEST_F(LogViewTest, FontSwitchAndScreenReaderText)
{
    Log.Append(TLogEntryKind::Status, "+OK bereit\r\n");
    Log.Append(TLogEntryKind::Note, "Brieflotse: Prüfung bestanden");
    const int Small = View.LineHeight();
    QFont Large = View.font();
    Large.setPointSizeF(Large.pointSizeF() * 2);
    View.setFont(Large);
    EXPECT_GT(View.LineHeight(), Small * 3 / 2);

    View.setAccessibleName(QStringLiteral("Protokoll"));
    View.setAccessibleDescription(QStringLiteral("Alle Kommandos und Antworten"));
    QAccessibleInterface* Spoken = QAccessible::queryAccessibleInterface(&View);
    ASSERT_NE(Spoken, nullptr);
    EXPECT_EQ(Spoken->role(), QAccessible::EditableText);
    EXPECT_TRUE(Spoken->state().readOnly);
    EXPECT_EQ(Spoken->text(QAccessible::Name), QStringLiteral("Protokoll"));
    EXPECT_EQ(Spoken->text(QAccessible::Description), QStringLiteral("Alle Kommandos und Antworten"));
    QAccessibleTextInterface* Text = Spoken->textInterface();
    ASSERT_NE(Text, nullptr);
    const QString Whole = QStringLiteral("+OK bereit\nBrieflotse: Prüfung bestanden");
    EXPECT_EQ(View.PlainText(), Whole);
    EXPECT_EQ(Text->characterCount(), Whole.size());
    EXPECT_EQ(Text->text(11, Whole.size()), QStringLiteral("Brieflotse: Prüfung bestanden"));
    Text->setSelection(0, 0, 3);
    EXPECT_EQ(View.SelectedText(), QStringLiteral("+OK"));
    // Where the second line's first character is, and back.
    const QRect Place = Text->characterRect(11);
    EXPECT_EQ(Text->offsetAtPoint(Place.center() - QPoint(Place.width() / 4, 0)), 11);
}

// Rows of lines with lone breaks, as the store maps them: bytes from the
// line starts, breaks ending their row.
TEST(LogStoreRows, LoneBreaksMapRowsAndLines)
{
    TLogStore Store;
    Store.AddLine();
    Store.Append("+OK", TLogStyle());
    Store.AddLine();
    Store.Append("ab\ncdefg\r", TLogStyle());
    Store.Append("h\n\nij", TLogStyle());
    Store.AddLine();
    Store.Append("Grüße\n", TLogStyle(), true); // the program's own: no break
    ASSERT_EQ(Store.LineCount(), 3u);
    EXPECT_EQ(Store.RowCount(), 7u);
    const std::vector<size_t> Rows { 1, 5, 1 };
    const std::vector<size_t> Firsts { 0, 1, 6 };
    for (size_t Line = 0; Line < 3; ++Line) {
        EXPECT_EQ(Store.LineRows(Line), Rows[Line]) << Line;
        EXPECT_EQ(Store.FirstRow(Line), Firsts[Line]) << Line;
    }
    // Row: line, first and end byte of the row in its line.
    const std::vector<std::array<size_t, 3>> Expected { { 0, 0, 3 }, { 1, 0, 2 }, { 1, 3, 8 }, { 1, 9, 10 },
        { 1, 11, 11 }, { 1, 12, 14 }, { 2, 0, 8 } };
    for (size_t Row = 0; Row < Store.RowCount(); ++Row) {
        const size_t Line = Store.LineOfRow(Row);
        const uint64_t Start = Store.LineStart(Line);
        EXPECT_EQ(
            (std::array<size_t, 3> { Line, Store.RowStart(Row) - Start, Store.RowEnd(Row) - Start }), Expected[Row])
            << Row;
    }
    EXPECT_EQ(Store.RowAt(1, Store.LineStart(1) + 2), 1u) << "before the break: its row";
    EXPECT_EQ(Store.RowAt(1, Store.LineStart(1) + 3), 2u) << "after it: the next";
    EXPECT_EQ(Store.LongestRow(), 6u);

    // Nothing but LF: breaks up to the limit, blanks after it.
    Store.SetMaxBreaks(100);
    Store.AddLine();
    Store.Append(std::string(90, '\n'), TLogStyle());
    Store.Append(std::string(90, '\r'), TLogStyle());
    EXPECT_EQ(Store.RowCount(), 4 + 100u);
    EXPECT_EQ(Store.LineRows(3), 100 - 4 + 1u);
    EXPECT_EQ(Store.RowEnd(103) - Store.RowStart(103), 180 - 96u) << "the rest is one row";
}

TEST_F(LogViewTest, ALoneLineFeedShowsAsABreakInsideItsLine)
{
    Log.Append(TLogEntryKind::Status, "+OK\r\n");
    Log.Append(TLogEntryKind::Body, "a\nb\r\n.\r\n");
    Settle();
    ASSERT_EQ(View.Store().LineCount(), 3u);
    // "a" and "b" are one log line on two rows, "." on the row after them.
    const QRect A = View.CharacterRect({ 1, 0 }, 1);
    const QRect B = View.CharacterRect({ 1, 2 }, 1);
    const QRect Dot = View.CharacterRect({ 2, 0 }, 1);
    EXPECT_EQ(B.top(), A.top() + View.LineHeight());
    EXPECT_EQ(B.left(), A.left());
    EXPECT_EQ(Dot.top(), A.top() + 2 * View.LineHeight());
    EXPECT_EQ(View.RowOf(View.EndPosition()), 3);
    const QImage Shot = View.viewport()->grab().toImage();
    int Dark = 0;
    for (int Y = B.top(); Y <= B.bottom(); ++Y)
        for (int X = 0; X < Shot.width(); ++X)
            Dark += qGray(Shot.pixel(X, Y)) < 128;
    EXPECT_GT(Dark, 5) << "\"b\" painted on the second row";
    EXPECT_EQ(View.HitTest(B.center()), (TLogPosition { 1, 2 }));

    // Up goes by rows; Home and End keep to the row; the copy has the break.
    Keys(Qt::Key_Up);
    EXPECT_EQ(View.CaretPosition(), (TLogPosition { 1, 3 }));
    Keys(Qt::Key_Up);
    Keys(Qt::Key_End);
    EXPECT_EQ(View.CaretPosition(), (TLogPosition { 1, 1 }));
    Keys(Qt::Key_Home);
    Keys(Qt::Key_Down, Qt::ShiftModifier);
    Keys(Qt::Key_End, Qt::ShiftModifier);
    Keys(Qt::Key_C, Qt::ControlModifier);
    const QMimeData* Copied = QApplication::clipboard()->mimeData();
    ASSERT_NE(Copied, nullptr);
    EXPECT_EQ(Copied->text(), QStringLiteral("a\nb"));
    EXPECT_TRUE(Copied->html().contains(QStringLiteral(">a\nb<"))) << Copied->html().toStdString();
}

TEST_F(LogViewTest, ALineOfManyBreaksScrollsByRows)
{
    std::string Body;
    for (int Row = 0; Row < 300000; ++Row)
        Body += "Zeile\n";
    Log.Append(TLogEntryKind::Status, "+OK\r\n");
    Log.Append(TLogEntryKind::Body, Body + "\r\n.\r\n");
    Settle();
    QScrollBar* Bar = View.verticalScrollBar();
    EXPECT_EQ(Bar->maximum() + Bar->pageStep(), 300000 + 3);
    Keys(Qt::Key_PageUp);
    EXPECT_EQ(View.CaretPosition(), (TLogPosition { 1, 6 * (300000 - Bar->pageStep() + 1) }));
    Bar->setValue(150000);
    EXPECT_EQ(View.HitTest({ 5, 5 }), (TLogPosition { 1, 6 * 149999 })); // row 0 is "+OK"
}
