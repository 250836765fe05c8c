#include "dialogs/WebLinkThread.h"

#include <QProcess>

const char* const TWebLinkThread::Opener = "xdg-open";

TWebLinkThread::TWebLinkThread(const QString& Url, Completion Done)
    : FUrl(Url)
    , FDone(std::move(Done))
{
    // The object lives on the starting thread, so this slot runs there, queued
    // after the body has ended; the body's result is complete by then.
    connect(this, &QThread::finished, this, &TWebLinkThread::Completed, Qt::QueuedConnection);
}

TWebLinkThread* TWebLinkThread::Start(const QString& Url, Completion Done)
{
    auto* Thread = new TWebLinkThread(Url, std::move(Done));
    Thread->start();
    return Thread;
}

void TWebLinkThread::run()
{
    // The address is one argument, never parsed by a shell.
    FReturnValue = QProcess::execute(QString::fromLatin1(Opener), { FUrl });
}

void TWebLinkThread::Completed()
{
    wait();
    if (FDone)
        FDone(*this);
    deleteLater();
}
