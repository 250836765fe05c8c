// Protocol log: colours and bold type read back from the log's store.
#include <gtest/gtest.h>

#include "protocollog/LogView.h"
#include "protocollog/ProtocolLog.h"

namespace {

const QColor kGreen(0, 128, 0);
const QColor kNavy(0, 0, 128);
const QColor kRed(255, 0, 0);

class ProtocolLogTest : public testing::Test {
protected:
    TLogView View;
    TProtocolLog Log { &View };

    int LineCount() const { return static_cast<int>(View.Store().LineCount()); }
    QString Line(int Index) const { return View.LineText(Index); }

    // Style of the character at Column of line Index.
    TLogStyle StyleAt(int Index, int Column) const
    {
        const TLogLineText Text = ReadLogLine(View.Store(), static_cast<size_t>(Index));
        for (const TLogSpan& Span : Text.Spans)
            if (Column >= Span.Start && Column < Span.Start + Span.Length)
                return Span.Style;
        ADD_FAILURE() << "no character at line " << Index << " column " << Column;
        return {};
    }
    QColor ColorAt(int Index, int Column) const { return QColor::fromRgba(StyleAt(Index, Column).Colour); }
    bool BoldAt(int Index, int Column) const { return StyleAt(Index, Column).Bold(); }
    // Length of the bold run at the start of a line (after Skip characters).
    int BoldPrefix(int Index, int Skip = 0) const
    {
        int Column = Skip;
        while (Column < Line(Index).size() && BoldAt(Index, Column))
            ++Column;
        return Column - Skip;
    }
    QColor WindowText() const { return View.palette().color(QPalette::WindowText); }
};

} // namespace

TEST_F(ProtocolLogTest, StatusModeColoursByStatusClass)
{
    Log.Append(TLogEntryKind::Command, "\r\nLIST\r\n");
    Log.Append(TLogEntryKind::Status, "+OK 2 messages");
    Log.Append(TLogEntryKind::Body, "1 120\r\n2 200\r\n.\r\n");
    Log.Append(TLogEntryKind::Status, "-ERR no such message\r\n");
    Log.Append(TLogEntryKind::Status, "+OKAY fine\r\n");

    ASSERT_EQ(LineCount(), 8);
    EXPECT_EQ(Line(0), "");
    EXPECT_EQ(Line(1), "LIST");
    EXPECT_EQ(ColorAt(1, 0), WindowText());
    EXPECT_EQ(BoldPrefix(1), 4);

    EXPECT_EQ(Line(2), "+OK 2 messages");
    EXPECT_EQ(ColorAt(2, 0), kGreen);
    EXPECT_EQ(ColorAt(2, 5), kGreen);
    EXPECT_EQ(BoldPrefix(2), 3);
    EXPECT_FALSE(BoldAt(2, 4));

    for (int Index : { 3, 4, 5 }) {
        EXPECT_EQ(ColorAt(Index, 0), kNavy);
        EXPECT_FALSE(BoldAt(Index, 0));
    }
    EXPECT_EQ(Line(5), ".");

    EXPECT_EQ(Line(6), "-ERR no such message");
    EXPECT_EQ(ColorAt(6, 0), kRed);
    EXPECT_EQ(BoldPrefix(6), 4);
    EXPECT_EQ(ColorAt(7, 0), kGreen);
    EXPECT_EQ(Log.ServerColor(), TLogColour::Green);
}

TEST_F(ProtocolLogTest, PositiveByFirstThreeCharactersAndEveryLineBold)
{
    Log.Append(TLogEntryKind::Status, "+OKAY fine\r\n");
    Log.Append(TLogEntryKind::Status, "+OK first\r\n+OK second\r\n");
    ASSERT_EQ(LineCount(), 3);
    EXPECT_EQ(ColorAt(0, 0), kGreen);
    EXPECT_EQ(BoldPrefix(0), 5);
    EXPECT_EQ(BoldPrefix(1), 3);
    EXPECT_EQ(BoldPrefix(2), 3);
    EXPECT_EQ(ColorAt(2, 4), kGreen);
}

TEST_F(ProtocolLogTest, ConnectionModeCyclesAndFixedColoursStay)
{
    Log.SetColorMode(TColorMode::Connection);
    Log.SetServerColor(TLogColour::Green);
    const QColor Expected[] = { kNavy, kRed, kGreen };
    for (int Connection = 0; Connection < 3; ++Connection) {
        Log.AdvanceServerColor();
        Log.Append(TLogEntryKind::Status, "-ERR whatever\r\n");
        EXPECT_EQ(ColorAt(Connection, 0), Expected[Connection]) << Connection;
    }
    Log.SetServerColor(TLogColour::WindowText);
    Log.AdvanceServerColor();
    EXPECT_EQ(Log.ServerColor(), TLogColour::Green);

    Log.Clear();
    EXPECT_FALSE(Log.HasLines());
    Log.SetColorMode(TColorMode::Fixed);
    Log.SetServerColor(TLogColour::Red);
    Log.Append(TLogEntryKind::Status, "+OK red anyway\r\n");
    Log.Append(TLogEntryKind::Body, "body\r\n");
    EXPECT_EQ(ColorAt(0, 0), kRed);
    EXPECT_EQ(ColorAt(1, 0), kRed);
    EXPECT_EQ(Log.ServerColor(), TLogColour::Red);

    Log.SetServerColor(TLogColour::WindowText);
    Log.Append(TLogEntryKind::Status, "+OK plain\r\n");
    EXPECT_EQ(ColorAt(2, 0), WindowText());
    EXPECT_EQ(LineCount(), 3);
}

