// Saving the protocol log as rich text and as plain text. The RTF is read back
// with unrtf, a reader that knows nothing of how it was written.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "protocollog/LogFileWriter.h"
#include "protocollog/LogSaver.h"
#include "protocollog/LogView.h"
#include "tests/app/golden/LogScenario.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

// Readable QString values in failure messages.
static void PrintTo(const QString& Value, std::ostream* Out)
{
    *Out << '"' << Value.toStdString() << '"';
}

namespace {

const QColor Green(0, 128, 0);
const QColor Navy(0, 0, 128);
const QColor Red(255, 0, 0);

struct TRun {
    QString Text;
    QColor Colour; // invalid: no colour of its own
    bool Bold = false;
};
using TLine = std::vector<TRun>;

// Builds a log the way the view holds it: one store line per line, colour and
// bold as the styles of its runs.
class TTestLog {
public:
    void Add(const TLine& Runs)
    {
        View.Store().AddLine();
        ++Lines;
        for (const TRun& Run : Runs) {
            TLogStyle Style;
            if (Run.Colour.isValid()) {
                Style.Colour = Run.Colour.rgba();
                Style.Flags |= TLogStyle::sfColoured;
            }
            if (Run.Bold)
                Style.Flags |= TLogStyle::sfBold;
            View.Store().Append(Run.Text.toStdString(), Style, true);
        }
    }
    // A server line: first word bold, all in one colour.
    void Server(const QString& Word, const QString& Rest, const QColor& Colour)
    {
        Add({ { Word, Colour, true }, { Rest, Colour, false } });
    }
    const TLogStore& Doc() const { return View.Store(); }

    TLogView View;
    int Lines = 0;
};

// A typical exchange: greeting, command, status line with a body.
void FillExchange(TTestLog& Log)
{
    Log.Server("+OK", " Dovecot ready.", Green);
    Log.Add({});
    Log.Add({ { "LIST", QColor(), true }, { " 1", QColor(), false } });
    Log.Server("+OK", " 2 messages:", Green);
    Log.Add({ { "1 320", Navy, false } });
    Log.Add({ { ".", Navy, false } });
    Log.Add({ { "RETR", QColor(), true }, { " 9", QColor(), false } });
    Log.Server("-ERR", " no such message", Red);
}

// One line of unrtf's HTML: its text and, per character, colour and bold.
struct TReadLine {
    QString Text;
    std::vector<QString> Colour; // "#rrggbb" or empty
    std::vector<bool> Bold;

