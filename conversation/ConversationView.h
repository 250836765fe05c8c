#pragma once

// What the POP3 conversation needs from the window that shows it (the
// protocol log is a TLogSink of its own). The main window implements this;
// tests implement it with a recording fake. Texts are UTF-8.

#include <cstdint>
#include <string>

#include "net/TlsInfo.h"

enum class TStatusPicture { Offline, OnlineOff, OnlineOn };

// The option check marks of the main window that the conversation reads when
// it acts (they live in the menu; the view answers from there).
struct TConversationOptions {
    bool UpperCaseCommands = true; // "Kommandos immer &versal"
    bool HidePasswords = true; // "&Paßwörter verbergen"
    bool ResetLogAtConnect = false; // "&Protokoll löschen" / "&bei Verbindungsaufbau"
    bool ResetCounterAtConnect = false; // "&Zähler löschen" / "&bei Verbindungsaufbau"
};

class TConversationView {
public:
    virtual ~TConversationView() = default;

    virtual TConversationOptions Options() const = 0;

    // Status line. Each call repaints at once.
    virtual void ShowStatusPicture(TStatusPicture Picture) = 0;
    virtual void ShowWindowTitle(const std::string& Title) = 0;
    virtual void ShowStatusText(const std::string& Text) = 0; // panel 0
    virtual void ShowByteCounters(int64_t Sent, int64_t Received) = 0; // panels 1 and 2

    // Enables the controls of the connected or the offline state, moves the
    // focus and the default button, shows or hides the command menu.
    virtual void SetConnectedState(bool Connected) = 0;
    virtual bool CommandFieldEnabled() const = 0;
    virtual void FocusCommandField() = 0;
    virtual void FocusHostField() = 0;

    virtual void SetBusyCursor(bool Busy) = 0;
    // Called now and then while data streams in without a wait, so that the
    // window still repaints and takes a stop (Escape).
    virtual void KeepResponsive() { }

    // A certificate that did not pass the check (or one whose fingerprint was
    // trusted before): the user decides, Target is "host:port". True goes on.
    virtual bool AcceptCertificate(const TTlsInfo& Info, const std::string& Target)
    {
        (void)Target;
        return Info.Verify == tvOk;
    }

    // Guidance panel: red for error texts, window-text colour otherwise.
    virtual void ShowGuidanceText(const std::string& Text, bool IsError) = 0;

    // Histories. The view keeps the lists (64 entries, most recent first).
    virtual void AddHostToHistory(const std::string& Host) = 0;
    virtual void AddCommandToHistory(const std::string& Line) = 0;

    // Yes/No question, No the default. Returns true on Yes.
    virtual bool AskYesNo(const std::string& Title, const std::string& Text) = 0;
};