TEST_F(ProtocolLogTest, BoldOptionsSwitchOffSeparately)
{
    Log.SetCommandBold(false);
    Log.Append(TLogEntryKind::Command, "\r\nSTAT\r\n");
    Log.Append(TLogEntryKind::Status, "+OK 1 2\r\n");
    EXPECT_EQ(BoldPrefix(1), 0);
    EXPECT_EQ(BoldPrefix(2), 3);

    Log.SetCommandBold(true);
    Log.SetStatusBold(false);
    Log.Append(TLogEntryKind::Command, "\r\nNOOP now\r\n");
    Log.Append(TLogEntryKind::Status, "+OK\r\n");
    EXPECT_EQ(BoldPrefix(4), 4);
    EXPECT_EQ(BoldPrefix(5), 0);
    // Whole line bold when there is no blank; own lines skip leading CR/LF.
    Log.Append(TLogEntryKind::Command, "\n\rRSET\r\n");
    EXPECT_EQ(Line(6).size(), 6);
    EXPECT_EQ(BoldPrefix(6, 2), 4);
}

TEST_F(ProtocolLogTest, ForeignCharactersShowAsBlanksAndBodyLinesAsReceived)
{
    Log.Append(TLogEntryKind::Body,
        std::string("Gr\xe4"
                    "\xdf"
                    "e\0!\r\n",
            9));
    Log.Append(TLogEntryKind::Body, "..stuffed\r\n.\r\n");
    Log.Append(TLogEntryKind::Body, "tab\there\x7f\r\n");
    ASSERT_EQ(LineCount(), 4);
    EXPECT_EQ(Line(0), "Gr  e !");
    EXPECT_EQ(Line(1), "..stuffed");
    EXPECT_EQ(Line(2), ".");
    EXPECT_EQ(Line(3), "tab\there\x7f");
}

TEST_F(ProtocolLogTest, LoneLineBreaksStayInsideTheirLine)
{
    Log.Append(TLogEntryKind::Body, "a\nb\rc\r\n\r\n");
    ASSERT_EQ(LineCount(), 2);
    EXPECT_EQ(Line(0).size(), 5);
    EXPECT_EQ(Line(1), "");
    EXPECT_TRUE(Log.HasLines());
}

TEST_F(ProtocolLogTest, EmptyLineIsOneLogLineAndCaretGoesToTheEnd)
{
    Log.Append(TLogEntryKind::Command, "\r\n");
    EXPECT_TRUE(Log.HasLines());
    EXPECT_EQ(LineCount(), 1);
    Log.Append(TLogEntryKind::Command, "\r\n");
    EXPECT_EQ(LineCount(), 2);
    Log.Append(TLogEntryKind::Status, "+OK hi");
    EXPECT_EQ(LineCount(), 3);
    EXPECT_EQ(View.CaretPosition(), View.EndPosition());
    Log.Append(TLogEntryKind::Status, "");
    EXPECT_EQ(LineCount(), 3);
}

TEST(ProtocolLogTable, ColourTable)
{
    QPalette Palette;
    Palette.setColor(QPalette::WindowText, QColor(1, 2, 3));
    EXPECT_EQ(TProtocolLog::TableColor(TLogColour::Green, Palette), kGreen);
    EXPECT_EQ(TProtocolLog::TableColor(TLogColour::Navy, Palette), kNavy);
    EXPECT_EQ(TProtocolLog::TableColor(TLogColour::Red, Palette), kRed);
    EXPECT_EQ(TProtocolLog::TableColor(TLogColour::WindowText, Palette), QColor(1, 2, 3));
}

namespace {

// Every append must tell the log's listeners, also while repaints are held back.
TEST(ProtocolLogDocument, EachAppendReachesTheDocumentsListeners)
{
    TLogView View;
    TProtocolLog Log { &View };
    int Changes = 0;
    QObject::connect(&View, &TLogView::ContentsChanged, [&Changes] { ++Changes; });
    Log.Append(TLogEntryKind::Status, "+OK eins\r\n");
    const int AfterFirst = Changes;
    EXPECT_GT(AfterFirst, 0);
    Log.Append(TLogEntryKind::Command, "\r\nNOOP");
    EXPECT_GT(Changes, AfterFirst);
}

} // namespace

TEST(StatusColour, ByKindAndStatusWord)
{
    const struct {
        TLogEntryKind Kind;
        const char* Text;
        TLogColour Colour;
    } Cases[] = {
        { TLogEntryKind::Status, "+OK 2", TLogColour::Green },
        { TLogEntryKind::Status, "+okay", TLogColour::Green },
        { TLogEntryKind::Status, "+ abc\r\n", TLogColour::Green }, // a continuation asks, it does not fail
        { TLogEntryKind::Status, "-ERR", TLogColour::Red },
        { TLogEntryKind::Status, "* OK", TLogColour::Red },
        { TLogEntryKind::Body, "+OK", TLogColour::Navy },
        { TLogEntryKind::Body, "-ERR", TLogColour::Navy },
    };
    for (const auto& Case : Cases)
        EXPECT_EQ(StatusColour(Case.Kind, Case.Text), Case.Colour) << Case.Text;
}
