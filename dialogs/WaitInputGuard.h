#pragma once

// While the program waits for a server, the window keeps painting and takes
// exactly one kind of input: a stop (Escape, or a click on the stop button).
// Every other key press or click made during the wait is dropped at once, so
// nothing the user did then acts later, when the wait is over.

#include <QObject>
#include <functional>

class QWidget;

class TWaitInputGuard : public QObject {
    Q_OBJECT

public:
    // StopButton is the button whose click asks for a stop (it may be null).
    TWaitInputGuard(QWidget* StopButton, std::function<void()> OnStop);

    // Delivers pending events once, input filtered as above.
    void ProcessEvents();

    // For a run of several actions with a progress window of its own: its
    // button and its stop instead, until RestoreStop.
    void OverrideStop(QWidget* StopButton, std::function<void()> OnStop);
    void RestoreStop();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    bool IsOnStopButton(QObject* Watched) const;
    bool LandsOnStopButton(QObject* Window, QEvent* Event) const;

    QWidget* FStopButton;
    std::function<void()> FOnStop;
    QWidget* FSavedButton = nullptr;
    std::function<void()> FSavedStop;
    bool FStopPressed = false;
    bool FStopping = false; // the stop question is open: it takes input as usual
};
