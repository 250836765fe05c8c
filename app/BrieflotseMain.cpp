#include "app/BrieflotseMain.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <QtMath>

#include "app/CertificateTrust.h"
#include "app/ElidedLabel.h"
#include "app/MailboxMapWindow.h"
#include "app/MainAccessible.h"
#include "app/PracticeServerControl.h"
#include "app/ServerAddress.h"
#include "auth/Pop3Auth.h"
#include "conversation/GuidanceTexts.h"
#include "dialogs/BrieflotseAbout.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/BrieflotseLookup.h"
#include "dialogs/MessageAnatomyWindow.h"
#include "dialogs/MessageBox.h"
#include "dialogs/ServerCheckDialog.h"
#include "dialogs/ServerField.h"
#include "dialogs/WaitInputGuard.h"
#include "net/WinsockErrors.h"
#include "protocollog/LogFonts.h"
#include "protocollog/LogView.h"
#include "settings/SettingsStore.h"

namespace {

QString FromUtf8(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<int>(Text.size()));
}

QFrame* HorizontalLine(QWidget* Parent, const char* Name)
{
    auto* Line = new QFrame(Parent);
    Line->setObjectName(QLatin1String(Name));
    Line->setFrameShape(QFrame::HLine);
    Line->setFrameShadow(QFrame::Sunken);
    return Line;
}

} // namespace

TPOP3Main::TPOP3Main(TSettingsStore& Settings, QWidget* Parent)
    : QMainWindow(Parent)
    , FSettings(Settings)
{
    setObjectName(QStringLiteral("POP3Main"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Brieflotse"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/mainicon.png")));

    FStatusPictures[0] = QPixmap(QStringLiteral(":/pictures/status_offline.png"));
    FStatusPictures[1] = QPixmap(QStringLiteral(":/pictures/status_online_off.png"));
    FStatusPictures[2] = QPixmap(QStringLiteral(":/pictures/status_online_on.png"));

    InstallMainWindowAccessibility();
    BuildControls();
    FLog = std::make_unique<TProtocolLog>(Log);
    BuildMenu();
    // Saving and printing need a log: their entries and shortcuts follow it.
    connect(FLog.get(), &TProtocolLog::HasLinesChanged, this, [this](bool HasLines) {
        UpdateFileActions();
        // A cleared log no longer holds the retrieved message's lines.
        if (!HasLines && FConversation)
            FConversation->ForgetLogLines();
        if (!HasLines && FAnatomy)
            FAnatomy->ForgetLogLines();
    });
    FConversation = std::make_unique<TPOP3Conversation>(*this, *FLog);

    // While an exchange waits, the window repaints (status, icon, counters)
    // and takes a stop: Escape, "Trennen" or closing the window.
    FWaitGuard = std::make_unique<TWaitInputGuard>(ButtonTrennen, [this] { AskToStop(); });
    FConversation->SetWaitHook([this] { FWaitGuard->ProcessEvents(); });

    FitGuidancePanel();
    FormCreate();
}

void TPOP3Main::FitGuidancePanel()
{
    // The panel's width follows from the layout; its height is made for the
    // longest text at that width, so no text of the program needs scrolling.
    Hint->setFixedHeight(Hint->fontMetrics().lineSpacing() * 6);
    layout()->activate();
    centralWidget()->layout()->activate();
    // The panel spans the log's columns; inside it, its frame and margins.
    const qreal Margin = Hint->document()->documentMargin();
    const qreal Width = Log->width() - 2 * HintPanel->frameWidth() - 6 - 2 * Margin
        - Hint->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const std::string LongestError = "Winsock-Fehler: " + std::to_string(kWinsockAddressFamilyNotSupported) + " - "
        + TSmartWinsock::ErrorText(kWinsockAddressFamilyNotSupported);
    int MostLines = 0;
    for (const std::string& Text : AllGuidanceTexts("pop3.mailserver.example.com", LongestError)) {
        int Lines = 0;
        for (const QString& Paragraph : FromUtf8(Text).split(QStringLiteral("\r\n"))) {
            QTextLayout Layout(Paragraph, Hint->font());
            QTextOption Wrapping;
            Wrapping.setWrapMode(Hint->wordWrapMode()); // a word wider than a line breaks as in the panel
            Layout.setTextOption(Wrapping);
            Layout.beginLayout();
            for (QTextLine Line = Layout.createLine(); Line.isValid(); Line = Layout.createLine()) {
                Line.setLineWidth(Width);
                ++Lines;
            }
            Layout.endLayout();
        }
        MostLines = qMax(MostLines, Lines);
    }
    // One line to spare: the panel breaks lines by its own layout, which may differ by a line.
    Hint->setFixedHeight(qCeil((MostLines + 1) * Hint->fontMetrics().lineSpacing() + 2 * Margin) + 2);
    // The layout as drawn is the default size; larger windows give the room
    // to the log, and a screen too small for the default may shrink the log.
    // Inner layouts first: the panel's new height must reach the window's hint.
    for (QLayout* Inner : { HintPanel->layout(), centralWidget()->layout(), layout() })
        Inner->activate();
    FDefaultSize = sizeHint();
    const double Scale = qMax(1.0, fontMetrics().height() / 13.0);
    Log->setMinimumSize(qRound(160 * Scale), qRound(60 * Scale));
    resize(FDefaultSize);
}

TPOP3Main::~TPOP3Main()
{
    FNotifier.reset();
    // The map window holds on to the conversation.
    delete FMailboxMap.data();
    // The conversation talks to this window while it shuts its socket.
    FConversation.reset();
}

void TPOP3Main::SetDialogs(TPOP3Lookup* Finder, TPOP3Edit* Assistant, TPOP3About* About)
{
    FFinder = Finder;
    FAssistant = Assistant;
    FAbout = About;
    if (FAssistant)
        FAssistant->SetLog(FLog.get());
    // The about box's links name their address in the main window's status bar.
    if (FAbout)
        FAbout->installEventFilter(this);
}

QPushButton* TPOP3Main::CommandButton(
    const char* Name, const QString& Caption, const QString& Hint, void (TPOP3Main::*Handler)())
{
    auto* Button = new QPushButton(Caption, centralWidget());
    Button->setObjectName(QLatin1String(Name));
    Button->setStatusTip(Hint);
    Button->setToolTip(Hint);
    Button->setAccessibleName(QString(Caption).remove(QLatin1Char('&')).remove(QStringLiteral(" ...")));
    Button->setAccessibleDescription(Hint);
    Button->setAutoDefault(false);
    connect(Button, &QPushButton::clicked, this, Handler);
    return Button;
}

