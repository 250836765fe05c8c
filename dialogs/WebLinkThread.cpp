#include "dialogs/WebLinkThread.h"

#include <QProcess>

const char* const TWebLinkThread::Opener = "xdg-open";

TWebLinkThread::TWebLinkThread(const QString& url, Completion done)
    : url_(url)
    , done_(std::move(done))
{
    // The object lives on the starting thread, so this slot runs there, queued
    // after the body has ended; the body's result is complete by then.
    connect(this, &QThread::finished, this, &TWebLinkThread::Completed, Qt::QueuedConnection);
}

TWebLinkThread* TWebLinkThread::Start(const QString& url, Completion done)
{
    auto* thread = new TWebLinkThread(url, std::move(done));
    thread->start();
    return thread;
}

void TWebLinkThread::run()
{
    // The address is one argument, never parsed by a shell.
    returnValue_ = QProcess::execute(QString::fromLatin1(Opener), { url_ });
}

void TWebLinkThread::Completed()
{
    wait();
    if (done_)
        done_(*this);
    deleteLater();
}
