#include "app/MainAccessible.h"

#include <QAccessibleWidget>
#include <QAction>
#include <QComboBox>
#include <QKeySequence>
#include <QMenu>
#include <QPointer>

namespace {

class TComboAccessible : public QAccessibleWidget {
public:
    explicit TComboAccessible(QComboBox* Combo)
        : QAccessibleWidget(Combo, QAccessible::ComboBox)
    {
    }

    QString text(QAccessible::Text Kind) const override
    {
        const auto* Combo = static_cast<const QComboBox*>(widget());
        if (Kind == QAccessible::Value)
            return Combo->currentText();
        return QAccessibleWidget::text(Kind);
    }

    QStringList actionNames() const override { return QAccessibleWidget::actionNames() << showMenuAction(); }

    void doAction(const QString& Name) override
    {
        if (Name == showMenuAction())
            static_cast<QComboBox*>(widget())->showPopup();
        else
            QAccessibleWidget::doAction(Name);
    }
};

class TMenuEntryAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    TMenuEntryAccessible(QMenu* Menu, QAction* Action)
        : FMenu(Menu)
        , FAction(Action)
    {
    }

    bool isValid() const override { return FMenu && FAction; }
    QObject* object() const override { return FAction; }
    QWindow* window() const override { return FMenu ? FMenu->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(FMenu); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString&) override { }
    QAccessible::Role role() const override { return QAccessible::MenuItem; }

    QString text(QAccessible::Text Kind) const override
    {
        switch (Kind) {
        case QAccessible::Name: {
            QString Name = FAction->text();
            Name.replace(QLatin1String("&&"), QLatin1String("\x01")).remove(QLatin1Char('&'));
            return Name.replace(QLatin1Char('\x01'), QLatin1Char('&'));
        }
        case QAccessible::Description:
            return FAction->statusTip();
        case QAccessible::Accelerator:
            return FAction->shortcut().toString(QKeySequence::NativeText);
        default:
            return QString();
        }
    }

    QRect rect() const override
    {
        const QRect Place = FMenu->actionGeometry(FAction);
        return QRect(FMenu->mapToGlobal(Place.topLeft()), Place.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State State;
        State.focusable = true;
        State.disabled = !FAction->isEnabled();
        State.invisible = !FAction->isVisible() || !FMenu->isVisible();
        State.focused = FMenu->activeAction() == FAction;
        State.hotTracked = State.focused;
        State.checkable = FAction->isCheckable();
        State.checked = FAction->isChecked();
        return State;
    }

    void* interface_cast(QAccessible::InterfaceType Type) override
    {
        return Type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }

    QStringList actionNames() const override
    {
        return FAction->isEnabled() ? QStringList { pressAction() } : QStringList();
    }

    void doAction(const QString& Name) override
    {
        if (Name == pressAction() && FAction->isEnabled())
            FAction->trigger();
    }

    QStringList keyBindingsForAction(const QString& Name) const override
    {
        if (Name != pressAction() || FAction->shortcut().isEmpty())
            return QStringList();
        return { FAction->shortcut().toString(QKeySequence::NativeText) };
    }

private:
    QPointer<QMenu> FMenu;
    QPointer<QAction> FAction;
};

QAccessibleInterface* Factory(const QString& ClassName, QObject* Object)
{
    if (!Object)
        return nullptr;
    if (ClassName == QLatin1String("QAction")) {
        // Entries with a status tip; separators and submenus stay with Qt.
        auto* Action = static_cast<QAction*>(Object);
        if (Action->isSeparator() || Action->menu() || Action->statusTip().isEmpty())
            return nullptr;
        for (QObject* Owner : Action->associatedObjects())
            if (auto* Menu = qobject_cast<QMenu*>(Owner))
                return new TMenuEntryAccessible(Menu, Action);
        return nullptr;
    }
    if (ClassName != QLatin1String("QComboBox"))
        return nullptr;
    auto* Combo = qobject_cast<QComboBox*>(Object);
    // Only the fields that carry a name of their own.
    if (!Combo || !Combo->isEditable() || Combo->accessibleName().isEmpty())
        return nullptr;
    return new TComboAccessible(Combo);
}

} // namespace

void InstallMainWindowAccessibility()
{
    static bool Installed = false;
    if (!Installed) {
        QAccessible::installFactory(Factory);
        Installed = true;
    }
}