void TPOP3Main::BuildControls()
{
    auto* Central = new QWidget(this);
    Central->setObjectName(QStringLiteral("Central"));
    setCentralWidget(Central);

    HostLabel = new QLabel(QStringLiteral("&Mail-Server:"), Central);
    HostLabel->setObjectName(QStringLiteral("HostLabel"));
    HostCombo = new QComboBox(Central);
    HostCombo->setObjectName(QStringLiteral("HostCombo"));
    ServerField::ApplyRules(HostCombo);
    HostCombo->setStatusTip(QStringLiteral("Bestimmt den Server, mit dem Verbunden werden soll"));
    HostCombo->setToolTip(HostCombo->statusTip());
    WatchKeys(HostCombo);
    HostLabel->setBuddy(HostCombo);

    ButtonSuchen = CommandButton("ButtonSuchen", QStringLiteral("Suchen ..."),
        QStringLiteral("Hilft bei der Suche nach Mail-Servern"), &TPOP3Main::ButtonSuchenClick);
    ButtonVerbinden = CommandButton("ButtonVerbinden", QStringLiteral("Verbinden"),
        QStringLiteral("Verbindet mit dem gewählten Mail-Server"), &TPOP3Main::ButtonVerbindenClick);
    ButtonTrennen = CommandButton("ButtonTrennen", QStringLiteral("Trennen"),
        QStringLiteral("Unterbricht die Verbindung mit dem Mail-Server"), &TPOP3Main::ButtonTrennenClick);

    IconPanel = new QFrame(Central);
    IconPanel->setObjectName(QStringLiteral("IconPanel"));
    IconPanel->setFrameShape(QFrame::Box);
    IconPanel->setFrameShadow(QFrame::Plain);
    IconPanel->setFixedSize(31, 31);
    StatusPic = new QLabel(IconPanel);
    StatusPic->setObjectName(QStringLiteral("StatusPic"));
    StatusPic->setAlignment(Qt::AlignCenter);
    StatusPic->setStatusTip(QStringLiteral("Zeigt Informationen über Brieflotse"));
    StatusPic->setToolTip(StatusPic->statusTip());
    StatusPic->installEventFilter(this);
    auto* IconLayout = new QVBoxLayout(IconPanel);
    IconLayout->setContentsMargins(1, 1, 1, 1);
    IconLayout->addWidget(StatusPic);

    ButtonUSER = CommandButton("ButtonUSER", QStringLiteral("&USER"),
        QStringLiteral("Wählt die zu öffnende Mailbox (erforderlich)"), &TPOP3Main::ButtonUSERClick);
    ButtonPASS = CommandButton("ButtonPASS", QStringLiteral("&PASS"),
        QStringLiteral("Übermittelt das Paßwort der Mailbox (erforderlich)"), &TPOP3Main::ButtonPASSClick);
    ButtonSTAT = CommandButton("ButtonSTAT", QStringLiteral("ST&AT"),
        QStringLiteral("Fordert eine Statistik der aktuellen Mailbox an"), &TPOP3Main::ButtonSTATClick);
    ButtonLIST = CommandButton("ButtonLIST", QStringLiteral("&LIST"),
        QStringLiteral("Fordert eine Liste verfügbarer Nachrichten an"), &TPOP3Main::ButtonLISTClick);
    ButtonRETR = CommandButton("ButtonRETR", QStringLiteral("&RETR"),
        QStringLiteral("Ruft den kompletten Inhalt einer Nachricht ab"), &TPOP3Main::ButtonRETRClick);
    ButtonDELE = CommandButton("ButtonDELE", QStringLiteral("D&ELE"),
        QStringLiteral("Markiert eine Nachricht als gelöscht"), &TPOP3Main::ButtonDELEClick);
    ButtonRSET = CommandButton("ButtonRSET", QStringLiteral("RSE&T"),
        QStringLiteral("Versetzt die Mailbox in ihren Ausgangszustand"), &TPOP3Main::ButtonRSETClick);
    ButtonNOOP = CommandButton("ButtonNOOP", QStringLiteral("&NOOP"),
        QStringLiteral("Keine Funktion - fordert eine Bestätigung vom Server"), &TPOP3Main::ButtonNOOPClick);
    ButtonQUIT = CommandButton("ButtonQUIT", QStringLiteral("&QUIT"),
        QStringLiteral("Beendet die POP3-Konversation (erforderlich)"), &TPOP3Main::ButtonQUITClick);
    ButtonZerlegen = CommandButton("ButtonZerlegen", QStringLiteral("Zerlegen"),
        QStringLiteral("Zeigt, woraus die zuletzt abgerufene Nachricht besteht"), &TPOP3Main::MenuZerlegenClick);
    ButtonZerlegen->setEnabled(false);

    Log = new TLogView(Central);
    Log->setObjectName(QStringLiteral("Log"));
    Log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Log->setFocusPolicy(Qt::ClickFocus);
    // The layout was drawn for an 8-point UI font; scale its sizes with ours.
    const double Scale = qMax(1.0, fontMetrics().height() / 13.0);
    // The default size; FitGuidancePanel lowers it once the window's size is taken.
    Log->setMinimumSize(qRound(465 * Scale * 0.95), qRound(219 * Scale));
    Log->installEventFilter(this);
    // The log's colours (green, navy, red) are made for paper: black on white
    // whatever the desktop's palette, a dark one included.
    QPalette Paper = Log->palette();
    for (QPalette::ColorGroup Group : { QPalette::Active, QPalette::Inactive, QPalette::Disabled }) {
        Paper.setColor(Group, QPalette::Base, Qt::white);
        Paper.setColor(Group, QPalette::Text, Qt::black);
        Paper.setColor(Group, QPalette::WindowText, Qt::black);
        Paper.setColor(Group, QPalette::Highlight, QColor(0, 120, 215));
        Paper.setColor(Group, QPalette::HighlightedText, Qt::white);
    }
    Log->setPalette(Paper);

    Label1 = new QLabel(QStringLiteral("&Kommando:"), Central);
    Label1->setObjectName(QStringLiteral("Label1"));
    Command = new QComboBox(Central);
    Command->setObjectName(QStringLiteral("Command"));
    Command->setEditable(true);
    Command->setInsertPolicy(QComboBox::NoInsert);
    Command->setMaxVisibleItems(16);
    Command->lineEdit()->setMaxLength(254);
    Command->setValidator(new TKeyFilterValidator(Command));
    Command->setCompleter(nullptr);
    WatchKeys(Command);
    Label1->setBuddy(Command);
    ButtonSenden = CommandButton("ButtonSenden", QStringLiteral("Senden"),
        QStringLiteral("Sendet den Inhalt der \"Kommando\"-Zeile"), &TPOP3Main::ButtonSendenClick);

    HintLabel = new QLabel(QStringLiteral("Hinweise:"), Central);
    HintLabel->setObjectName(QStringLiteral("HintLabel"));
    HintPanel = new QFrame(Central);
    HintPanel->setObjectName(QStringLiteral("HintPanel"));
    HintPanel->setFrameShape(QFrame::Box);
    HintPanel->setFrameShadow(QFrame::Plain);
    // The guidance can be read but never focused, selected or edited.
    Hint = new QPlainTextEdit(HintPanel);
    Hint->setObjectName(QStringLiteral("Hint"));
    Hint->setReadOnly(true);
    Hint->setFrameShape(QFrame::NoFrame);
    Hint->setFocusPolicy(Qt::NoFocus);
    Hint->setTextInteractionFlags(Qt::NoTextInteraction);
    Hint->setContextMenuPolicy(Qt::NoContextMenu);
    Hint->viewport()->setCursor(Qt::ArrowCursor);
    Hint->setBackgroundRole(QPalette::Window);
    Hint->viewport()->setBackgroundRole(QPalette::Window);
    Hint->setAutoFillBackground(false);
    auto* HintLayout = new QVBoxLayout(HintPanel);
    HintLayout->setContentsMargins(3, 3, 3, 3);
    HintLayout->addWidget(Hint);

    // Server row, framed by two lines.
    auto* ServerRow = new QHBoxLayout;
    ServerRow->setSpacing(7);
    ServerRow->addWidget(HostLabel);
    ServerRow->addWidget(HostCombo, 1);
    ServerRow->addWidget(ButtonSuchen);
    ServerRow->addWidget(ButtonVerbinden);
    ServerRow->addWidget(ButtonTrennen);
    ServerRow->addSpacing(2);
    ServerRow->addWidget(IconPanel);

    auto* Buttons = new QVBoxLayout;
    Buttons->setSpacing(1);
    for (QPushButton* Button :
        { ButtonUSER, ButtonPASS, ButtonSTAT, ButtonLIST, ButtonRETR, ButtonDELE, ButtonRSET, ButtonNOOP, ButtonQUIT })
        Buttons->addWidget(Button);
    Buttons->addStretch(1);
    Buttons->addWidget(ButtonZerlegen);

    auto* Grid = new QGridLayout;
    Grid->setHorizontalSpacing(7);
    Grid->setVerticalSpacing(7);
    Grid->addLayout(Buttons, 0, 0);
    Grid->addWidget(Log, 0, 1, 1, 2);
    Grid->addWidget(Label1, 1, 0);
    Grid->addWidget(Command, 1, 1);
    Grid->addWidget(ButtonSenden, 1, 2);
    Grid->addWidget(HintLabel, 2, 0, Qt::AlignTop);
    Grid->addWidget(HintPanel, 2, 1, 1, 2);
    Grid->setColumnStretch(1, 1);
    Grid->setRowStretch(0, 1);

    auto* Main = new QVBoxLayout(Central);
    Main->setContentsMargins(8, 0, 8, 6);
    Main->setSpacing(5);
    Main->addWidget(HorizontalLine(Central, "Bevel1"));
    Main->addLayout(ServerRow);
    Main->addWidget(HorizontalLine(Central, "Bevel2"));
    Main->addLayout(Grid);

    // Status bar: status text, bytes sent, bytes received; no size grip.
    QStatusBar* Bar = statusBar();
    Bar->setObjectName(QStringLiteral("StatusBar"));
    Bar->setSizeGripEnabled(false);
    const char* PanelNames[3] = { "StatusText", "StatusSent", "StatusReceived" };
    for (int Index = 0; Index < 3; ++Index) {
        StatusPanels[Index] = Index == 0 ? new TElidedLabel(Bar) : new QLabel(Bar);
        StatusPanels[Index]->setObjectName(QLatin1String(PanelNames[Index]));
        StatusPanels[Index]->setFrameShape(QFrame::Panel);
        StatusPanels[Index]->setFrameShadow(QFrame::Sunken);
        StatusPanels[Index]->setIndent(2);
    }
    StatusPanels[1]->setMinimumWidth(
        fontMetrics().horizontalAdvance(QStringLiteral("Gesendet: 000.000.000 Bytes")) + 8);
    StatusPanels[2]->setMinimumWidth(
        fontMetrics().horizontalAdvance(QStringLiteral("Empfangen: 000.000.000 Bytes")) + 8);
    StatusPanels[0]->setMinimumWidth(120);
    Bar->addPermanentWidget(StatusPanels[0], 1);
    Bar->addPermanentWidget(StatusPanels[1]);
    Bar->addPermanentWidget(StatusPanels[2]);

    // Tab order of the window: server row, then command line, then the buttons.
    setTabOrder(HostCombo, ButtonSuchen);
    setTabOrder(ButtonSuchen, ButtonVerbinden);
    setTabOrder(ButtonVerbinden, ButtonTrennen);
    setTabOrder(ButtonTrennen, Command);
    setTabOrder(Command, ButtonSenden);
    setTabOrder(ButtonSenden, ButtonUSER);
    QWidget* Previous = ButtonUSER;
    for (QPushButton* Button :
        { ButtonPASS, ButtonSTAT, ButtonLIST, ButtonRETR, ButtonDELE, ButtonRSET, ButtonNOOP, ButtonQUIT }) {
        setTabOrder(Previous, Button);
        Previous = Button;
    }

    // What a screen reader says for each control (the buttons name themselves).
    struct TSpoken {
        QWidget* Control;
        const char* Name;
        const char* Description;
    };
    const TSpoken Spoken[] = {
        { HostCombo, "Mail-Server", "Bestimmt den Server, mit dem verbunden werden soll" },
        { StatusPic, "Verbindungsstatus",
            "Zeigt, ob eine Verbindung besteht; ein Klick zeigt Informationen über Brieflotse" },
        { Log, "Protokoll", "Alle gesendeten Kommandos und empfangenen Antworten, farbig gekennzeichnet" },
        { Command, "Kommando", "Das nächste Kommando an den Server; Enter oder \"Senden\" sendet es" },
        { Hint, "Hinweise", "Erklärt die letzte Antwort des Servers und was als Nächstes sinnvoll ist" },
        { StatusPanels[0], "Status", "Der Zustand der Verbindung" },
        { StatusPanels[1], "Gesendet", "Die Zahl der gesendeten Bytes" },
        { StatusPanels[2], "Empfangen", "Die Zahl der empfangenen Bytes" },
    };
    for (const TSpoken& Entry : Spoken) {
        Entry.Control->setAccessibleName(QString::fromUtf8(Entry.Name));
        Entry.Control->setAccessibleDescription(QString::fromUtf8(Entry.Description));
    }
    for (QComboBox* Field : { HostCombo, Command }) {
        Field->lineEdit()->setAccessibleName(Field->accessibleName());
        Field->lineEdit()->setAccessibleDescription(Field->accessibleDescription());
    }
}

