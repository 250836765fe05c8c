#pragma once

// Opens one web address with the desktop's opener (xdg-open, looked up on
// PATH) on a short-lived worker thread, so a slow browser start never blocks
// the window. One thread per click; it deletes itself once its completion has
// been delivered on the user-interface thread.

#include <QString>
#include <QThread>

#include <functional>

class TWebLinkThread : public QThread {
    Q_OBJECT
public:
    // Called on the thread that started the link (the user-interface thread)
    // after the opener has ended; true when it exited with status 0.
    using Completion = std::function<void(const TWebLinkThread& Thread)>;

    // Attaches address and completion, then starts at once. The object frees itself.
    static TWebLinkThread* Start(const QString& Url, Completion Done);

    QString URL() const { return FUrl; }
    // The opener's exit status; negative when it could not be started or crashed.
    // Valid in the completion only.
    int ReturnValue() const { return FReturnValue; }
    bool Succeeded() const { return FReturnValue == 0; }

    static const char* const Opener;

protected:
    void run() override;

private:
    TWebLinkThread(const QString& Url, Completion Done);
    void Completed();

    const QString FUrl;
    const Completion FDone;
    int FReturnValue = -1;
};
