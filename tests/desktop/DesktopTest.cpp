// The program on a desktop: its command line, a dark palette at 200 %
// scaling, and what a screen reader gets from the main window. Its own
// main(): the scale factor counts only before the application exists.

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyleFactory>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "app/CommandLine.h"
#include "app/ProgramStart.h"
#include "protocollog/LogView.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"
#include "tests/support/qt/TextFit.h"

namespace {

// Runs the built program with Arguments and no display at all.
struct TRun {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

TRun RunProgram(const QStringList& Arguments)
{
    QProcess Program;
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.remove(QStringLiteral("DISPLAY"));
    Environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    Environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    Program.setProcessEnvironment(Environment);
    Program.start(QStringLiteral(BRIEFLOTSE_PROGRAM), Arguments);
    TRun Result;
    if (!Program.waitForFinished(20000)) {
        Program.kill();
        Program.waitForFinished();
        return Result;
    }
    Result.ExitCode = Program.exitStatus() == QProcess::NormalExit ? Program.exitCode() : -1;
    Result.Out = QString::fromUtf8(Program.readAllStandardOutput());
    Result.Err = QString::fromUtf8(Program.readAllStandardError());
    return Result;
}

// Contrast of two colours as WCAG measures it (1 to 21).
double Contrast(const QColor& First, const QColor& Second)
{
    auto Luminance = [](const QColor& Colour) {
        auto Channel
            = [](double Value) { return Value <= 0.03928 ? Value / 12.92 : std::pow((Value + 0.055) / 1.055, 2.4); };
        return 0.2126 * Channel(Colour.redF()) + 0.7152 * Channel(Colour.greenF()) + 0.0722 * Channel(Colour.blueF());
    };
    const double A = Luminance(First) + 0.05;
    const double B = Luminance(Second) + 0.05;
    return A > B ? A / B : B / A;
}

QPalette DarkPalette()
{
    QPalette Dark;
    Dark.setColor(QPalette::Window, QColor(45, 45, 45));
    Dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    Dark.setColor(QPalette::Base, QColor(30, 30, 30));
    Dark.setColor(QPalette::AlternateBase, QColor(50, 50, 50));
    Dark.setColor(QPalette::Text, QColor(230, 230, 230));
    Dark.setColor(QPalette::Button, QColor(55, 55, 55));
    Dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    Dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    Dark.setColor(QPalette::HighlightedText, Qt::black);
    return Dark;
}

// The program's windows on a private settings folder, a connection closed at the end.
class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(Dir.path()));
        Windows = std::make_unique<TBrieflotseWindows>();
    }
    void TearDown() override
    {
        if (Windows->Main.Conversation().Connected())
            Windows->Main.Conversation().DropConnection();
        Windows.reset();
    }
    // Starts the program's windows with a server on the command line, as main() does.
    void StartWith(ScriptedServer& Server)
    {
        Server.start();
        const TCommandLine Line
            = ParseCommandLine({ QStringLiteral("brieflotse"), QStringLiteral("127.0.0.1:%1").arg(Server.port()) });
        ASSERT_FALSE(Line.Done);
        Windows->Show(Line.Server);
        QTRY_VERIFY_WITH_TIMEOUT(Windows->Main.Conversation().Connected(), 5000);
    }

    TempDir Dir;
    std::unique_ptr<TBrieflotseWindows> Windows;
};

} // namespace

TEST(CommandLine, VersionAndHelpNeedNoDisplay)
{
    const TRun Version = RunProgram({ QStringLiteral("--version") });
    EXPECT_EQ(Version.ExitCode, 0) << Version.Err.toStdString();
    EXPECT_EQ(Version.Out.toStdString(), "Brieflotse " + BrieflotseVersion().toStdString() + "\n");
    EXPECT_EQ(RunProgram({ QStringLiteral("-v") }).Out, Version.Out);

    const TRun Help = RunProgram({ QStringLiteral("--help") });
    EXPECT_EQ(Help.ExitCode, 0) << Help.Err.toStdString();
    for (const char* Part : { "Aufruf: brieflotse [Optionen] [server]", "Optionen:", "-h, --help",
             "Zeigt diese Hilfe an.", "-v, --version", "Argumente:", "pop3s://mail.example.org" })
        EXPECT_TRUE(Help.Out.contains(QString::fromUtf8(Part))) << Part << " missing in:\n" << Help.Out.toStdString();
    EXPECT_FALSE(Help.Out.contains(QStringLiteral("Usage"))) << Help.Out.toStdString();
}

TEST(CommandLine, FaultsEndWithAMessageAndCode2)
{
    const TRun Unknown = RunProgram({ QStringLiteral("--gibt-es-nicht") });
    EXPECT_EQ(Unknown.ExitCode, 2);
    EXPECT_TRUE(Unknown.Err.contains(QStringLiteral("gibt-es-nicht"))) << Unknown.Err.toStdString();
    EXPECT_TRUE(Unknown.Out.isEmpty());
    const TRun TwoServers = RunProgram({ QStringLiteral("a.example.org"), QStringLiteral("b.example.org") });
    EXPECT_EQ(TwoServers.ExitCode, 2);
    EXPECT_TRUE(TwoServers.Err.contains(QStringLiteral("nur ein Mail-Server"))) << TwoServers.Err.toStdString();
}