void TPOP3Main::BuildMenu()
{
    QMenuBar* Bar = menuBar();
    Bar->setObjectName(QStringLiteral("Menu"));

    auto Item = [](QMenu* Menu, const char* Name, const QString& Caption, const QString& Hint) {
        QAction* Action = Menu->addAction(Caption);
        Action->setObjectName(QLatin1String(Name));
        Action->setStatusTip(Hint);
        return Action;
    };
    auto Submenu = [](QMenu* Parent, const char* Name, const QString& Caption) {
        QMenu* Menu = Parent->addMenu(Caption);
        Menu->setObjectName(QLatin1String(Name));
        return Menu;
    };
    auto TopMenu = [Bar](const char* Name, const QString& Caption) {
        QMenu* Menu = Bar->addMenu(Caption);
        Menu->setObjectName(QLatin1String(Name));
        return Menu;
    };

    MenuDatei = TopMenu("MenuDatei", QStringLiteral("&Datei"));
    connect(MenuDatei, &QMenu::aboutToShow, this, &TPOP3Main::MenuDateiClick);
    MenuSpeichern = Item(MenuDatei, "MenuSpeichern", QStringLiteral("&Speichern ..."),
        QStringLiteral("Speichert das aktuelle Protokoll"));
    MenuSpeichern->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(MenuSpeichern, &QAction::triggered, this, &TPOP3Main::MenuSpeichernClick);
    MenuMitschnitt = Item(MenuDatei, "MenuMitschnitt", QStringLiteral("&Mitschnitt speichern ..."),
        QStringLiteral("Speichert alle Bytes dieser Sitzung mit ihren Zeiten, Paßwörter und Tokens verborgen"));
    connect(MenuMitschnitt, &QAction::triggered, this, &TPOP3Main::MenuMitschnittClick);
    MenuDrucken
        = Item(MenuDatei, "MenuDrucken", QStringLiteral("&Drucken"), QStringLiteral("Druckt das aktuelle Protokoll"));
    MenuDrucken->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    connect(MenuDrucken, &QAction::triggered, this, &TPOP3Main::MenuDruckenClick);
    MenuDatei->addSeparator();
    MenuBeenden = Item(MenuDatei, "MenuBeenden", QStringLiteral("&Beenden"), QStringLiteral("Beendet Brieflotse"));
    connect(MenuBeenden, &QAction::triggered, this, &TPOP3Main::MenuBeendenClick);

    MenuServer = TopMenu("MenuServer", QStringLiteral("&Server"));
    connect(MenuServer, &QMenu::aboutToShow, this, &TPOP3Main::MenuServerClick);
    MenuSuchen = Item(MenuServer, "MenuSuchen", QStringLiteral("&Suchen ..."),
        QStringLiteral("Hilft bei der Suche nach Mail-Servern"));
    connect(MenuSuchen, &QAction::triggered, this, &TPOP3Main::ButtonSuchenClick);
    MenuVerbinden = Item(MenuServer, "MenuVerbinden", QStringLiteral("&Verbinden"),
        QStringLiteral("Verbindet mit dem gewählten Mail-Server"));
    connect(MenuVerbinden, &QAction::triggered, this, &TPOP3Main::ButtonVerbindenClick);
    MenuTrennen = Item(MenuServer, "MenuTrennen", QStringLiteral("&Trennen"),
        QStringLiteral("Unterbricht die Verbindung mit dem Mail-Server"));
    connect(MenuTrennen, &QAction::triggered, this, &TPOP3Main::ButtonTrennenClick);
    MenuPruefen = Item(MenuServer, "MenuPruefen", QStringLiteral("Server &prüfen ..."),
        QStringLiteral("Prüft einen Mail-Server: Adressen, TLS, Zertifikat, Fähigkeiten und Anmeldung"));
    connect(MenuPruefen, &QAction::triggered, this, &TPOP3Main::MenuPruefenClick);
    FPractice = new TPracticeServerControl(MenuServer, this);
    connect(FPractice, &TPracticeServerControl::GuidanceChosen, this, &TPOP3Main::ShowGuidanceText);
    connect(FPractice, &TPracticeServerControl::ServerStarted, this, [this](const QString& Address) {
        HostCombo->setEditText(Address);
        FocusHostField();
    });

    MenuKommandos = TopMenu("MenuKommandos", QStringLiteral("&Befehle"));
    struct TCommandEntry {
        const char* Name;
        QPushButton* Button;
        void (TPOP3Main::*Handler)();
    };
    const TCommandEntry Commands[] = {
        { "MenuUSER", ButtonUSER, &TPOP3Main::ButtonUSERClick },
        { "MenuPASS", ButtonPASS, &TPOP3Main::ButtonPASSClick },
        { "MenuSTAT", ButtonSTAT, &TPOP3Main::ButtonSTATClick },
        { "MenuLIST", ButtonLIST, &TPOP3Main::ButtonLISTClick },
        { "MenuRETR", ButtonRETR, &TPOP3Main::ButtonRETRClick },
        { "MenuDELE", ButtonDELE, &TPOP3Main::ButtonDELEClick },
        { "MenuNOOP", ButtonNOOP, &TPOP3Main::ButtonNOOPClick },
        { "MenuRSET", ButtonRSET, &TPOP3Main::ButtonRSETClick },
        { "MenuQUIT", ButtonQUIT, &TPOP3Main::ButtonQUITClick },
    };
    for (const TCommandEntry& Entry : Commands) {
        QAction* Action = Item(MenuKommandos, Entry.Name, Entry.Button->text(), Entry.Button->statusTip());
        connect(Action, &QAction::triggered, this, Entry.Handler);
    }
    // The second variants of LIST and RETR, on the same assistant pages.
    QAction* Uidl = Item(MenuKommandos, "MenuUIDL", QStringLiteral("U&IDL ..."),
        QStringLiteral("Fordert die eindeutigen Kennungen der Nachrichten an"));
    connect(Uidl, &QAction::triggered, this, [this] { CommandAssistant(QLatin1Char('L'), true); });
    QAction* Top = Item(MenuKommandos, "MenuTOP", QStringLiteral("TOP (&Kopfzeilen) ..."),
        QStringLiteral("Ruft Header und die ersten Zeilen einer Nachricht ab"));
    connect(Top, &QAction::triggered, this, [this] { CommandAssistant(QLatin1Char('R'), true); });
    MenuZerlegen
        = Item(MenuKommandos, "MenuZerlegen", QStringLiteral("Nachricht &zerlegen ..."), ButtonZerlegen->statusTip());
    MenuZerlegen->setEnabled(false);
    connect(MenuZerlegen, &QAction::triggered, this, &TPOP3Main::MenuZerlegenClick);
    QAction* Map = Item(MenuKommandos, "MenuPostfach", QStringLiteral("Postfach-&Übersicht ..."),
        QStringLiteral("Zeigt alle Nachrichten mit Nummer, UIDL, Größe, Datum, Absender und Betreff"));
    connect(Map, &QAction::triggered, this, &TPOP3Main::MenuPostfachClick);
    MenuKommandos->addSeparator();
    QAction* Stls = Item(MenuKommandos, "MenuSTLS", QStringLiteral("STL&S"),
        QStringLiteral("Schaltet die Verbindung auf TLS-Verschlüsselung um"));
    connect(Stls, &QAction::triggered, this, [this] { CommandAssistant(QLatin1Char('S')); });
    QAction* Capa = Item(MenuKommandos, "MenuCAPA", QStringLiteral("&CAPA"),
        QStringLiteral("Fragt den Server, welche Erweiterungen er beherrscht"));
    connect(Capa, &QAction::triggered, this, [this] { SendCommandLine(QStringLiteral("CAPA")); });
    QAction* Apop = Item(MenuKommandos, "MenuAPOP", QStringLiteral("AP&OP ..."),
        QStringLiteral("Meldet sich an, ohne das Paßwort zu senden (MD5-Prüfsumme)"));
    connect(Apop, &QAction::triggered, this, [this] { CommandAssistant(QLatin1Char('A')); });
    QAction* Auth = Item(MenuKommandos, "MenuAUTH", QStringLiteral("AUT&H ..."),
        QStringLiteral(
            "Meldet sich mit einem SASL-Verfahren an (PLAIN, LOGIN, CRAM-MD5, SCRAM-SHA-256, XOAUTH2, OAUTHBEARER)"));
    connect(Auth, &QAction::triggered, this, [this] { CommandAssistant(QLatin1Char('H')); });

    MenuOptionen = TopMenu("MenuOptionen", QStringLiteral("&Optionen"));
    connect(MenuOptionen, &QMenu::aboutToShow, this, &TPOP3Main::MenuOptionenClick);

    MenuFont = Submenu(MenuOptionen, "MenuFont", QStringLiteral("Zeichen&breite"));
    auto* FontGroup = new QActionGroup(this);
    MenuFontProp = Item(MenuFont, "MenuFontProp", QStringLiteral("&Proportional"),
        QStringLiteral("Zeigt das Protokoll mit proportionaler Zeichenbreite"));
    MenuFontMono = Item(MenuFont, "MenuFontMono", QStringLiteral("&Einheitlich"),
        QStringLiteral("Zeigt das Protokoll mit einheitlicher Zeichenbreite"));
    for (QAction* Action : { MenuFontProp, MenuFontMono }) {
        Action->setCheckable(true);
        FontGroup->addAction(Action);
    }
    MenuFontProp->setChecked(true);
    connect(MenuFontProp, &QAction::triggered, this, &TPOP3Main::MenuFontPropClick);
    connect(MenuFontMono, &QAction::triggered, this, &TPOP3Main::MenuFontMonoClick);

    MenuColors = Submenu(MenuOptionen, "MenuColors", QStringLiteral("Farb&kodierung"));
    auto* ColorGroup = new QActionGroup(this);
    MenuColorStatus = Item(MenuColors, "MenuColorStatus", QStringLiteral("&Status"),
        QStringLiteral("Färbt Server-Meldungen gemäß dem jeweiligen Status"));
    MenuColorHost = Item(MenuColors, "MenuColorHost", QStringLiteral("V&erbindung"),
        QStringLiteral("Wechselt die Server-Farbe bei jeder neuen Verbindung"));
    MenuColors->addSeparator();
    MenuColorGreen = Item(
        MenuColors, "MenuColorGreen", QStringLiteral("&Grün"), QStringLiteral("Färbt Server-Meldungen einheitlich"));
    MenuColorNavy = Item(
        MenuColors, "MenuColorNavy", QStringLiteral("&Blau"), QStringLiteral("Färbt Server-Meldungen einheitlich"));
    MenuColorRed = Item(
        MenuColors, "MenuColorRed", QStringLiteral("&Rot"), QStringLiteral("Färbt Server-Meldungen einheitlich"));
    MenuColors->addSeparator();
    MenuColorOff
        = Item(MenuColors, "MenuColorOff", QStringLiteral("&Aus"), QStringLiteral("Deaktiviert die Farbkodierung"));
    const int ColorTags[] = { 0, 0, 1, 2, 3, 4 };
    int TagIndex = 0;
    for (QAction* Action :
        { MenuColorStatus, MenuColorHost, MenuColorGreen, MenuColorNavy, MenuColorRed, MenuColorOff }) {
        Action->setCheckable(true);
        Action->setData(ColorTags[TagIndex++]);
        ColorGroup->addAction(Action);
    }
    MenuColorStatus->setChecked(true);
    connect(ColorGroup, &QActionGroup::triggered, this, &TPOP3Main::MenuColorClick);

    MenuFormat = Submenu(MenuOptionen, "MenuFormat", QStringLiteral("&Formatierung"));
    MenuCmdBold = Item(
        MenuFormat, "MenuCmdBold", QStringLiteral("&Kommandos fett"), QStringLiteral("Hebt Kommandos fett hervor"));
    MenuStatusBold = Item(MenuFormat, "MenuStatusBold", QStringLiteral("&Status-Codes fett"),
        QStringLiteral("Hebt Status-Codes fett hervor"));
    MenuFormat->addSeparator();
    MenuCmdUpper = Item(MenuFormat, "MenuCmdUpper", QStringLiteral("Kommandos immer &versal"),
        QStringLiteral("Sendet Kommandos immer in Großbuchstaben"));
    MenuHidePass = Item(MenuFormat, "MenuHidePass", QStringLiteral("&Paßwörter verbergen"),
        QStringLiteral("Ersetzt Paßwörter durch einen allgemeinen Text"));
    for (QAction* Action : { MenuCmdBold, MenuStatusBold, MenuCmdUpper, MenuHidePass }) {
        Action->setCheckable(true);
        Action->setChecked(true);
        // The check mark flips before triggered(); the handler reads it.
        connect(Action, &QAction::triggered, this, [this, Action] { MenuFormatOnOffClick(Action); });
    }
    MenuOptionen->addSeparator();

    MenuTimeout = Submenu(MenuOptionen, "MenuTimeout", QStringLiteral("Max. &Wartezeit"));
    auto* TimeoutGroup = new QActionGroup(this);
    const char* TimeoutNames[] = { "Menu10Sek", "Menu20Sek", "Menu30Sek", "Menu40Sek" };
    QAction** TimeoutItems[] = { &Menu10Sek, &Menu20Sek, &Menu30Sek, &Menu40Sek };
    for (int Index = 0; Index < 4; ++Index) {
        const int Seconds = (Index + 1) * 10;
        QAction* Action = Item(MenuTimeout, TimeoutNames[Index], QStringLiteral("&%1 sek.").arg(Seconds),
            QStringLiteral("Bestimmt die maximale Wartezeit beim Datenaustausch"));
        Action->setCheckable(true);
        Action->setData(Seconds);
        TimeoutGroup->addAction(Action);
        *TimeoutItems[Index] = Action;
    }
    Menu30Sek->setChecked(true);
    connect(TimeoutGroup, &QActionGroup::triggered, this, &TPOP3Main::MenuTimeoutClick);
    MenuOptionen->addSeparator();

    MenuLog = Submenu(MenuOptionen, "MenuLog", QStringLiteral("&Protokoll löschen"));
    MenuResetLogNow
        = Item(MenuLog, "MenuResetLogNow", QStringLiteral("&jetzt"), QStringLiteral("Löscht das Protokoll"));
    connect(MenuResetLogNow, &QAction::triggered, this, &TPOP3Main::MenuResetLogNowClick);
    MenuResetLog = Item(MenuLog, "MenuResetLog", QStringLiteral("&bei Verbindungsaufbau"),
        QStringLiteral("Löscht das Protokoll bei Verbindungsaufbau"));
    MenuCounter = Submenu(MenuOptionen, "MenuCounter", QStringLiteral("&Zähler löschen"));
    MenuResetCounterNow
        = Item(MenuCounter, "MenuResetCounterNow", QStringLiteral("&jetzt"), QStringLiteral("Löscht die Zähler"));
    connect(MenuResetCounterNow, &QAction::triggered, this, &TPOP3Main::MenuResetCounterNowClick);
    MenuResetCounter = Item(MenuCounter, "MenuResetCounter", QStringLiteral("&bei Verbindungsaufbau"),
        QStringLiteral("Löscht die Zähler bei Verbindungsaufbau"));
    for (QAction* Action : { MenuResetLog, MenuResetCounter }) {
        Action->setCheckable(true);
        Action->setChecked(false);
        connect(Action, &QAction::triggered, this, [this, Action] { MenuResetAtConnectClick(Action); });
    }

    MenuHilfe = TopMenu("MenuHilfe", QStringLiteral("&Info"));
    MenuAbout = Item(MenuHilfe, "MenuAbout", QStringLiteral("Über &Brieflotse ..."),
        QStringLiteral("Zeigt Informationen über Brieflotse"));
    connect(MenuAbout, &QAction::triggered, this, &TPOP3Main::MenuAboutClick);
}

