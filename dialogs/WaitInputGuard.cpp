#include "dialogs/WaitInputGuard.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>
#include <utility>

TWaitInputGuard::TWaitInputGuard(QWidget* StopButton, std::function<void()> OnStop)
    : FStopButton(StopButton)
    , FOnStop(std::move(OnStop))
{
}

void TWaitInputGuard::ProcessEvents()
{
    QCoreApplication* Application = QCoreApplication::instance();
    Application->installEventFilter(this);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    Application->removeEventFilter(this);
}

void TWaitInputGuard::OverrideStop(QWidget* StopButton, std::function<void()> OnStop)
{
    FSavedButton = std::exchange(FStopButton, StopButton);
    FSavedStop = std::exchange(FOnStop, std::move(OnStop));
}

void TWaitInputGuard::RestoreStop()
{
    FStopButton = FSavedButton;
    FOnStop = std::move(FSavedStop);
}

bool TWaitInputGuard::IsOnStopButton(QObject* Watched) const
{
    return FStopButton && FStopButton->isEnabled() && Watched == FStopButton;
}

// The window system delivers a click to the window, which hands it on to the
// widget under the pointer. Only one on the stop button goes on, to be judged
// there; any other would still move the focus.
bool TWaitInputGuard::LandsOnStopButton(QObject* Window, QEvent* Event) const
{
    if (!FStopButton || !FStopButton->isEnabled())
        return false;
    QWidget* Top = FStopButton->window();
    return static_cast<QObject*>(Top->windowHandle()) == Window
        && Top->childAt(static_cast<QMouseEvent*>(Event)->position().toPoint()) == FStopButton;
}

bool TWaitInputGuard::eventFilter(QObject* Watched, QEvent* Event)
{
    if (FStopping)
        return false;
    auto Stop = [this] {
        FStopping = true;
        FOnStop();
        FStopping = false;
    };
    switch (Event->type()) {
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent*>(Event)->key() == Qt::Key_Escape && !static_cast<QKeyEvent*>(Event)->isAutoRepeat())
            Stop();
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (Watched->isWindowType())
            return !LandsOnStopButton(Watched, Event);
        FStopPressed = IsOnStopButton(Watched);
        return true;
    case QEvent::MouseButtonRelease:
        if (Watched->isWindowType())
            return !LandsOnStopButton(Watched, Event);
        if (FStopPressed && IsOnStopButton(Watched)) {
            FStopPressed = false;
            Stop();
        }
        return true;
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::InputMethod:
    case QEvent::DragEnter:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}