TEST(CommandLine, ServerArgumentIsKeptAsTyped)
{
    EXPECT_EQ(ParseCommandLine({ QStringLiteral("brieflotse"), QStringLiteral("pop3s://mail.example.org") }).Server,
        QStringLiteral("pop3s://mail.example.org"));
    EXPECT_EQ(ParseCommandLine({ QStringLiteral("brieflotse"), QStringLiteral("mail.example.org:110") }).Server,
        QStringLiteral("mail.example.org:110"));
    const TCommandLine None = ParseCommandLine({ QStringLiteral("brieflotse") });
    EXPECT_FALSE(None.Done);
    EXPECT_TRUE(None.Server.isEmpty());
}

TEST_F(DesktopTest, ServerArgumentConnectsOnceTheWindowIsShown)
{
    ScriptedServer Server;
    Server.send("+OK Brieflotse-Test bereit\r\n").expectLine().send("+OK\r\n").holdOpen(3000);
    StartWith(Server);
    EXPECT_EQ(Windows->Main.windowTitle(), QStringLiteral("Brieflotse - [127.0.0.1]"));
    QTRY_VERIFY(Child<TLogView>(Windows->Main, "Log")->PlainText().contains(QStringLiteral("Brieflotse-Test")));
    Windows->Main.SendCommandLine(QStringLiteral("NOOP"));
    Windows->Main.Conversation().DropConnection();
    ASSERT_TRUE(Server.waitFinished(5000)) << Server.error();
    EXPECT_EQ(Server.received(), "NOOP\r\n");
}

TEST_F(DesktopTest, EveryControlAndMenuEntryIsNamedForScreenReaders)
{
    Windows->Show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Windows->Main));
    // A field is named by its label, whatever it holds; the value is its own.
    auto* Host = Child<QComboBox>(Windows->Main, "HostCombo");
    Host->setEditText(QStringLiteral("127.0.0.1"));
    QAccessibleInterface* HostSpoken = QAccessible::queryAccessibleInterface(Host);
    ASSERT_NE(HostSpoken, nullptr);
    EXPECT_EQ(HostSpoken->text(QAccessible::Name), QStringLiteral("Mail-Server"));
    EXPECT_EQ(HostSpoken->text(QAccessible::Value), QStringLiteral("127.0.0.1"));
    int Checked = 0;
    for (QWidget* Control : Windows->Main.findChildren<QWidget*>()) {
        // The main window and its dialogs (finder, assistant, about box), not the lists that drop down.
        const QWidget* Window = Control->window();
        const bool Ours = Window == &Windows->Main || Window == &Windows->Finder || Window == &Windows->Assistant
            || Window == &Windows->About;
        if (Control->isWindow() || !Ours || !Control->isVisibleTo(Window) || Control->focusPolicy() == Qt::NoFocus)
            continue;
        QAccessibleInterface* Spoken = QAccessible::queryAccessibleInterface(Control);
        ASSERT_NE(Spoken, nullptr) << Control->objectName().toStdString();
        EXPECT_FALSE(Spoken->text(QAccessible::Name).trimmed().isEmpty())
            << Control->metaObject()->className() << " " << Control->objectName().toStdString();
        if (!Control->objectName().startsWith(QLatin1String("qt_"))) {
            EXPECT_FALSE(Spoken->text(QAccessible::Description).trimmed().isEmpty())
                << Control->objectName().toStdString();
        }
        ++Checked;
    }
    EXPECT_GE(Checked, 20); // the main window's 15 and the dialogs' fields and buttons

    int Entries = 0;
    std::function<void(QMenu*)> Walk = [&](QMenu* Menu) {
        QAccessibleInterface* SpokenMenu = QAccessible::queryAccessibleInterface(Menu);
        ASSERT_NE(SpokenMenu, nullptr);
        ASSERT_EQ(SpokenMenu->childCount(), Menu->actions().size());
        int Index = -1;
        for (QAction* Entry : Menu->actions()) {
            ++Index;
            if (Entry->isSeparator())
                continue;
            ++Entries;
            if (!Entry->menu()) {
                EXPECT_FALSE(SpokenMenu->child(Index)->text(QAccessible::Description).isEmpty())
                    << Entry->objectName().toStdString();
            }
            EXPECT_FALSE(Entry->text().remove(QLatin1Char('&')).trimmed().isEmpty())
                << Entry->objectName().toStdString();
            if (Entry->menu()) {
                Walk(Entry->menu());
                continue;
            }
            EXPECT_FALSE(Entry->statusTip().isEmpty()) << Entry->objectName().toStdString();
        }
    };
    for (QAction* Top : Windows->Main.menuBar()->actions()) {
        ASSERT_NE(Top->menu(), nullptr);
        EXPECT_FALSE(Top->text().isEmpty());
        Walk(Top->menu());
    }
    EXPECT_GE(Entries, 40);
}

