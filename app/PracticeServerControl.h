#pragma once

// The practice server as the main window offers it: "Übungs-Server starten"
// and the submenu "Übungs-Fehler" in the "Server" menu. Starting puts the
// server's address into the server field and tells in the guidance panel how
// to log in; the server runs until the window goes. Faults that show in a
// session are explained after the reply that shows them. It knows nothing of
// the window: what it has to show leaves through its signals.

#include <QObject>
#include <QString>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "practice/PracticeFault.h"

class QAction;
class QActionGroup;
class QMenu;
class TPracticeServer;
class TReplayServer;

class TPracticeServerControl : public QObject {
    Q_OBJECT

public:
    // Adds its entries to Menu (the window's "Server" menu).
    TPracticeServerControl(QMenu* Menu, QObject* Parent);
    ~TPracticeServerControl() override;

    // Guidance with a note on each fault that showed in the server's latest
    // exchange: kept for every guidance until the next exchange starts, since
    // one reply may be explained more than once.
    std::string WithFaultNotes(const std::string& Guidance);

    bool Running() const;
    // Its ports; 0 while it is not running.
    int Port() const;
    int TlsPort() const;

public slots:
    void StartClick();
    void FaultClick(QAction* Item);
    // Asks for a transcript and serves it.
    void ReplayClick();
    // Serves Path; false after telling why in a message box.
    bool StartReplay(const QString& Path);

signals:
    // For the guidance panel.
    void GuidanceChosen(const std::string& Text, bool IsError);
    // The server runs at Address ("127.0.0.1:port"): it goes into the server
    // field, which takes the focus.
    void ServerStarted(const QString& Address);

private:
    // A menu choice's own guidance carries no note of an earlier reply.
    void ForgetFaultNotes();

    std::unique_ptr<TPracticeServer> FServer;
    TPracticeFault FFault = TPracticeFault::None;
    QAction* FStart = nullptr;
    QAction* FReplayItem = nullptr;
    std::unique_ptr<TReplayServer> FReplay;
    QActionGroup* FFaults = nullptr;
    std::mutex FLock; // FShown is kept up on the server's thread
    std::vector<TPracticeFault> FShown;
};
