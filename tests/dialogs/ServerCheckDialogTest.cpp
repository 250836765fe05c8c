#include "dialogs/ServerCheckDialog.h"
#include "conversation/LogSink.h"
#include "tests/support/SilentPort.h"
#include "tests/support/qt/Child.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

class TCountingLog : public TLogSink {
public:
    void Append(TLogEntryKind, const std::string&) override { ++Entries; }
    bool HasLines() const override { return Entries > 0; }
    void Clear() override { Entries = 0; }
    void StartConnection() override { }
    int Entries = 0;
};

void PressEnterIn(TServerCheckDialog& Dialog)
{
    QTest::keyClick(Child<QComboBox>(Dialog, "CheckServer")->lineEdit(), Qt::Key_Return);
}

} // namespace

// Bad input goes nowhere; Escape, closing the window and destroying the
// dialog each end a check that waits on a silent server at once.
TEST(ServerCheckDialog, BadInputStaysHomeAndARunEndsAtOnce)
{
    SilentPort Silent;
    TCountingLog Log;

    {
        TServerCheckDialog Dialog(Log);
        Dialog.Prepare(QStringLiteral("mail.example.org:70000"), {});
        Dialog.show();
        PressEnterIn(Dialog);
        EXPECT_FALSE(Dialog.Running());
        EXPECT_FALSE(Child<QLabel>(Dialog, "CheckProblem")->text().isEmpty());
    }

    enum class TEnd { Escape, Close, Destroy };
    for (const TEnd End : { TEnd::Escape, TEnd::Close, TEnd::Destroy }) {
        SCOPED_TRACE(static_cast<int>(End));
        auto Dialog = std::make_unique<TServerCheckDialog>(Log);
        Dialog->Prepare(QString::fromStdString(Silent.target()), {});
        Dialog->show();
        PressEnterIn(*Dialog);
        ASSERT_TRUE(Dialog->Running());
        // The probes are connected and waiting for their greeting.
        QTest::qWait(300);
        QElapsedTimer Timer;
        Timer.start();
        switch (End) {
        case TEnd::Escape:
            QTest::keyClick(Dialog.get(), Qt::Key_Escape);
            EXPECT_FALSE(Dialog->Running());
            // The dialog stays with what was found so far; Escape again closes it.
            ASSERT_TRUE(Dialog->Report().has_value());
            EXPECT_TRUE(Dialog->Report()->Cancelled);
            EXPECT_TRUE(Dialog->isVisible());
            QTest::keyClick(Dialog.get(), Qt::Key_Escape);
            EXPECT_FALSE(Dialog->isVisible());
            break;
        case TEnd::Close:
            Dialog->close();
            EXPECT_FALSE(Dialog->isVisible());
            EXPECT_FALSE(Dialog->Running());
            break;
        case TEnd::Destroy:
            Dialog.reset();
            break;
        }
        EXPECT_LT(Timer.elapsed(), 1000);
        // Late calls of the ended check find nothing to touch.
        QTest::qWait(100);
    }
}