TEST_F(DesktopTest, DarkPaletteAtTwiceTheSizeKeepsTheLogReadableAndNoTextClipped)
{
    ASSERT_EQ(qgetenv("QT_SCALE_FACTOR"), "2");
    ScriptedServer Server;
    Server.send("+OK bereit\r\n")
        .expectLine()
        .send("-ERR unbekannt\r\n")
        .expectLine()
        .send("+OK 1 Nachricht\r\n1 120\r\n.\r\n")
        .holdOpen(3000);
    StartWith(Server);
    Windows->Main.SendCommandLine(QStringLiteral("XYZ"));
    Windows->Main.SendCommandLine(QStringLiteral("LIST"));
    auto* Log = Child<TLogView>(Windows->Main, "Log");
    QTRY_VERIFY(Log->PlainText().contains(QStringLiteral("1 120")));

    // The desktop is dark, the log stays paper-white with its own colours.
    EXPECT_LT(Windows->Main.palette().color(QPalette::Window).lightness(), 80);
    const QColor Base = Log->palette().color(QPalette::Base);
    EXPECT_EQ(Base, QColor(Qt::white));
    const QSet<QRgb> Known = { QColor(0, 128, 0).rgb(), QColor(0, 0, 128).rgb(), QColor(255, 0, 0).rgb(),
        QColor(Qt::black).rgb(), QColor(128, 128, 128).rgb() };
    int Fragments = 0;
    for (size_t Line = 0; Line < Log->Store().LineCount(); ++Line) {
        for (const TLogSpan& Part : ReadLogLine(Log->Store(), Line).Spans) {
            const QColor Colour
                = Part.Style.Coloured() ? QColor::fromRgba(Part.Style.Colour) : Log->palette().color(QPalette::Text);
            EXPECT_TRUE(Known.contains(Colour.rgb())) << Colour.name().toStdString();
            EXPECT_GE(Contrast(Colour, Base), 3.0) << Colour.name().toStdString();
            ++Fragments;
        }
    }
    EXPECT_GE(Fragments, 4);
    // What is painted: the log's background is light where no text is.
    QTRY_VERIFY(Log->updatesEnabled()); // the log repaints after a held-back pause
    const QImage Shot = Windows->Main.grab().toImage();
    EXPECT_EQ(Shot.devicePixelRatio(), 2.0);
    const QPoint Corner = Log->viewport()->mapTo(&Windows->Main, Log->viewport()->rect().bottomRight() - QPoint(4, 4));
    EXPECT_GT(QColor(Shot.pixel(Corner * 2)).lightness(), 240);
    Shot.save(QStringLiteral("desktop-dark-200.png"));

    // Every caption fits its control.
    for (QWidget* Control : Windows->Main.findChildren<QWidget*>()) {
        if (!Control->isVisibleTo(&Windows->Main) || Control->inherits("TElidedLabel")
            || !(qobject_cast<QLabel*>(Control) || qobject_cast<QPushButton*>(Control)))
            continue;
        const QSize Wanted = Control->sizeHint();
        EXPECT_GE(Control->width(), Wanted.width()) << Control->objectName().toStdString();
        EXPECT_GE(Control->height(), Wanted.height()) << Control->objectName().toStdString();
    }
}

TEST_F(DesktopTest, FinderShowsEveryPageWholeAtTwiceTheSize)
{
    TPOP3Lookup& Finder = Windows->Finder;
    Finder.Prepare(&Windows->Main);
    Finder.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Finder));
    auto* Hosts = Child<QTreeWidget>(Finder, "MXHosts");
    Hosts->addTopLevelItem(new QTreeWidgetItem({ QStringLiteral("pop.example.org"), QStringLiteral("65535"),
        QStringLiteral("SRV, TLS"), QStringLiteral("65535") }));
    auto* Pages = Child<QStackedWidget>(Finder, "Pages");
    for (int Page = 0; Page < Pages->count(); ++Page) {
        Pages->setCurrentIndex(Page);
        QApplication::processEvents();
        EXPECT_EQ(CutTexts(Finder).join(" | ").toStdString(), "") << Pages->currentWidget()->objectName().toStdString();
    }
    const QAbstractItemView* List = Hosts;
    for (const int Column : { 1, 2, 3 })
        EXPECT_LE(List->sizeHintForColumn(Column), Hosts->columnWidth(Column)) << "column " << Column;
    Finder.grab().save(QStringLiteral("finder-200.png"));
    Finder.reject();
}

int main(int argc, char** argv)
{
    qputenv("QT_SCALE_FACTOR", "2");
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QApplication Application(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(DarkPalette());
    PrepareBrieflotseApplication();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
