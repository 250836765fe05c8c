// Loading and storing the main window's options, position and histories in
// the per-user settings store. Options are applied through the menu items'
// own handlers, so loading acts exactly like the user's click.

#include <QAction>
#include <QComboBox>
#include <QGuiApplication>
#include <QLayout>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTimer>
#include <cmath>

#include "app/BrieflotseMain.h"
#include "conversation/Command.h"
#include "conversation/ReplyRules.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/ServerField.h"
#include "settings/SettingsKey.h"

namespace {

QString HistoryName(int Index)
{
    return QStringLiteral("%1").arg(Index, 4, 16, QLatin1Char('0')).toUpper();
}

// Half-to-even rounding, as the centring formula asks for.
int RoundHalfEven(double Value)
{
    return static_cast<int>(std::nearbyint(Value));
}

QString YesNo(const QAction* Item)
{
    return Item->isChecked() ? QStringLiteral("yes") : QStringLiteral("no");
}

// Stored entries pass the fields' key filter, so a line end or an umlaut
// planted in the file never reaches the wire; the list keeps its own limit.
void LoadHistory(TSettingsStore& Store, const QString& Key, QComboBox* Combo)
{
    TSettingsKey Opened(Store, Key);
    for (int Index = 0; Index <= 0xFFFF && Combo->count() < ServerField::kHistoryLimit; ++Index) {
        const QString Name = HistoryName(Index);
        if (!Store.ValueExists(Name))
            break;
        const QString Entry = EditRules::FilterText(Store.ReadString(Name));
        if (!Entry.isEmpty())
            Combo->addItem(Entry);
    }
}

bool IsSecretLine(const QString& Line)
{
    return ParseCommand(Line.toStdString()).CarriesSecret();
}

// With passwords hidden, lines that carry one stay in the running program's
// list but never reach the file, and such lines stored by an earlier run go.
void SaveHistory(TSettingsStore& Store, const QString& Key, const QComboBox* Combo, bool HideSecrets)
{
    TSettingsKey Opened(Store, Key);
    int Stored = 0;
    for (int Index = 0; Index < Combo->count(); ++Index) {
        const QString Entry = Combo->itemText(Index);
        if (!HideSecrets || !IsSecretLine(Entry))
            Store.WriteString(HistoryName(Stored++), Entry);
    }
    if (!HideSecrets)
        return;
    for (int Index = Stored; Index <= 0xFFFF; ++Index) {
        const QString Name = HistoryName(Index);
        if (Store.ValueExists(Name) && Store.IsText(Name) && IsSecretLine(Store.ReadString(Name)))
            Store.DeleteValue(Name);
    }
}

// A position saved on a screen that is gone must not hide the window.
bool IsOnSomeScreen(const QRect& Window)
{
    const QList<QScreen*> Screens = QGuiApplication::screens();
    if (Screens.isEmpty())
        return true;
    for (const QScreen* Screen : Screens)
        if (Screen->availableGeometry().intersects(Window))
            return true;
    return false;
}

// Value moved into [Low, High]; Low wins when the range is empty.
int Within(int Value, int Low, int High)
{
    return qMax(Low, qMin(Value, High));
}

} // namespace

// Before the window manager has framed the window these are zero; the check
// after showing counts the real frame.
QMargins TPOP3Main::FrameMargins() const
{
    return QMargins(geometry().left() - frameGeometry().left(), geometry().top() - frameGeometry().top(),
        frameGeometry().right() - geometry().right(), frameGeometry().bottom() - geometry().bottom());
}

void TPOP3Main::FitOnScreen()
{
    if (isMaximized() || isFullScreen())
        return;
    const QScreen* Screen = QGuiApplication::screenAt(geometry().center());
    if (!Screen)
        Screen = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!Screen)
        return;
    const QRect Area = Screen->availableGeometry().marginsRemoved(FrameMargins());
    QSize Size = size();
    if (Size.width() > Area.width() || Size.height() > Area.height() || minimumSizeHint().height() > Area.height()) {
        // Smaller than the drawn layout the guidance may scroll too; no
        // control gets smaller than its text, so a screen smaller still is left.
        Hint->setMinimumHeight(Hint->fontMetrics().lineSpacing() * 3);
        // Inner layouts first, so that the window's minimum knows at once.
        for (QLayout* Inner : { HintPanel->layout(), centralWidget()->layout(), layout() })
            Inner->activate();
        Size = Size.boundedTo(Area.size()).expandedTo(minimumSizeHint());
    }
    // Inner coordinates throughout: pos() of a framed window is its frame's.
    const QPoint Inner = geometry().topLeft();
    const QPoint Place(Within(Inner.x(), Area.left(), Area.right() + 1 - Size.width()),
        Within(Inner.y(), Area.top(), Area.bottom() + 1 - Size.height()));
    if (Size != size() || Place != Inner)
        setGeometry(QRect(Place, Size));
}