void TPOP3Main::FormCreate()
{
    StatusPic->setPixmap(FStatusPictures[0]);
    SetConnectedState(false);
    FConversation->ShowStatus(".");
    FConversation->ShowGuidance(TGuidanceEvent::Welcome, "+OK");
    UpdateFileActions();
    // A value of the wrong kind ends the load; what was read so far stays.
    try {
        LoadSettings();
    } catch (const TSettingsError& Error) {
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Einstellungen"), Error.Message());
    }
    if (HostCombo->count() > 0)
        HostCombo->setCurrentIndex(0);
}

// ---------------------------------------------------------------------------
// TConversationView

TConversationOptions TPOP3Main::Options() const
{
    TConversationOptions Result;
    Result.UpperCaseCommands = MenuCmdUpper->isChecked();
    Result.HidePasswords = MenuHidePass->isChecked() || FKeepTokenOut;
    Result.ResetLogAtConnect = MenuResetLog->isChecked();
    Result.ResetCounterAtConnect = MenuResetCounter->isChecked();
    return Result;
}

void TPOP3Main::RepaintStatusLine()
{
    // Progress shows at once, but while a large reply streams in chunk after
    // chunk, one repaint every few hundredths of a second is all an eye sees.
    if (FStatusRepaint.isValid() && FStatusRepaint.elapsed() < 30) {
        StatusPic->update();
        statusBar()->update();
        return;
    }
    FStatusRepaint.start();
    StatusPic->repaint();
    statusBar()->repaint();
}

