#pragma once

// The main window driven as a user would: the server field, "Verbinden", and
// command lines through the send action. The caller owns the QApplication.

#include <QString>
#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/TempDir.h"

class TPOP3Main;
class TSettingsStore;

class TWindowSession {
public:
    TWindowSession();
    ~TWindowSession();
    TWindowSession(const TWindowSession&) = delete;
    TWindowSession& operator=(const TWindowSession&) = delete;

    TPOP3Main& Main() { return *FMain; }

    // Presses "Verbinden" for 127.0.0.1:Port; true when the greeting came.
    bool Connect(uint16_t Port);
    // The same for what the server field is given ("pop3s://localhost:995").
    bool Connect(const QString& Host);
    bool Login(const std::string& User, const std::string& Password);
    // Sends one line and returns the wall time until the status panel shows
    // "Bereit" (over TLS "Bereit (TLS-verschlüsselt)") again and the pending
    // repaints are done; -1 when the exchange failed.
    double Send(const QString& Line);
    // Waits (bounded) for the held-back repaint of the log, then tells whether
    // the log shows its end with the caret there and its last line is Last
    // (or, with Prefix, begins with it).
    bool LogShowsEnd(const QString& Last, bool Prefix = false);
    // The length of a log line counted from the end (-1 the last one).
    size_t LogLineBytes(qint64 FromEnd);
    void ClearLog();
    void Quit();

private:
    bool Ready() const;

    TempDir FDir;
    std::unique_ptr<TSettingsStore> FSettings;
    std::unique_ptr<TPOP3Main> FMain;
};