void TPOP3Main::showEvent(QShowEvent* Event)
{
    QMainWindow::showEvent(Event);
    if (FFittedAfterShow)
        return;
    FFittedAfterShow = true;
    // Once the window manager has framed the window, its real frame counts.
    QTimer::singleShot(300, this, [this] { FitOnScreenWhenFramed(10); });
}

void TPOP3Main::FitOnScreenWhenFramed(int Tries)
{
    // A busy window manager frames late; a platform without frames never does.
    if (FrameMargins().top() == 0 && Tries > 0) {
        QTimer::singleShot(200, this, [this, Tries] { FitOnScreenWhenFramed(Tries - 1); });
        return;
    }
    FitOnScreen();
}

void TPOP3Main::CentreOnScreen()
{
    const QScreen* Screen = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!Screen)
        return;
    const QRect Area = Screen->geometry();
    const QSize Outer = frameGeometry().size();
    const int FrameWidth = frameGeometry().width() - geometry().width();
    const int FrameHeight = frameGeometry().height() - geometry().height();
    const int Left = RoundHalfEven((Area.width() - FrameWidth) * 0.5) - RoundHalfEven(Outer.width() * 0.5);
    const int Top = RoundHalfEven((Area.height() - FrameHeight) * 0.5) - RoundHalfEven(Outer.height() * 0.5);
    setGeometry(QRect(QPoint(Area.left() + Left, Area.top() + Top), size()));
}

void TPOP3Main::LoadSettings()
{
    TSettingsStore& Store = FSettings;

    // A marker left for this purpose wipes every setting before anything is read.
    bool Wipe = false;
    {
        TSettingsKey Opened(Store, SettingsPaths::Misc);
        Wipe = Store.ValueExists(QStringLiteral("InitDone"));
    }
    if (Wipe)
        Store.DeleteKey(SettingsPaths::Base);

    {
        TSettingsKey Opened(Store, SettingsPaths::Base);
        const bool HasLeft = Store.ValueExists(QStringLiteral("Left"));
        const bool HasTop = Store.ValueExists(QStringLiteral("Top"));
        if (!HasLeft || !HasTop)
            CentreOnScreen();
        QPoint Position = pos();
        if (HasLeft)
            Position.setX(Store.ReadInteger(QStringLiteral("Left")));
        if (HasTop)
            Position.setY(Store.ReadInteger(QStringLiteral("Top")));
        // setGeometry, not move: before the window manager has framed the
        // window, move() takes the position as the frame's, and the frame
        // may not be known yet.
        // A larger window than drawn is restored; a smaller one never.
        QSize Size = FDefaultSize;
        if (Store.ValueExists(QStringLiteral("Width")) && Store.ValueExists(QStringLiteral("Height")))
            Size = Size.expandedTo(
                QSize(Store.ReadInteger(QStringLiteral("Width")), Store.ReadInteger(QStringLiteral("Height"))));
        setGeometry(QRect(Position, Size));
        if (!IsOnSomeScreen(geometry()))
            CentreOnScreen();
        FitOnScreen();
        if (Store.ValueExists(QStringLiteral("Maximized")) && Store.ReadString(QStringLiteral("Maximized")) == "yes")
            setWindowState(windowState() | Qt::WindowMaximized);
    }

    {
        TSettingsKey Opened(Store, SettingsPaths::Display);
        if (Store.ValueExists(QStringLiteral("FontWidth"))) {
            const QString Text = Store.ReadString(QStringLiteral("FontWidth")) + QLatin1Char(' ');
            if (Text.at(0) == QLatin1Char('m'))
                MenuFontMonoClick();
            else
                MenuFontPropClick();
        }
        if (Store.ValueExists(QStringLiteral("ColorCoding"))) {
            const QChar First = (Store.ReadString(QStringLiteral("ColorCoding")) + QLatin1Char(' ')).at(0);
            if (First == QLatin1Char('c'))
                MenuColorClick(MenuColorHost);
            else if (First == QLatin1Char('o'))
                MenuColorClick(MenuColorOff);
            else if (First == QLatin1Char('s'))
                MenuColorClick(MenuColorStatus);
            else if (Store.ValueExists(QStringLiteral("ColorValue"))) {
                switch (Store.ReadInteger(QStringLiteral("ColorValue"))) {
                case 1:
                    MenuColorClick(MenuColorGreen);
                    break;
                case 2:
                    MenuColorClick(MenuColorNavy);
                    break;
                case 3:
                    MenuColorClick(MenuColorRed);
                    break;
                default:
                    break;
                }
            }
        }
        const std::pair<const char*, QAction*> Switches[] = { { "CommandBold", MenuCmdBold },
            { "StatusBold", MenuStatusBold }, { "CommandUpper", MenuCmdUpper }, { "HidePasswords", MenuHidePass } };
        for (const auto& [Name, Item] : Switches) {
            const QString ValueName = QLatin1String(Name);
            if (Store.ValueExists(ValueName) && Store.ReadString(ValueName) == QLatin1String("no"))
                Item->trigger();
        }
    }

    LoadHistory(Store, SettingsPaths::History, Command);
    Command->setCurrentIndex(-1);
    LoadHistory(Store, SettingsPaths::Hosts, HostCombo);

    {
        TSettingsKey Opened(Store, SettingsPaths::Misc);
        if (Store.ValueExists(QStringLiteral("WinsockTimeout"))) {
            switch (Store.ReadInteger(QStringLiteral("WinsockTimeout"))) {
            case 10:
                MenuTimeoutClick(Menu10Sek);
                break;
            case 20:
                MenuTimeoutClick(Menu20Sek);
                break;
            case 40:
                MenuTimeoutClick(Menu40Sek);
                break;
            default:
                MenuTimeoutClick(Menu30Sek);
                break;
            }
        }
        if (Store.ValueExists(QStringLiteral("SaveFolder")))
            FSaveFolder = Store.ReadString(QStringLiteral("SaveFolder"));
        if (Store.ValueExists(QStringLiteral("ResetLog")))
            MenuResetLog->setChecked(Store.ReadString(QStringLiteral("ResetLog")) == QLatin1String("yes"));
        if (Store.ValueExists(QStringLiteral("ResetCounter")))
            MenuResetCounter->setChecked(Store.ReadString(QStringLiteral("ResetCounter")) == QLatin1String("yes"));
    }
}