void TPOP3Main::ShowStatusPicture(TStatusPicture Picture)
{
    if (FShownPicture != Picture || StatusPic->pixmap().isNull()) {
        FShownPicture = Picture;
        StatusPic->setPixmap(FStatusPictures[static_cast<int>(Picture)]);
    }
    RepaintStatusLine();
}

void TPOP3Main::ShowWindowTitle(const std::string& Title)
{
    setWindowTitle(FromUtf8(Title));
}

void TPOP3Main::ShowStatusText(const std::string& Text)
{
    FLastStatus = FromUtf8(Text);
    static_cast<TElidedLabel*>(StatusPanels[0])->SetPanelText(FLastStatus);
    RepaintStatusLine();
}

void TPOP3Main::ShowByteCounters(int64_t Sent, int64_t Received)
{
    const QLocale Locale;
    StatusPanels[1]->setText(QStringLiteral("Gesendet: %1 Bytes").arg(Locale.toString(static_cast<qlonglong>(Sent))));
    StatusPanels[2]->setText(
        QStringLiteral("Empfangen: %1 Bytes").arg(Locale.toString(static_cast<qlonglong>(Received))));
    RepaintStatusLine();
}

void TPOP3Main::SetConnectedState(bool Connected)
{
    for (QWidget* Control : std::initializer_list<QWidget*> { HostLabel, HostCombo, ButtonSuchen, ButtonVerbinden })
        Control->setEnabled(!Connected);
    for (QWidget* Control : std::initializer_list<QWidget*> { Label1, ButtonTrennen, ButtonUSER, ButtonPASS, ButtonSTAT,
             ButtonLIST, ButtonRETR, ButtonDELE, ButtonRSET, ButtonNOOP, ButtonQUIT, ButtonSenden, Command })
        Control->setEnabled(Connected);
    ButtonSenden->setDefault(Connected);
    ButtonVerbinden->setDefault(!Connected);
    MenuKommandos->menuAction()->setVisible(Connected);
    if (Connected)
        Command->setFocus();
    else
        HostCombo->setFocus();
    WatchSocket();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool TPOP3Main::CommandFieldEnabled() const
{
    return Command->isEnabled();
}
void TPOP3Main::FocusCommandField()
{
    Command->setFocus();
}
void TPOP3Main::FocusHostField()
{
    HostCombo->setFocus();
}

void TPOP3Main::SetBusyCursor(bool Busy)
{
    if (Busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    if (!Busy) {
        ButtonZerlegen->setEnabled(FConversation->Retrieved().Available());
        MenuZerlegen->setEnabled(ButtonZerlegen->isEnabled());
    }
    // Between actions the socket is watched for data the server sends unasked.
    if (FNotifier)
        FNotifier->setEnabled(!Busy);
    // A close asked for during the action that just ended.
    if (!Busy && FCloseWhenIdle) {
        FCloseWhenIdle = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

void TPOP3Main::KeepResponsive()
{
    FWaitGuard->ProcessEvents();
}

bool TPOP3Main::AcceptCertificate(const TTlsInfo& Info, const std::string& Target)
{
    TCertificateTrust Trust(FSettings);
    const bool Accepted = Trust.Accept(this, Info, Target);
    if (!Trust.Note().empty())
        FLog->Append(TLogEntryKind::Tls, Trust.Note());
    return Accepted;
}

void TPOP3Main::UpdateFileActions()
{
    const bool HasLines = FLog->HasLines();
    MenuSpeichern->setEnabled(HasLines);
    MenuDrucken->setEnabled(HasLines);
    MenuMitschnitt->setEnabled(FConversation && !FConversation->Transcript().Empty());
}
void TPOP3Main::ShowGuidanceText(const std::string& Text, bool IsError)
{
    QPalette Palette = Hint->palette();
    const QColor Colour = IsError ? QColor(255, 0, 0) : palette().color(QPalette::WindowText);
    Palette.setColor(QPalette::Text, Colour);
    Palette.setColor(QPalette::Base, palette().color(QPalette::Window));
    Hint->setPalette(Palette);
    // Guidance texts use CR LF between paragraphs; the memo wants plain line breaks.
    QString Shown = FromUtf8(FPractice ? FPractice->WithFaultNotes(Text) : Text);
    Shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    Hint->setPlainText(Shown);
}

void TPOP3Main::AddHostToHistory(const std::string& Host)
{
    ServerField::PushHistory(HostCombo, FromUtf8(Host));
    HostCombo->setCurrentIndex(0);
}

void TPOP3Main::AddCommandToHistory(const std::string& Line)
{
    if (FKeepTokenOut)
        return;
    ServerField::PushHistory(Command, FromUtf8(Line));
    Command->setCurrentIndex(0);
    Command->setCurrentIndex(-1);
    Command->setEditText(QString());
    Command->repaint();
}

bool TPOP3Main::AskYesNo(const std::string& Title, const std::string& Text)
{
    QString Shown = FromUtf8(Text);
    Shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return TMessageBox::AskYesNo(this, FromUtf8(Title), Shown);
}

// ---------------------------------------------------------------------------
// Socket watching between actions

void TPOP3Main::WatchSocket()
{
    const int Handle = FConversation ? FConversation->SocketHandle() : -1;
    if (FNotifier && FNotifier->socket() == Handle)
        return;
    FNotifier.reset();
    if (Handle < 0)
        return;
    FNotifier = std::make_unique<QSocketNotifier>(Handle, QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, &TPOP3Main::SocketReadable);
    FNotifier->setEnabled(!FConversation->Busy());
}

void TPOP3Main::SocketReadable()
{
    if (FConversation->Busy())
        return;
    if (FConversation->SocketReadable())
        return;
    // A closed or failed connection stays readable without data; stop
    // listening until the user's next action instead of spinning. A reset is
    // left for that action to report.
    if (FNotifier)
        FNotifier->setEnabled(false);
}

// ---------------------------------------------------------------------------
// Actions

void TPOP3Main::ButtonVerbindenClick()
{
    if (!ButtonVerbinden->isEnabled())
        return;
    const QString Typed = HostCombo->currentText().trimmed();
    const TServerAddress Address = ParseServerAddress(Typed.toStdString());
    if (!Address.Valid) {
        // Refused before any look-up: such a name must not leave the machine.
        ShowGuidanceText(QStringLiteral("\"%1\" ist keine Adresse eines Mail-Servers. Geben Sie den Namen oder die "
                                        "Adresse des Servers ein, wahlweise mit Port (pop.example.org:110), oder "
                                        "eine Adresse wie pop3://name@pop.example.org. Ein \"@\" gehört sonst zu "
                                        "einer E-Mail-Adresse, nicht zum Server; Brieflotse fragt einen solchen "
                                        "Namen nicht im Netz nach.")
                             .arg(Typed.left(80))
                             .toStdString(),
            true);
        // Selected, so that typing replaces it.
        HostCombo->setFocus();
        HostCombo->lineEdit()->selectAll();
        return;
    }
    if (!Address.User.empty() && FAssistant)
        FAssistant->SetLogInName(FromUtf8(Address.User), FromUtf8(Address.Mechanism));
    FConversation->ButtonVerbindenClick(Address.Target);
    WatchSocket();
}

void TPOP3Main::ConnectTo(const QString& Server)
{
    HostCombo->setEditText(Server);
    ButtonVerbindenClick();
}

void TPOP3Main::ButtonTrennenClick()
{
    if (!ButtonTrennen->isEnabled())
        return;
    FConversation->ButtonTrennenClick();
    WatchSocket();
}

void TPOP3Main::ButtonSuchenClick()
{
    if (!ButtonSuchen->isEnabled() || !FFinder)
        return;
    FFinder->SetTimeout(FConversation->WaitTimeout());
    if (FFinder->Execute(this)) {
        if (FFinder->StlsFirst())
            FConversation->AdviseStlsFirst();
        HostCombo->setEditText(FFinder->ServerName());
        HostCombo->repaint();
        ButtonVerbinden->click();
    }
}

void TPOP3Main::ButtonSendenClick()
{
    if (!ButtonSenden->isEnabled())
        return;
    FConversation->SendAction(Command->currentText().toStdString());
    WatchSocket();
}

void TPOP3Main::MenuPostfachClick()
{
    delete FMailboxMap.data();
    FMailboxMap = new TMailboxMapWindow(*FConversation, *FWaitGuard, this);
    connect(FMailboxMap, &TMailboxMapWindow::RetrieveRequested, this,
        [this](int Number) { SendCommandLine(QStringLiteral("RETR %1").arg(Number)); });
    if (FMailboxMap->Build())
        FMailboxMap->show();
    else
        delete FMailboxMap.data();
    WatchSocket();
}

void TPOP3Main::SendCommandLine(const QString& Line)
{
    Command->setEditText(Line);
    ButtonSenden->click();
}

void TPOP3Main::CommandAssistant(QChar Kind, bool SecondVariant)
{
    if (!FAssistant)
        return Command->setFocus();
    if (SecondVariant)
        FAssistant->ChooseSecondVariant(Kind);
    FAssistant->SetHidePasswords(MenuHidePass->isChecked());
    FAssistant->SetConnectionFacts(ConnectionFacts());
    if (!FAssistant->Execute(Kind, this))
        return Command->setFocus();
    if (Kind == QLatin1Char('H'))
        return StartSaslLogIn(FAssistant->SaslRequest());
    if (Kind == QLatin1Char('A'))
        FLog->Append(TLogEntryKind::Note,
            "Brieflotse: APOP: MD5 über den Zeitstempel der Begrüßung und Ihr "
            "Paßwort; nur diese Prüfsumme wird gesendet, nicht das Paßwort.");
    SendCommandLine(FAssistant->CommandLine());
}

TConnectionFacts TPOP3Main::ConnectionFacts() const
{
    TConnectionFacts Facts;
    Facts.Timestamp = QString::fromStdString(GreetingTimestamp(FConversation->Greeting()));
    Facts.TimestampTooLong = GreetingTimestampTooLong(FConversation->Greeting());
    Facts.Encrypted = FConversation->Transport().Encrypted();
    Facts.TargetHost = QString::fromStdString(FConversation->Transport().TargetHost());
    Facts.PeerAddress = QString::fromStdString(FConversation->Transport().PeerAddress());
    for (const std::string& Mechanism : FConversation->Capabilities().SaslMechanisms())
        Facts.Mechanisms << QString::fromStdString(Mechanism);
    return Facts;
}

void TPOP3Main::StartSaslLogIn(const TSaslRequest& Request)
{
    TSaslMechanism Mechanism;
    if (!ParseSaslMechanism(Request.Mechanism.toStdString(), Mechanism))
        return Command->setFocus();
    auto Client = std::make_unique<TSaslClient>(Mechanism, Request.User.toStdString(), Request.Secret.toStdString());
    Client->SetServer(FConversation->Transport().TargetHost(), FConversation->Transport().PeerPort());
    Client->SetTwoSteps(Request.TwoSteps);
    const TSaslStep First = Client->Start();
    FLog->Append(TLogEntryKind::Note, "Brieflotse: " + First.Explanation);
    FConversation->SetSaslClient(std::move(Client), First.Explanation);
    // The whole exchange runs within this call.
    FKeepTokenOut = Request.TokenFetched;
    SendCommandLine(QString::fromStdString(First.Line));
    if (FKeepTokenOut)
        Command->clearEditText();
    FKeepTokenOut = false;
}

void TPOP3Main::ButtonUSERClick()
{
    CommandAssistant(QLatin1Char('U'));
}
void TPOP3Main::ButtonPASSClick()
{
    CommandAssistant(QLatin1Char('P'));
}
void TPOP3Main::ButtonLISTClick()
{
    CommandAssistant(QLatin1Char('L'));
}
void TPOP3Main::ButtonRETRClick()
{
    CommandAssistant(QLatin1Char('R'));
}
void TPOP3Main::ButtonDELEClick()
{
    CommandAssistant(QLatin1Char('D'));
}
void TPOP3Main::ButtonSTATClick()
{
    SendCommandLine(QStringLiteral("STAT"));
}
void TPOP3Main::ButtonRSETClick()
{
    SendCommandLine(QStringLiteral("RSET"));
}
void TPOP3Main::ButtonNOOPClick()
{
    SendCommandLine(QStringLiteral("NOOP"));
}
void TPOP3Main::ButtonQUITClick()
{
    SendCommandLine(QStringLiteral("QUIT"));
}

// ---------------------------------------------------------------------------
// Menus and options

void TPOP3Main::MenuDateiClick()
{
    UpdateFileActions();
}

void TPOP3Main::MenuServerClick()
{
    const bool Connected = FConversation->Connected();
    MenuSuchen->setEnabled(!Connected);
    MenuVerbinden->setEnabled(!Connected);
    MenuTrennen->setEnabled(Connected);
}

void TPOP3Main::MenuPruefenClick()
{
    TServerCheckDialog Dialog(*FLog, this);
    // A server checked joins the field's history; what the field shows stays.
    connect(&Dialog, &TServerCheckDialog::ServerChecked, this, [this](const QString& Server) {
        const QString Shown = HostCombo->currentText();
        ServerField::PushHistory(HostCombo, Server);
        HostCombo->setEditText(Shown);
    });
    QStringList History;
    for (int Index = 0; Index < HostCombo->count(); ++Index)
        History << HostCombo->itemText(Index);
    Dialog.Prepare(HostCombo->currentText().trimmed(), History);
    Dialog.exec();
}

void TPOP3Main::MenuOptionenClick()
{
    const bool Offline = !FConversation->Connected();
    MenuLog->menuAction()->setEnabled(Offline);
    MenuCounter->menuAction()->setEnabled(Offline);
    MenuColorStatus->setEnabled(Offline);
    MenuColorHost->setEnabled(Offline);
}

void TPOP3Main::MenuBeendenClick()
{
    close();
}

void TPOP3Main::ApplyLogFont(bool FixedPitch)
{
    FFixedPitch = FixedPitch;
    Log->setUpdatesEnabled(false);
    Log->setFont(FixedPitch ? FixedPitchLogFont() : ProportionalLogFont());
    Log->FollowEnd();
    Log->setUpdatesEnabled(true);
}

void TPOP3Main::MenuFontPropClick()
{
    MenuFontProp->setChecked(true);
    ApplyLogFont(false);
}

void TPOP3Main::MenuFontMonoClick()
{
    MenuFontMono->setChecked(true);
    ApplyLogFont(true);
}

void TPOP3Main::MenuColorClick(QAction* Item)
{
    Item->setChecked(true);
    const int Tag = Item->data().toInt();
    if (Tag > 0)
        FLog->SetServerColor(static_cast<TLogColour>(Tag));
    if (MenuColorStatus->isChecked())
        FLog->SetColorMode(TColorMode::Status);
    else if (MenuColorHost->isChecked())
        FLog->SetColorMode(TColorMode::Connection);
    else
        FLog->SetColorMode(TColorMode::Fixed);
}

void TPOP3Main::MenuFormatOnOffClick(QAction* Item)
{
    // The check mark has already flipped; the log reads the bold options here.
    if (Item == MenuCmdBold)
        FLog->SetCommandBold(Item->isChecked());
    else if (Item == MenuStatusBold)
        FLog->SetStatusBold(Item->isChecked());
}

void TPOP3Main::MenuTimeoutClick(QAction* Item)
{
    Item->setChecked(true);
    FConversation->SetWaitTimeout(Item->data().toInt());
}

void TPOP3Main::MenuResetAtConnectClick(QAction*)
{
    // The check mark itself is the option; the conversation reads it at connect.
}

void TPOP3Main::MenuResetLogNowClick()
{
    FLog->Clear();
}

void TPOP3Main::MenuZerlegenClick()
{
    const TRetrievedMessage& Message = FConversation->Retrieved();
    if (!Message.Available())
        return;
    if (!FAnatomy)
        FAnatomy = new TMessageAnatomyWindow(
            [this](qint64 First, qint64 Last) {
                const qint64 Lines = static_cast<qint64>(Log->Store().LineCount());
                if (First >= Lines)
                    return;
                Last = qMin(Last, Lines - 1);
                // Scrolled to the end, then back to the start: the whole item
                // in sight when it fits, else its start.
                const TLogPosition End { Last, Log->LineText(Last).size() };
                Log->Select({ First, 0 }, End);
                Log->Select(End, { First, 0 });
            },
            this);
    FAnatomy->ShowMessage(
        Message.Bytes(), Message.Cut(), Message.LinesValid(), static_cast<qint64>(Message.FirstLogLine()));
    FAnatomy->show();
    FAnatomy->raise();
    FAnatomy->activateWindow();
}

void TPOP3Main::MenuResetCounterNowClick()
{
    FConversation->ResetCounters();
}

void TPOP3Main::MenuAboutClick()
{
    if (FAbout)
        FAbout->Execute(this);
}

// ---------------------------------------------------------------------------
// Events

void TPOP3Main::ShowApplicationHint(const QString& HintText)
{
    static_cast<TElidedLabel*>(StatusPanels[0])->SetPanelText(HintText.isEmpty() ? FLastStatus : HintText);
}

bool TPOP3Main::event(QEvent* Event)
{
    if (Event->type() == QEvent::StatusTip) {
        ShowApplicationHint(static_cast<QStatusTipEvent*>(Event)->tip());
        return true;
    }
    return QMainWindow::event(Event);
}

void TPOP3Main::WatchKeys(QComboBox* Field)
{
    // A real key press goes to the focused combo box, which hands it to its
    // line edit without passing event filters; keys posted to the line edit
    // itself arrive there. Watch both.
    Field->installEventFilter(this);
    Field->lineEdit()->installEventFilter(this);
}

bool TPOP3Main::EditKeyPress(QKeyEvent* Key)
{
    // Alt and a letter that reached the field is an access key of a control
    // that is disabled (or of none): it never types its letter.
    if ((Key->modifiers() & (Qt::AltModifier | Qt::MetaModifier)) && !(Key->modifiers() & Qt::ControlModifier)
        && !Key->text().isEmpty() && Key->text().at(0).isPrint())
        return true;
    if (Key->key() != Qt::Key_Return && Key->key() != Qt::Key_Enter)
        return false; // characters pass through the fields' key filter
    // Enter presses the default button: "Senden" while connected, else "Verbinden".
    QPushButton* Default = ButtonSenden->isEnabled() ? ButtonSenden : ButtonVerbinden;
    if (Default->isEnabled())
        Default->click();
    return true;
}

bool TPOP3Main::LogKeyDown(QKeyEvent* Key)
{
    if (!Command->isEnabled())
        return false;
    if (Key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    // Whatever character the key produces (shifted ones too) continues in the
    // command line, filtered like everything typed there.
    const QString Text = EditRules::FilterText(Key->text());
    if (Text.isEmpty() || !Text.at(0).isPrint())
        return false;
    Command->setFocus();
    Command->lineEdit()->insert(Text);
    return true;
}

bool TPOP3Main::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Event->type() == QEvent::KeyPress) {
        auto* Key = static_cast<QKeyEvent*>(Event);
        // Data nobody asked for streams in between reads: Escape stops it as
        // it stops a wait.
        if (Key->key() == Qt::Key_Escape && !FConversation->Busy() && FConversation->ReceivingUnasked()) {
            AskToStopUnasked();
            return true;
        }
        if (Watched == HostCombo || Watched == HostCombo->lineEdit() || Watched == Command
            || Watched == Command->lineEdit())
            return EditKeyPress(Key);
        if (Watched == Log)
            return LogKeyDown(Key);
    }
    if (Event->type() == QEvent::StatusTip && Watched != this && Watched == FAbout) {
        ShowApplicationHint(static_cast<QStatusTipEvent*>(Event)->tip());
        return false;
    }
    if (Watched == StatusPic && Event->type() == QEvent::MouseButtonRelease) {
        MenuAboutClick();
        return true;
    }
    return QMainWindow::eventFilter(Watched, Event);
}

// Asked during a wait: a reply that is cut off cannot be resumed, so a stop
// ends the connection; what arrived so far stays in the log.
bool TPOP3Main::AskToStop()
{
    if (!FConversation->Busy())
        return false;
    const bool Stop
        = ConfirmStop(QStringLiteral("Brieflotse wartet noch auf den Server. Wenn Sie jetzt abbrechen, wird "
                                     "die Verbindung getrennt, denn ein unterbrochener Austausch läßt "
                                     "sich nicht fortsetzen."));
    if (Stop)
        FConversation->Stop();
    return Stop;
}

void TPOP3Main::AskToStopUnasked()
{
    if (ConfirmStop(QStringLiteral("Der Server sendet Daten, um die niemand gebeten hat. Wenn Sie jetzt abbrechen, "
                                   "wird die Verbindung getrennt.")))
        FConversation->StopUnasked();
}

bool TPOP3Main::ConfirmStop(const QString& Why)
{
    return TMessageBox::AskYesNo(this, QStringLiteral("Brieflotse - Abbrechen"),
        Why + QStringLiteral(" Was bisher angekommen ist, bleibt im Protokoll.\n\nJetzt abbrechen und trennen?"));
}

void TPOP3Main::closeEvent(QCloseEvent* Event)
{
    if (FConversation->Busy()) {
        // Closing during a wait stops it first; the window closes once the
        // action has ended.
        Event->ignore();
        FCloseWhenIdle = AskToStop();
        return;
    }
    if (!FConversation->FormCloseQuery()) {
        Event->ignore();
        return;
    }
    try {
        SaveSettings();
    } catch (const TSettingsError& Error) {
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Einstellungen"), Error.Message());
    }
    // Settings that could not be written are reported; the program still ends.
    const QString Problem = FSettings.TakeWriteProblem();
    if (!Problem.isEmpty())
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Einstellungen"), Problem);
    Event->accept();
}
