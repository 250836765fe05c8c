// Printing the protocol log through a real spooler: a private cupsd with the
// cups-pdf printer; the printed PDF is read back with pdftotext.
#include <QAction>
#include <QApplication>
#include <QColor>
#include <QFile>
#include <QPrintDialog>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "protocollog/LogPrinter.h"
#include "protocollog/LogStore.h"
#include "settings/SettingsStore.h"
#include "tests/support/CupsHarness.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

namespace {

// Collapses runs of blanks, as pdftotext spaces words by their position.
QString Simplified(const QString& Text)
{
    return QString(Text).replace(QRegularExpression("[ \\t]+"), " ");
}

QString RunTool(const QString& Tool, const QStringList& Arguments)
{
    QProcess Process;
    Process.start(Tool, Arguments);
    if (!Process.waitForFinished(60000))
        return QString();
    return QString::fromUtf8(Process.readAllStandardOutput());
}

TLogStyle Style(const QColor& Colour, bool Bold)
{
    TLogStyle Result;
    if (Colour.isValid()) {
        Result.Colour = Colour.rgba();
        Result.Flags |= TLogStyle::sfColoured;
    }
    if (Bold)
        Result.Flags |= TLogStyle::sfBold;
    return Result;
}

// A log long enough for several pages, with coloured and bold runs.
void FillLongLog(TLogStore& Log, int Lines)
{
    const QColor Navy(0, 0, 128);
    const QColor Green(0, 128, 0);
    Log.AddLine();
    Log.Append("LIST", Style(QColor(), true));
    Log.AddLine();
    Log.Append("+OK", Style(Green, true));
    Log.Append(QStringLiteral(" %1 messages:").arg(Lines).toStdString(), Style(Green, false));
    for (int I = 1; I <= Lines; ++I) {
        Log.AddLine();
        Log.Append(QStringLiteral("%1 %2").arg(I).arg(1000 + I).toStdString(), Style(Navy, false));
    }
    Log.AddLine();
    Log.Append(".", Style(Navy, false));
}

} // namespace

class LogPrint : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Why = CupsHarness::unavailableReason();
        if (!Why.empty())
            return;
        Cups = std::make_unique<CupsHarness>();
        if (!Cups->start(&Why))
            Cups.reset();
    }
    static void TearDownTestSuite() { Cups.reset(); }
    void SetUp() override
    {
        if (!Cups)
            GTEST_SKIP() << "no private CUPS spooler: " << Why;
    }

    static std::unique_ptr<CupsHarness> Cups;
    static std::string Why;
};

std::unique_ptr<CupsHarness> LogPrint::Cups;
std::string LogPrint::Why;

TEST_F(LogPrint, WithoutAPrinterTheFailureIsReported)
{
    Cups->removePdfPrinter();
    TLogStore Log;
    Log.Append("+OK ready", TLogStyle());
    ASSERT_TRUE(QPrinterInfo::defaultPrinter().isNull());
    const QString Error = PrintLog(Log);
    EXPECT_TRUE(Error.startsWith("Es ist kein Standarddrucker eingerichtet.")) << Error.toStdString();
    EXPECT_TRUE(Cups->outputFiles().empty());
}

// Without a printer "Drucken" offers the print dialog, which prints to a PDF file.
TEST_F(LogPrint, WithoutAPrinterTheWindowPrintsToAPdfFile)
{
    Cups->removePdfPrinter();
    ASSERT_TRUE(QPrinterInfo::defaultPrinter().isNull());
    TempDir Dir;
    TSettingsStore Store(QString::fromStdString(Dir.file("settings.json")));
    TPOP3Main Main(Store);
    Main.show();
    Main.ProtocolLog().Append(TLogEntryKind::Note, "Brieflotse: Prüfung bestanden");
    Main.SetSaveFolder(QString::fromStdString(Dir.path()) + QLatin1Char('/'));
    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    QString Title;
    QTimer::singleShot(0, &Main, [&Title] {
        auto* Dialog = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget());
        if (!Dialog)
            return;
        Title = Dialog->windowTitle();
        Dialog->accept();
    });
    Child<QAction>(Main, "MenuDrucken")->trigger();
    EXPECT_EQ(Title, QStringLiteral("Brieflotse - Drucken"));
    QFile Pdf(QString::fromStdString(Dir.file("Brieflotse-Protokoll.pdf")));
    ASSERT_TRUE(Pdf.open(QIODevice::ReadOnly)) << "no PDF file written";
    EXPECT_TRUE(Pdf.read(5) == "%PDF-");
    EXPECT_TRUE(TMessageBox::LastText().contains(QStringLiteral("Brieflotse-Protokoll.pdf")))
        << TMessageBox::LastText().toStdString();
}

TEST_F(LogPrint, TheWholeLogGoesToTheDefaultPrinterAsOneTitledJob)
{
    std::string Error;
    ASSERT_TRUE(Cups->addPdfPrinter(&Error)) << Error;
    ASSERT_FALSE(QPrinterInfo::defaultPrinter().isNull());
    const auto Before = Cups->outputFiles();

    TLogStore Log;
    FillLongLog(Log, 150);
    ASSERT_EQ(PrintLog(Log), QString());
    ASSERT_TRUE(Cups->waitUntilIdle(120000)) << Cups->log();

    const auto After = Cups->outputFiles();
    ASSERT_EQ(After.size(), Before.size() + 1) << Cups->log();
    const std::string Name = After.back();
    // cups-pdf names the file after the job title, blanks as underscores.
    EXPECT_EQ(Name.rfind("Brieflotse_-_Protokoll", 0), 0u) << Name;
    const QString Pdf = QString::fromStdString(Cups->outputFolder() + "/" + Name);

    if (QStandardPaths::findExecutable("pdftotext").isEmpty())
        GTEST_SKIP() << "pdftotext is not installed";
    const QString Text = Simplified(RunTool("pdftotext", { "-layout", Pdf, "-" }));
    for (const QString& Line :
        { QString("LIST"), QString("+OK 150 messages:"), QString("1 1001"), QString("75 1075"), QString("150 1150") })
        EXPECT_TRUE(Text.contains(Line)) << Line.toStdString() << " in:\n" << Text.left(300).toStdString();
    EXPECT_TRUE(Text.trimmed().endsWith(".")) << Text.right(40).toStdString();
    const QString Info = RunTool("pdfinfo", { Pdf });
    const auto Pages = QRegularExpression("Pages:\\s+(\\d+)").match(Info).captured(1).toInt();
    EXPECT_GE(Pages, 2) << Info.toStdString();
}

TEST_F(LogPrint, AStoppedPrinterIsReportedAndGetsNoJob)
{
    std::string Error;
    ASSERT_TRUE(Cups->addPdfPrinter(&Error)) << Error;
    ASSERT_TRUE(Cups->setPrinterEnabled(false));
    TLogStore Log;
    Log.Append("+OK ready", TLogStyle());
    const QString Failure = PrintLog(Log);
    Cups->setPrinterEnabled(true);
    EXPECT_TRUE(Failure.startsWith("Das Protokoll konnte nicht auf \"BrieflotsePDF\" gedruckt werden."))
        << Failure.toStdString();
    EXPECT_TRUE(Failure.contains("angehalten"));
    EXPECT_TRUE(Cups->waitUntilIdle(0));
}
