#include "dialogs/BrieflotseAbout.h"
#include "dialogs/MessageBox.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// Puts a stub "xdg-open" first on PATH (or none at all) for the duration of a test.
class AboutBox : public ::testing::Test {
protected:
    void SetUp() override
    {
        TMessageBox::ResetRecord();
        savedPath = qgetenv("PATH");
    }
    void TearDown() override
    {
        qputenv("PATH", savedPath);
        TMessageBox::ResetRecord();
    }

    void InstallOpener(int exitCode)
    {
        const QString script = QString::fromStdString(dir.file("xdg-open"));
        QFile file(script);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\nexit %2\n")
                       .arg(Calls(), QString::number(exitCode))
                       .toUtf8());
        file.close();
        ::chmod(QFile::encodeName(script).constData(), 0755);
        qputenv("PATH", QByteArray::fromStdString(dir.path()) + ":" + savedPath);
    }

    void RemoveOpener() { qputenv("PATH", QByteArray::fromStdString(dir.path())); }

    QString Calls() const { return QString::fromStdString(dir.file("calls.txt")); }
    QStringList RecordedCalls() const
    {
        QFile file(Calls());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    static void Click(QWidget* link)
    {
        const QPointF centre = QRectF(link->rect()).center();
        QMouseEvent press(QEvent::MouseButtonPress, centre, link->mapToGlobal(centre), Qt::LeftButton, Qt::LeftButton,
            Qt::NoModifier);
        QApplication::sendEvent(link, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, centre, link->mapToGlobal(centre), Qt::LeftButton, Qt::NoButton,
            Qt::NoModifier);
        QApplication::sendEvent(link, &release);
    }

    // Runs the event loop until `count` links have finished; at most ten seconds.
    void WaitForLinks(TPOP3About& about, int count)
    {
        for (int i = 0; i < 1000 && finished.size() < count; ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(10);
        }
        ASSERT_EQ(finished.size(), count);
        (void)about;
    }

    void Track(TPOP3About& about, bool answerBoxes)
    {
        QObject::connect(&about, &TPOP3About::WebLinkFinished, [this, answerBoxes](const QString& url, bool ok) {
            finished.append(qMakePair(url, ok));
            // Each pre-answer covers one box; arm it again for the next failure.
            if (answerBoxes)
                TMessageBox::SetNextAnswer(QMessageBox::Ok);
        });
        if (answerBoxes)
            TMessageBox::SetNextAnswer(QMessageBox::Ok);
    }

    TempDir dir;
    QByteArray savedPath;
    QList<QPair<QString, bool>> finished;
};

} // namespace

TEST(AboutTexts, NameThePlatformAndTheFailure)
{
    EXPECT_EQ(AboutTexts::VersionText(), QStringLiteral("Brieflotse 1.0 (Kiosko) für Linux"));
    EXPECT_EQ(
        AboutTexts::HintFor(AboutTexts::RfcUrl), QStringLiteral("Öffnet https://www.rfc-editor.org/rfc/rfc1939.txt"));
    EXPECT_EQ(AboutTexts::BrowserFailureText().split("\r\n"),
        QStringList({ "Der Web-Browser konnte nicht gestartet werden.", "",
            QStringLiteral("Stellen Sie sicher, daß ein 32-Bit-Browser"),
            "installiert und korrekt konfiguriert ist, und", "versuchen Sie es dann erneut." }));
}

TEST_F(AboutBox, ShowsNameLinksAndLogo)
{
    TPOP3About about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("Über Brieflotse"));
    EXPECT_EQ(Child<QLabel>(about, "VersionLabel")->text(), AboutTexts::VersionText());
    EXPECT_EQ(Child<QLabel>(about, "RfcLabel")->text(), "Diese Software basiert auf rfc1939:");
    EXPECT_FALSE(Child<QLabel>(about, "Kiosko")->pixmap().isNull());
    const struct {
        const char* name;
        const char* url;
    } links[] = { { "Ravelko", AboutTexts::MakerUrl }, { "Kiosko", AboutTexts::MagazineUrl },
        { "rfc1939", AboutTexts::RfcUrl } };
    for (const auto& link : links) {
        SCOPED_TRACE(link.name);
        auto* label = Child<TLinkLabel>(about, link.name);
        EXPECT_EQ(label->Url(), link.url);
        EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor);
        EXPECT_EQ(label->toolTip(), AboutTexts::HintFor(link.url));
        EXPECT_EQ(label->statusTip(), AboutTexts::HintFor(link.url));
        if (qstrcmp(link.name, "Kiosko") != 0) {
            EXPECT_EQ(label->text(), link.url);
            EXPECT_TRUE(label->font().underline());
            EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::blue));
        }
    }
    auto* ok = Child<QPushButton>(about, "ButtonOK");
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_TRUE(ok->isDefault());
}

TEST_F(AboutBox, EscapeAndEnterClose)
{
    TPOP3About about;
    for (int key : { Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter }) {
        about.show();
        Child<QPushButton>(about, "ButtonOK")->setFocus();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(about.focusWidget() ? about.focusWidget() : &about, &press);
        EXPECT_FALSE(about.isVisible()) << key;
    }
}

TEST_F(AboutBox, WorkingOpenerGetsTheAddressAndNoBoxAppears)
{
    InstallOpener(0);
    TPOP3About about;
    Track(about, false);
    about.show();
    Click(Child<QWidget>(about, "rfc1939"));
    WaitForLinks(about, 1);
    EXPECT_EQ(finished.at(0), qMakePair(QString(AboutTexts::RfcUrl), true));
    EXPECT_EQ(RecordedCalls(), QStringList { AboutTexts::RfcUrl });
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
}

TEST_F(AboutBox, EveryFailedClickIsReportedSeparately)
{
    InstallOpener(1);
    TPOP3About about;
    Track(about, true);
    about.show();
    Click(Child<QWidget>(about, "Ravelko"));
    Click(Child<QWidget>(about, "Kiosko"));
    // Closing right after a click neither stops the start nor hides its failure.
    about.accept();
    WaitForLinks(about, 2);
    EXPECT_EQ(TMessageBox::ShownCount(), 2);
    EXPECT_EQ(TMessageBox::LastTitle(), "Brieflotse - Hyperlink");
    EXPECT_EQ(TMessageBox::LastText(), AboutTexts::BrowserFailureText());
    QStringList calls = RecordedCalls();
    calls.sort();
    EXPECT_EQ(calls, QStringList({ AboutTexts::MakerUrl, AboutTexts::MagazineUrl }));
    EXPECT_FALSE(finished.at(0).second);
    EXPECT_FALSE(finished.at(1).second);
}

TEST_F(AboutBox, MissingOpenerIsAFailureToo)
{
    RemoveOpener();
    TPOP3About about;
    Track(about, true);
    about.show();
    Click(Child<QWidget>(about, "rfc1939"));
    Click(Child<QWidget>(about, "rfc1939"));
    WaitForLinks(about, 2);
    EXPECT_EQ(TMessageBox::ShownCount(), 2);
    EXPECT_EQ(TMessageBox::LastTitle(), "Brieflotse - Hyperlink");
}
