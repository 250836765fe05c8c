#include "dialogs/ServerCheckDialog.h"
#include "conversation/LogSink.h"
#include "tests/support/qt/Child.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class TCountingLog : public TLogSink {
public:
    void Append(TLogEntryKind, const std::string&) override { ++Entries; }
    bool HasLines() const override { return Entries > 0; }
    void Clear() override { Entries = 0; }
    void StartConnection() override { }
    int Entries = 0;
};

// A port whose connections the kernel completes but nobody answers: every
// probe waits for a greeting that never comes (8 s each).
class TSilentPort {
public:
    TSilentPort()
    {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in Address {};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
        ::listen(FSocket, 64);
        socklen_t Length = sizeof Address;
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&Address), &Length);
        FPort = ntohs(Address.sin_port);
    }
    ~TSilentPort() { ::close(FSocket); }
    QString Target() const { return QStringLiteral("127.0.0.1:%1").arg(FPort); }

private:
    int FSocket = -1;
    int FPort = 0;
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
    TSilentPort Silent;
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
        Dialog->Prepare(Silent.Target(), {});
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