void TPOP3Main::SaveSettings()
{
    TSettingsStore& Store = FSettings;
    {
        TSettingsKey Opened(Store, SettingsPaths::Base);
        Store.WriteString(QStringLiteral("Version"), QStringLiteral("1.0 (Kiosko)"));
        // The inner position and size, of the window when not maximised:
        // that is what a move before showing restores.
        const QRect Normal = isMaximized() ? normalGeometry() : geometry();
        Store.WriteInteger(QStringLiteral("Left"), Normal.x());
        Store.WriteInteger(QStringLiteral("Top"), Normal.y());
        Store.WriteInteger(QStringLiteral("Width"), Normal.width());
        Store.WriteInteger(QStringLiteral("Height"), Normal.height());
        Store.WriteString(QStringLiteral("Maximized"), isMaximized() ? QStringLiteral("yes") : QStringLiteral("no"));
    }
    {
        TSettingsKey Opened(Store, SettingsPaths::Display);
        Store.WriteString(
            QStringLiteral("FontWidth"), MenuFontProp->isChecked() ? QStringLiteral("prop") : QStringLiteral("mono"));
        QString Coding = QStringLiteral("fixed");
        if (MenuColorStatus->isChecked())
            Coding = QStringLiteral("status");
        else if (MenuColorHost->isChecked())
            Coding = QStringLiteral("connect");
        else if (MenuColorOff->isChecked())
            Coding = QStringLiteral("off");
        Store.WriteString(QStringLiteral("ColorCoding"), Coding);
        Store.WriteInteger(QStringLiteral("ColorValue"), static_cast<int>(ProtocolLog().ServerColor()));
        Store.WriteString(QStringLiteral("CommandBold"), YesNo(MenuCmdBold));
        Store.WriteString(QStringLiteral("StatusBold"), YesNo(MenuStatusBold));
        Store.WriteString(QStringLiteral("CommandUpper"), YesNo(MenuCmdUpper));
        Store.WriteString(QStringLiteral("HidePasswords"), YesNo(MenuHidePass));
    }
    SaveHistory(Store, SettingsPaths::History, Command, MenuHidePass->isChecked());
    SaveHistory(Store, SettingsPaths::Hosts, HostCombo, false);
    {
        TSettingsKey Opened(Store, SettingsPaths::Misc);
        Store.WriteInteger(QStringLiteral("WinsockTimeout"), Conversation().WaitTimeout());
        Store.WriteString(QStringLiteral("SaveFolder"), FSaveFolder);
        Store.WriteString(QStringLiteral("ResetLog"), YesNo(MenuResetLog));
        Store.WriteString(QStringLiteral("ResetCounter"), YesNo(MenuResetCounter));
    }
}