    QString ColourOf(const QString& Part) const
    {
        const auto At = Text.indexOf(Part);
        return At < 0 ? QStringLiteral("?") : Colour[At];
    }
    bool AllBold(const QString& Part, bool Expected) const
    {
        const auto At = Text.indexOf(Part);
        if (At < 0)
            return false;
        for (auto I = At; I < At + Part.size(); ++I)
            if (Bold[I] != Expected)
                return false;
        return true;
    }
};

QString Decode(const QString& Entity)
{
    static const QHash<QString, QString> Known = { { "nbsp", " " }, { "amp", "&" }, { "lt", "<" }, { "gt", ">" },
        { "quot", "\"" }, { "auml", "ä" }, { "euro", "€" }, { "Omega", "Ω" } };
    return Known.value(Entity, "&" + Entity + ";");
}

// Reads the body of unrtf --html into lines (a <br> ends one).
std::vector<TReadLine> ParseUnrtfHtml(const QString& Html)
{
    std::vector<TReadLine> Lines(1);
    std::vector<QString> FontColours;
    int BoldDepth = 0;
    const auto Body = Html.indexOf("<body>");
    const auto End = Html.indexOf("</body>");
    for (auto I = Body + 6; I >= 6 && I < End;) {
        const QChar C = Html.at(I);
        if (C == '<') {
            const auto Close = Html.indexOf('>', I);
            const QString Tag = Html.mid(I + 1, Close - I - 1);
            if (Tag == "br") {
                Lines.emplace_back();
            } else if (Tag == "b") {
                ++BoldDepth;
            } else if (Tag == "/b") {
                --BoldDepth;
            } else if (Tag.startsWith("font")) {
                const auto Colour = Tag.indexOf("color=\"");
                FontColours.push_back(Colour < 0 ? QString() : Tag.mid(Colour + 7, 7).toLower());
            } else if (Tag == "/font" && !FontColours.empty()) {
                FontColours.pop_back();
            }
            I = Close + 1;
            continue;
        }
        QString Text;
        if (C == '&') {
            const auto Semi = Html.indexOf(';', I);
            Text = Decode(Html.mid(I + 1, Semi - I - 1));
            I = Semi + 1;
        } else {
            ++I;
            if (C == '\n')
                continue; // unrtf wraps its output; lines end at <br>
            Text = C;
        }
        QString Colour;
        for (const QString& F : FontColours)
            if (!F.isEmpty())
                Colour = F;
        for (const QChar T : Text) {
            Lines.back().Text += T;
            Lines.back().Colour.push_back(Colour);
            Lines.back().Bold.push_back(BoldDepth > 0);
        }
    }
    return Lines;
}

// Runs unrtf --html on a file; empty when unrtf is missing.
QString UnrtfHtml(const QString& Path)
{
    if (QStandardPaths::findExecutable("unrtf").isEmpty())
        return QString();
    QProcess Unrtf;
    Unrtf.start("unrtf", { "--html", Path });
    if (!Unrtf.waitForFinished(30000))
        return QString();
    return QString::fromUtf8(Unrtf.readAllStandardOutput());
}

QByteArray ReadFile(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray("<unreadable>");
}

QStringList FilesIn(const QString& Folder)
{
    return QDir(Folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

TEST(LogPlainText, EveryLineEndsWithCrLfInUtf8)
{
    TTestLog Log;
    FillExchange(Log);
    EXPECT_EQ(LogAsPlainText(Log.Doc()),
        QByteArray("+OK Dovecot ready.\r\n\r\nLIST 1\r\n+OK 2 messages:\r\n1 320\r\n.\r\n"
                   "RETR 9\r\n-ERR no such message\r\n"));

    TTestLog Foreign;
    Foreign.Add({ { QString::fromUtf8("Grüße € Ω \U0001F600\tx"), QColor(), false } });
    EXPECT_EQ(LogAsPlainText(Foreign.Doc()), QString::fromUtf8("Grüße € Ω \U0001F600\tx\r\n").toUtf8());

    TTestLog Empty;
    EXPECT_TRUE(LogAsPlainText(Empty.Doc()).isEmpty());
}

TEST(LogRtf, HeaderNamesTheFaceAndOnlyTheColoursUsed)
{
    TTestLog Log;
    FillExchange(Log);
    Log.Add({ { "plain", QColor(Qt::black), false } });

    const QByteArray Proportional = LogAsRtf(Log.Doc(), false, QColor(Qt::black));
    EXPECT_TRUE(Proportional.startsWith("{\\rtf1\\ansi\\ansicpg1252\\deff0")) << Proportional.constData();
    EXPECT_TRUE(Proportional.contains("{\\fonttbl{\\f0\\fswiss\\fprq2\\fcharset0 MS Sans Serif;}}"));
    // Index 0 is the automatic colour; black text is written with it.
    EXPECT_TRUE(Proportional.contains(
        "{\\colortbl ;\\red0\\green128\\blue0;\\red0\\green0\\blue128;\\red255\\green0\\blue0;}"));
    EXPECT_TRUE(Proportional.contains("\\cf0 plain\\par"));
    EXPECT_TRUE(Proportional.trimmed().endsWith('}'));
    EXPECT_EQ(Proportional.count("\\par\r\n"), 9);

    const QByteArray Fixed = LogAsRtf(Log.Doc(), true);
    EXPECT_TRUE(Fixed.contains("{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}"));
    // Without an automatic colour, black is a colour of its own.
    EXPECT_TRUE(Fixed.contains("\\red0\\green0\\blue0;}"));

    int Depth = 0;
    for (int I = 0; I < Fixed.size(); ++I) {
        if (Fixed[I] == '\\')
            ++I;
        else if (Fixed[I] == '{')
            ++Depth;
        else if (Fixed[I] == '}')
            --Depth;
        ASSERT_GE(Depth, 0);
    }
    EXPECT_EQ(Depth, 0);
}

TEST(LogRtf, EscapesRtfCharactersAndWhatCodePage1252Lacks)
{
    TTestLog Log;
    Log.Add({ { QString::fromUtf8("a\\b{c}d\te ä€ Ω \uFFFD"), QColor(), false } });
    const QByteArray Rtf = LogAsRtf(Log.Doc(), false);
    EXPECT_TRUE(Rtf.contains("a\\\\b\\{c\\}d\\tab e \\'e4\\'80 \\u937? \\u-3?\\par")) << Rtf.constData();
}

TEST(LogRtf, UnrtfReadsBackLinesColoursAndBoldRuns)
{
    TempDir Dir;
    TTestLog Log;
    FillExchange(Log);
    Log.Add({ { "USER", QColor(), true }, { " {anna} \\ x", QColor(), false } });
    const QString Path = QString::fromStdString(Dir.file("log.rtf"));
    ASSERT_EQ(SaveLog(Log.Doc(), false, Path, TLogFileType::RichText), QString());

    const QString Html = UnrtfHtml(Path);
    if (Html.isEmpty())
        GTEST_SKIP() << "unrtf is not installed";
    EXPECT_TRUE(Html.contains("<font face=\"MS Sans Serif\">")) << Html.toStdString();
    const std::vector<TReadLine> Lines = ParseUnrtfHtml(Html);
    ASSERT_GE(Lines.size(), 9u) << Html.toStdString();

    const QStringList Expected = { "+OK Dovecot ready.", "", "LIST 1", "+OK 2 messages:", "1 320", ".", "RETR 9",
        "-ERR no such message", "USER {anna} \\ x" };
    for (int I = 0; I < Expected.size(); ++I)
        EXPECT_EQ(Lines[I].Text, Expected[I]) << "line " << I;

    EXPECT_EQ(Lines[0].ColourOf("+OK"), "#008000");
    EXPECT_EQ(Lines[0].ColourOf("Dovecot"), "#008000");
    EXPECT_TRUE(Lines[0].AllBold("+OK", true));
    EXPECT_TRUE(Lines[0].AllBold(" Dovecot ready.", false));
    // Automatic colour: unrtf names no colour or black.
    EXPECT_TRUE(Lines[2].ColourOf("LIST").isEmpty() || Lines[2].ColourOf("LIST") == "#000000");
    EXPECT_TRUE(Lines[2].AllBold("LIST", true));
    EXPECT_TRUE(Lines[2].AllBold(" 1", false));
    EXPECT_EQ(Lines[4].ColourOf("1 320"), "#000080");
    EXPECT_TRUE(Lines[4].AllBold("1 320", false));
    EXPECT_EQ(Lines[7].ColourOf("no such"), "#ff0000");
    EXPECT_TRUE(Lines[7].AllBold("-ERR", true));
    EXPECT_TRUE(Lines[8].ColourOf("{anna}").isEmpty() || Lines[8].ColourOf("{anna}") == "#000000");

    ASSERT_EQ(SaveLog(Log.Doc(), true, Path, TLogFileType::RichText), QString());
    EXPECT_TRUE(UnrtfHtml(Path).contains("<font face=\"Courier New\">"));
}

TEST(LogSaver, WritesTheChosenTypeAndTreatsTheViewsTextColourAsAutomatic)
{
    TempDir Dir;
    TTestLog Log;
    FillExchange(Log);
    const QColor Text = Log.View.palette().color(QPalette::Text);
    Log.Add({ { "NOOP", Text, true } });

    const QString Txt = QString::fromStdString(Dir.file("log.txt"));
    ASSERT_EQ(SaveLog(Log.View, false, Txt, TLogFileType::PlainText), QString());
    EXPECT_EQ(ReadFile(Txt), LogAsPlainText(Log.Doc()));

    // The same log as rich text afterwards, over an existing file.
    const QString Rtf = QString::fromStdString(Dir.file("log.rtf"));
    ASSERT_EQ(SaveLog(Log.View, false, Rtf, TLogFileType::PlainText), QString());
    ASSERT_EQ(SaveLog(Log.View, false, Rtf, TLogFileType::RichText), QString());
    const QByteArray Saved = ReadFile(Rtf);
    EXPECT_TRUE(Saved.startsWith("{\\rtf1"));
    EXPECT_TRUE(Saved.contains("\\cf0 \\b NOOP\\par")) << Saved.constData();
    EXPECT_EQ(FilesIn(QString::fromStdString(Dir.path())), QStringList({ "log.rtf", "log.txt" }));
}

TEST(LogSaver, FailuresGiveTheSystemsReasonAndLeaveNothingBehind)
{
    TempDir Dir;
    TTestLog Log;
    FillExchange(Log);
    const QString Folder = QString::fromStdString(Dir.path());

    const QString Missing = SaveLog(Log.Doc(), false, Folder + "/gone/log.rtf", TLogFileType::RichText);
    EXPECT_TRUE(Missing.startsWith("Das Protokoll konnte nicht als")) << Missing.toStdString();
    EXPECT_TRUE(Missing.contains("No such file or directory")) << Missing.toStdString();
    EXPECT_TRUE(FilesIn(Folder).isEmpty());

    const QString Full = SaveLog(Log.Doc(), false, "/dev/full", TLogFileType::PlainText);
    EXPECT_TRUE(Full.contains(QStringLiteral("keine gewöhnliche Datei"))) << Full.toStdString();
    struct stat Info { };
    ASSERT_EQ(stat("/dev/full", &Info), 0);
    EXPECT_TRUE(S_ISCHR(Info.st_mode)) << "the device must not be replaced by a file";

    const QString Under = SaveLog(Log.Doc(), false, "/dev/full/log.txt", TLogFileType::PlainText);
    EXPECT_FALSE(Under.isEmpty());
    EXPECT_TRUE(Under.contains("/dev/full/log.txt"));
}

TEST(LogSaver, OverwritingKeepsPermissionsAndSymbolicLinks)
{
    TempDir Dir;
    const QString Folder = QString::fromStdString(Dir.path());
    const QString Real = Folder + "/real.txt";
    const QString Link = Folder + "/link.txt";
    ASSERT_EQ(WriteFileSafely(Real, "old"), QString());
    ASSERT_EQ(::chmod(QFile::encodeName(Real).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(Real, Link));

    ASSERT_EQ(WriteFileSafely(Link, "new"), QString());
    EXPECT_EQ(ReadFile(Real), QByteArray("new"));
    EXPECT_TRUE(QFileInfo(Link).isSymLink());
    struct stat Info { };
    ASSERT_EQ(::stat(QFile::encodeName(Real).constData(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 07777, 0640u);
    EXPECT_EQ(FilesIn(Folder), QStringList({ "link.txt", "real.txt" }));
}

TEST(LogSaver, AWriteThatFailsHalfwayKeepsTheOldFile)
{
    TempDir Dir;
    const QString Folder = QString::fromStdString(Dir.path());
    const QString Path = Folder + "/log.txt";
    {
        QFile Old(Path);
        ASSERT_TRUE(Old.open(QIODevice::WriteOnly));
        Old.write("old\r\n");
    }
    TTestLog Log;
    for (int I = 0; I < 2000; ++I)
        Log.Server("+OK", QStringLiteral(" line %1 of a long listing").arg(I), Green);

    // A file size limit makes the write fail like a full disk would.
    rlimit Saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Saved), 0);
    const auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit Small = Saved;
    Small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
    const QString Error = SaveLog(Log.Doc(), false, Path, TLogFileType::RichText);
    setrlimit(RLIMIT_FSIZE, &Saved);
    std::signal(SIGXFSZ, OldHandler);

    EXPECT_TRUE(Error.contains("File too large")) << Error.toStdString();
    EXPECT_EQ(ReadFile(Path), QByteArray("old\r\n"));
    EXPECT_EQ(FilesIn(Folder), QStringList({ "log.txt" }));
}

TEST(LogSaveDialog, OffersBothTypesWithMatchingExtensionAndStartsInTheFolder)
{
    TempDir Dir;
    const QString Folder = QString::fromStdString(Dir.path());
    QFileDialog Dialog;
    ConfigureSaveDialog(Dialog, Folder);

    EXPECT_EQ(Dialog.windowTitle(), "Brieflotse - Speichern");
    EXPECT_EQ(Dialog.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(Dialog.nameFilters(), QStringList({ "Rich Text Format (*.rtf)", "Textdateien (*.txt)" }));
    EXPECT_EQ(Dialog.selectedNameFilter(), "Rich Text Format (*.rtf)");
    EXPECT_EQ(Dialog.defaultSuffix(), "rtf");
    EXPECT_FALSE(Dialog.testOption(QFileDialog::DontConfirmOverwrite));
    EXPECT_EQ(QDir(Dialog.directory()).canonicalPath(), QDir(Folder).canonicalPath());

    // The user picks the second type in the dialog's type box.
    auto* Types = Child<QComboBox>(Dialog, "fileTypeCombo");
    ASSERT_NE(Types, nullptr);
    Types->setCurrentIndex(1);
    emit Types->textActivated(Types->itemText(1));
    EXPECT_EQ(Dialog.defaultSuffix(), "txt");

    // The next opening restores the type and the name chosen before.
    QFileDialog Again;
    ConfigureSaveDialog(Again, Folder, "Textdateien (*.txt)", "log.txt");
    EXPECT_EQ(Again.selectedNameFilter(), "Textdateien (*.txt)");
    EXPECT_EQ(Again.defaultSuffix(), "txt");
    ASSERT_EQ(Again.selectedFiles().size(), 1);
    EXPECT_TRUE(Again.selectedFiles().front().endsWith("/log.txt"));

    EXPECT_EQ(LogFileTypeForFilter("Textdateien (*.txt)"), TLogFileType::PlainText);
    EXPECT_EQ(LogFileTypeForFilter("Rich Text Format (*.rtf)"), TLogFileType::RichText);
    EXPECT_EQ(SaveFolderOf("/home/anna/Protokolle/log.rtf"), "/home/anna/Protokolle/");
}

// The scenario log of tests/app/golden, written by the protocol log writer and
// saved in every format, gives the same bytes as the reference files.
TEST(LogSaver, SavedFilesEqualTheReferenceFilesByteForByte)
{
    TempDir Dir;
    const QString Golden = QStringLiteral(QT_TESTCASE_SOURCEDIR "/app/golden/");
    const auto Saved = [&](const TLogView& View, bool FixedPitch, TLogFileType Type) {
        const QString Path = QString::fromStdString(Dir.file("saved"));
        EXPECT_EQ(SaveLog(View, FixedPitch, Path, Type), QString());
        return ReadFile(Path);
    };
    TLogView View;
    PrepareScenarioView(View, false);
    TProtocolLog Log(&View);
    FillScenarioLog(Log);
    EXPECT_EQ(Saved(View, false, TLogFileType::RichText), ReadFile(Golden + "log.rtf"));
    EXPECT_EQ(Saved(View, false, TLogFileType::PlainText), ReadFile(Golden + "log.txt"));
    PrepareScenarioView(View, true);
    EXPECT_EQ(Saved(View, true, TLogFileType::RichText), ReadFile(Golden + "log-fixed.rtf"));

    TLogView Empty;
    PrepareScenarioView(Empty, false);
    EXPECT_EQ(Saved(Empty, false, TLogFileType::RichText), ReadFile(Golden + "empty.rtf"));
    EXPECT_EQ(Saved(Empty, false, TLogFileType::PlainText), ReadFile(Golden + "empty.txt"));
}
