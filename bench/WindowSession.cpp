#include "bench/WindowSession.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>

#include <QTimer>

#include "app/BrieflotseMain.h"
#include "bench/Measure.h"
#include "protocollog/LogView.h"
#include "settings/SettingsStore.h"
#include "tests/support/qt/Child.h"

namespace {

// The status panel's text while the connection waits for the next command.
bool IsIdleText(const QString& Text)
{
    return Text == QStringLiteral("Bereit") || Text == QStringLiteral("Bereit (TLS-verschlüsselt)");
}

} // namespace

TWindowSession::TWindowSession()
    : FSettings(std::make_unique<TSettingsStore>(QString::fromStdString(FDir.file("settings.json"))))
    , FMain(std::make_unique<TPOP3Main>(*FSettings))
{
    FMain->show();
    QCoreApplication::processEvents();
}

TWindowSession::~TWindowSession()
{
    if (FMain->Conversation().Connected())
        FMain->Conversation().DropConnection();
}

bool TWindowSession::Ready() const
{
    return !FMain->Conversation().ErrorFlag() && IsIdleText(Child<QLabel>(*FMain, "StatusText")->text());
}

bool TWindowSession::Connect(uint16_t Port)
{
    return Connect(QStringLiteral("127.0.0.1:%1").arg(Port));
}

bool TWindowSession::Connect(const QString& Host)
{
    Child<QComboBox>(*FMain, "HostCombo")->setEditText(Host);
    Child<QPushButton>(*FMain, "ButtonVerbinden")->click();
    QCoreApplication::processEvents();
    return Ready();
}

bool TWindowSession::Login(const std::string& User, const std::string& Password)
{
    return Send(QString::fromStdString("USER " + User)) >= 0 && Send(QString::fromStdString("PASS " + Password)) >= 0
        && IsIdleText(QString::fromStdString(FMain->Conversation().LastStatus()));
}

double TWindowSession::Send(const QString& Line)
{
    const auto Start = BenchClock::now();
    FMain->SendCommandLine(Line);
    // The held-back repaint of the log's end belongs to the exchange too.
    QCoreApplication::processEvents();
    const double Seconds = SecondsSince(Start);
    return Ready() ? Seconds : -1;
}

bool TWindowSession::LogShowsEnd(const QString& Last, bool Prefix)
{
    TLogView* Log = Child<TLogView>(*FMain, "Log");
    for (int Round = 0; Round < 200 && !Log->updatesEnabled(); ++Round) {
        QEventLoop Pause;
        QTimer::singleShot(10, &Pause, &QEventLoop::quit);
        Pause.exec();
    }
    const QScrollBar* Bar = Log->verticalScrollBar();
    const QString Shown = Log->LineText(static_cast<qint64>(Log->Store().LineCount()) - 1);
    return Log->updatesEnabled() && Log->CaretPosition() == Log->EndPosition() && Bar->value() == Bar->maximum()
        && (Prefix ? Shown.startsWith(Last) : Shown == Last);
}

size_t TWindowSession::LogLineBytes(qint64 FromEnd)
{
    const TLogStore& Store = Child<TLogView>(*FMain, "Log")->Store();
    const qint64 Line = static_cast<qint64>(Store.LineCount()) + FromEnd;
    return Line < 0 ? 0 : Store.LineBytes(static_cast<size_t>(Line));
}

void TWindowSession::ClearLog()
{
    FMain->ProtocolLog().Clear();
    QCoreApplication::processEvents();
}

void TWindowSession::Quit()
{
    if (FMain->Conversation().Connected())
        Send(QStringLiteral("QUIT"));
}
