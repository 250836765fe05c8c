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
