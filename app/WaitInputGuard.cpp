#include "app/WaitInputGuard.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>

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

bool TWaitInputGuard::IsOnStopButton(QObject* Watched) const
{
    return FStopButton && FStopButton->isEnabled() && Watched == FStopButton;
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
        FStopPressed = IsOnStopButton(Watched);
        return true;
    case QEvent::MouseButtonRelease:
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
