#include "dialogs/BrieflotseLookup.h"

#include "dialogs/BrieflotseEdit.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "resources/Resources.h"
#include "settings/SettingsKey.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace LookupRules {

TStepView ViewOf(int Step, int ServerCount, bool NameEmpty)
{
    TStepView View;
    if (Step == 1) {
        View.Page = TPage::Welcome;
        View.BackEnabled = false;
        View.NextEnabled = !NameEmpty;
        View.Focus = TFocus::NameEdit;
    } else if (ServerCount < 0) {
        View.Page = TPage::Error;
        View.BackEnabled = true;
        View.NextEnabled = false;
        View.Focus = TFocus::BackButton;
    } else if (ServerCount == 0) {
        View.Page = TPage::NoMX;
        View.BackEnabled = true;
        View.NextEnabled = true;
        View.Focus = TFocus::NextButton;
    } else {
        View.Page = TPage::Select;
        View.BackEnabled = true;
        View.NextEnabled = true;
        View.Focus = TFocus::MXHosts;
    }
    View.NextCaption = Step == 2 ? QStringLiteral("&Verbinden") : QStringLiteral("&Weiter >");
    View.NextIsDefault = View.NextEnabled;
    View.BackIsDefault = !View.NextEnabled && View.BackEnabled;
    return View;
}

TStepView SelectionView(bool RowSelected)
{
    TStepView View = ViewOf(2, 1, false);
    View.NextEnabled = RowSelected;
    View.NextIsDefault = RowSelected;
    View.BackIsDefault = !RowSelected;
    return View;
}

QString Title(int Step)
{
    return QStringLiteral("Brieflotse - Mail-Server suchen (Schritt %1 von 2)").arg(Step);
}

QString ErrorText(int32_t Code, const std::string& Description)
{
    // Peers that are no name server: said plainly, no code.
    if (Code == TSmartNSLookup::ErrorClosed)
        return QStringLiteral("Der Name-Server hat die Verbindung beendet, ohne vollständig zu antworten. Unter "
                              "dieser Adresse beantwortet vermutlich kein Name-Server Anfragen über TCP.");
    if (Code == TSmartNSLookup::ErrorNotDNS)
        return QStringLiteral("Die Gegenstelle hat nicht mit DNS geantwortet (vielleicht ein Web- oder "
                              "Mail-Server). Unter dieser Adresse läuft vermutlich kein Name-Server.");
    return QString::number(Code) + QStringLiteral(" - ") + QString::fromStdString(Description);
}

QString NameProblem(const QString& Name)
{
    const QString Start = QStringLiteral("Der Domain-Name „%1“ ist ungültig: ").arg(Name);
    switch (CheckName(Name.toStdString())) {
    case TSmartNSNameFault::None:
        return QString();
    case TSmartNSNameFault::EmptyLabel:
        return Start + QStringLiteral("er enthält einen leeren Namensteil.");
    case TSmartNSNameFault::LongLabel:
        return Start + QStringLiteral("ein Namensteil ist länger als 63 Zeichen.");
    case TSmartNSNameFault::LongName:
        return Start + QStringLiteral("er ist länger als 253 Zeichen.");
    }
    return QString();
}

bool IsHostName(const std::string& Name)
{
    if (Name.empty())
        return false;
    for (const char Char : Name) {
        const auto Byte = static_cast<unsigned char>(Char);
        if (Byte <= ' ' || Byte > '~' || Byte == ':')
            return false;
    }
    return true;
}

namespace {

    // Every hidden byte spelled out, so an odd name looks as odd as it is.
    QString Spelled(const std::string& Name)
    {
        QString Shown;
        for (const char Char : Name) {
            const auto Byte = static_cast<unsigned char>(Char);
            if (Byte < ' ' || Byte > '~')
                Shown += QStringLiteral("\\x") + QString::number(Byte, 16).rightJustified(2, '0').toUpper();
            else
                Shown += QChar(Byte);
        }
        return Shown;
    }

    QString Latin1(const std::string& Name)
    {
        // Host names are bytes on the wire; Latin-1 shows every one of them.
        return QString::fromLatin1(Name.data(), static_cast<int>(Name.size()));
    }

    const QString InvalidHostHint
        = QStringLiteral("Kein gültiger Host-Name (Doppelpunkt, Leer- oder Steuerzeichen): kann nicht gewählt werden.");

    // Unreadable records sort behind every real priority.
    constexpr uint32_t Unreadable = 0x10000;

    void SortRows(std::vector<TServerRow>& Rows)
    {
        std::stable_sort(Rows.begin(), Rows.end(), [](const TServerRow& Left, const TServerRow& Right) {
            return Left.Order != Right.Order ? Left.Order < Right.Order : Left.Weight > Right.Weight;
        });
    }

} // namespace

std::vector<TServerRow> SRVRows(const TSmartNSRecords& Answers, bool Tls)
{
    const QString Kind = Tls ? QStringLiteral("SRV, TLS") : QStringLiteral("SRV");
    std::vector<TServerRow> Rows;
    for (int Index = 0; Index < Answers.Count(); ++Index) {
        const TSmartNSRecord& Record = Answers.Items(Index);
        if (Record.RRType != "SRV")
            continue;
        TSmartNSSRV SRV;
        TServerRow Row;
        Row.Kind = Kind;
        Row.Selectable = false;
        if (!Record.Data.GetSRV(SRV)) {
            Row.Server = QStringLiteral("(SRV-Daten unlesbar)");
            Row.Hint = QStringLiteral("Die Antwort enthält einen SRV-Eintrag, der nicht gelesen werden kann.");
            Row.Order = Unreadable;
            Rows.push_back(Row);
            continue;
        }
        Row.Priority = QString::number(SRV.Priority);
        Row.Order = SRV.Priority;
        Row.Weight = SRV.Weight;
        if (SRV.Target.empty()) {
            Row.Server = QStringLiteral("(Dienst nicht angeboten)");
            Row.Hint = QStringLiteral("SRV-Eintrag mit dem Ziel „.“: Laut Name-Server bietet diese Domain %1 "
                                      "ausdrücklich nicht an.")
                           .arg(Tls ? QStringLiteral("POP3 mit TLS") : QStringLiteral("POP3"));
        } else if (!IsHostName(SRV.Target)) {
            Row.Server = Spelled(SRV.Target) + QStringLiteral(" (ungültig)");
            Row.Port = QString::number(SRV.Port);
            Row.Hint = InvalidHostHint;
        } else if (SRV.Port == 0) {
            Row.Server = Latin1(SRV.Target);
            Row.Port = QStringLiteral("0");
            Row.Hint = QStringLiteral("Port 0 ist kein gültiger Port: kann nicht gewählt werden.");
        } else {
            Row.Server = Latin1(SRV.Target);
            Row.Port = QString::number(SRV.Port);
            Row.Selectable = true;
            const QString Service
                = Tls ? QStringLiteral("_pop3s._tcp (TLS ab dem ersten Byte)") : QStringLiteral("_pop3._tcp");
            Row.Hint = QStringLiteral("SRV-Eintrag %1: Priorität %2, Gewicht %3.")
                           .arg(Service)
                           .arg(SRV.Priority)
                           .arg(SRV.Weight);
            Row.HandOver = (Tls ? QStringLiteral("pop3s://") : QString()) + Row.Server + QLatin1Char(':') + Row.Port;
        }
        Rows.push_back(Row);
    }
    SortRows(Rows);
    return Rows;
}

std::vector<TServerRow> MXRows(const TSmartNSRecords& Answers)
{
    std::vector<TServerRow> Rows;
    for (int Index = 0; Index < Answers.Count(); ++Index) {
        const TSmartNSRecord& Record = Answers.Items(Index);
        if (Record.RRType != "MX")
            continue;
        TSmartNSMX MX;
        TServerRow Row;
        Row.Kind = QStringLiteral("MX");
        Row.Selectable = false;
        if (!Record.Data.GetMX(MX)) {
            Row.Server = QStringLiteral("(MX-Daten unlesbar)");
            Row.Hint = QStringLiteral("Die Antwort enthält einen MX-Eintrag, der nicht gelesen werden kann.");
            Row.Order = Unreadable;
            Rows.push_back(Row);
            continue;
        }
        Row.Priority = QString::number(MX.Preference);
        Row.Order = MX.Preference;
        if (MX.Exchange.empty()) {
            Row.Server = QStringLiteral("(empfängt keine E-Mail)");
            Row.Hint = QStringLiteral("Null-MX: Laut Name-Server nimmt diese Domain keine E-Mail an.");
        } else if (!IsHostName(MX.Exchange)) {
            Row.Server = Spelled(MX.Exchange) + QStringLiteral(" (ungültig)");
            Row.Hint = InvalidHostHint;
        } else {
            Row.Server = Latin1(MX.Exchange);
            Row.Selectable = true;
            Row.Hint = QStringLiteral("MX-Eintrag: Dieser Server nimmt E-Mail für die Domain an. Ob er auch POP3 "
                                      "anbietet, ist nicht sicher.");
            Row.HandOver = Row.Server;
        }
        Rows.push_back(Row);
    }
    SortRows(Rows);
    return Rows;
}

std::vector<TServerRow> ServerList(
    const std::vector<TServerRow>& POP3S, const std::vector<TServerRow>& POP3, const std::vector<TServerRow>& MX)
{
    std::vector<TServerRow> Rows = POP3S;
    Rows.insert(Rows.end(), POP3.begin(), POP3.end());
    // Priorities count across both services; stable, so _pop3s wins a tie.
    SortRows(Rows);
    Rows.insert(Rows.end(), MX.begin(), MX.end());
    return Rows;
}

QString NameServerText(const std::string& Host, const std::string& Port)
{
    const QString ShownPort = Port == "domain" ? QStringLiteral("53") : QString::fromStdString(Port);
    return QStringLiteral("Gefragter Name-Server: %1, Port %2").arg(QString::fromStdString(Host), ShownPort);
}

bool IsAnswerCode(int32_t Code)
{
    return Code >= 1 && Code <= 15;
}

} // namespace LookupRules

namespace {

QLabel* Heading(const QString& Text, QWidget* Parent)
{
    auto* Label = new QLabel(Text, Parent);
    QFont Font = Label->font();
    Font.setBold(true);
    Font.setPixelSize(16);
    Label->setFont(Font);
    QPalette Palette = Label->palette();
    Palette.setColor(QPalette::WindowText, Qt::black);
    Label->setPalette(Palette);
    return Label;
}

QLabel* Text(const QString& Text, QWidget* Parent, bool Wrap = true)
{
    auto* Label = new QLabel(Text, Parent);
    Label->setWordWrap(Wrap);
    Label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return Label;
}

// A list whose wanted height is its least one, not Qt's default of 192
// pixels, which would make every page of the wizard taller.
class TServerList : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;
    QSize sizeHint() const override { return { QTreeWidget::sizeHint().width(), minimumHeight() }; }
};

QVBoxLayout* PageLayout(QWidget* Page)
{
    auto* Column = new QVBoxLayout(Page);
    Column->setContentsMargins(0, 0, 0, 0);
    Column->setSpacing(8);
    return Column;
}

} // namespace

const QString& TPOP3Lookup::SettingsKey = SettingsPaths::Assist;

TPOP3Lookup::TPOP3Lookup(TSettingsStore& Settings, QWidget* Parent)
    : QDialog(Parent,
        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::CustomizeWindowHint)
    , FSettings(Settings)
{
    setObjectName("POP3Lookup");
    FormCreate();
}

QWidget* TPOP3Lookup::BuildWelcomePage()
{
    auto* Page = new QWidget(FPages);
    Page->setObjectName("PanelWelcome");
    auto* Column = PageLayout(Page);
    Column->addWidget(Heading(QStringLiteral("1. Domain oder Host eingeben"), Page));
    Column->addWidget(Text(QStringLiteral("Dieser Assistent hilft Ihnen dabei, den Mail-Server ausfindig zu machen, "
                                          "der für den E-Mail-Verkehr einer bestimmten Domain oder eines bestimmten "
                                          "Hosts zuständig ist."),
        Page));
    Column->addWidget(Text(QStringLiteral("Bitte geben Sie den Namen der gewünschten Domain oder des gewünschten "
                                          "Hosts ein (z.B. \"example.com\"), und klicken Sie dann auf \"Weiter\"."),
        Page));
    FNameEdit = new QLineEdit(Page);
    FNameEdit->setObjectName("NameEdit");
    FNameEdit->setMaxLength(32);
    FNameEdit->setAccessibleName(QStringLiteral("Domain oder Host"));
    FNameEdit->setAccessibleDescription(QStringLiteral("Die Domain, deren Mail-Server gesucht werden"));
    FNameEdit->setValidator(new TKeyFilterValidator(FNameEdit));
    auto* Label = new QLabel(QStringLiteral("&Domain/Host:"), Page);
    Label->setBuddy(FNameEdit);
    auto* Row = new QHBoxLayout;
    Row->addWidget(Label);
    Row->addWidget(FNameEdit, 1);
    Column->addLayout(Row);
    // Empty until a search is stopped; its line is kept, so nothing moves.
    FStopNote = Text(QString(), Page);
    FStopNote->setObjectName("StopNote");
    FStopNote->setMinimumHeight(FStopNote->fontMetrics().lineSpacing());
    Column->addWidget(FStopNote);
    Column->addStretch(1);
    connect(FNameEdit, &QLineEdit::textChanged, this, &TPOP3Lookup::NameEditChange);
    return Page;
}

QWidget* TPOP3Lookup::BuildErrorPage()
{
    auto* Page = new QWidget(FPages);
    Page->setObjectName("PanelError");
    auto* Column = PageLayout(Page);
    Column->addWidget(Heading(QStringLiteral("2. TCP/IP- oder DNS-Fehler"), Page));
    Column->addWidget(Text(QStringLiteral("Es war nicht möglich, den für die gewählte Domain oder den gewählten Host "
                                          "zuständigen Mail-Server zu ermitteln. Entweder war der eingegebene Name "
                                          "ungültig, oder es ist ein TCP/IP-Fehler aufgetreten."),
        Page));
    Column->addWidget(Text(QStringLiteral("Fehlermeldung:"), Page, false));
    // Wraps: an invalid name is explained in a sentence, not only a code.
    FErrorLabel = Text(QString(), Page);
    FErrorLabel->setObjectName("ErrorLabel");
    QPalette Palette = FErrorLabel->palette();
    Palette.setColor(QPalette::WindowText, Qt::red);
    FErrorLabel->setPalette(Palette);
    FErrorLabel->setFixedWidth(281);
    Column->addWidget(FErrorLabel);
    FNameServerLabel = Text(QString(), Page);
    FNameServerLabel->setObjectName("NameServerLabel");
    Column->addWidget(FNameServerLabel);
    Column->addWidget(Text(QStringLiteral("Bitte klicken Sie auf \"Zurück\", um es erneut zu versuchen."), Page));
    Column->addStretch(1);
    return Page;
}

QWidget* TPOP3Lookup::BuildSelectPage()
{
    auto* Page = new QWidget(FPages);
    Page->setObjectName("PanelSelect");
    auto* Column = PageLayout(Page);
    Column->addWidget(Heading(QStringLiteral("2. Mail-Server selektieren"), Page));
    Column->addWidget(Text(QStringLiteral("Laut Name-Server bedienen die folgenden Server die gewählte Domain (den "
                                          "gewählten Host). SRV-Einträge nennen ihre POP3-Server samt Port („TLS“: "
                                          "verschlüsselt ab dem ersten Byte). MX-Einträge nennen die Server, die "
                                          "E-Mail für die Domain annehmen; ob sie auch POP3 anbieten, ist nicht "
                                          "sicher. Bitte wählen Sie einen Server, und klicken Sie dann auf "
                                          "\"Verbinden\"."),
        Page));
    FMXHosts = new TServerList(Page);
    FMXHosts->setObjectName("MXHosts");
    FMXHosts->setColumnCount(4);
    FMXHosts->setHeaderLabels(
        { QStringLiteral("Server"), QStringLiteral("Port"), QStringLiteral("Art"), QStringLiteral("Priorität") });
    for (const int Column : { 1, 3 })
        FMXHosts->headerItem()->setTextAlignment(Column, Qt::AlignRight | Qt::AlignVCenter);
    // Port, kind and priority as wide as their texts need at any font size;
    // the server name takes the rest.
    FMXHosts->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    FMXHosts->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    FMXHosts->header()->setStretchLastSection(false);
    FMXHosts->header()->setSectionsMovable(false);
    FMXHosts->setRootIsDecorated(false);
    FMXHosts->setItemsExpandable(false);
    FMXHosts->setSortingEnabled(false);
    FMXHosts->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FMXHosts->setSelectionMode(QAbstractItemView::SingleSelection);
    FMXHosts->setSelectionBehavior(QAbstractItemView::SelectRows);
    FMXHosts->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The list asks for its few lines only and takes whatever room the
    // tallest page leaves; the text above it keeps the height it needs.
    FMXHosts->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    FMXHosts->setMinimumHeight(FMXHosts->fontMetrics().lineSpacing() * 5);
    Column->addWidget(FMXHosts, 1);
    connect(FMXHosts, &QTreeWidget::itemSelectionChanged, this, &TPOP3Lookup::MXHostsChange);
    connect(FMXHosts->model(), &QAbstractItemModel::rowsInserted, this, &TPOP3Lookup::MXHostsChange);
    connect(FMXHosts->model(), &QAbstractItemModel::rowsRemoved, this, &TPOP3Lookup::MXHostsChange);
    return Page;
}

QWidget* TPOP3Lookup::BuildNoMXPage()
{
    auto* Page = new QWidget(FPages);
    Page->setObjectName("PanelNoMX");
    auto* Column = PageLayout(Page);
    Column->addWidget(Heading(QStringLiteral("2. Mail-Server unbekannt"), Page));
    Column->addWidget(Text(QStringLiteral("Laut Name-Server gibt es keinen Mail-Server, der für die gewählte Domain "
                                          "(den gewählten Host) zuständig ist."),
        Page));
    Column->addWidget(Text(QStringLiteral("Es besteht jedoch die Möglichkeit, daß der von Ihnen eingegebene Name "
                                          "direkt einen Mail-Server bezeichnet. In diesem Fall klicken Sie bitte auf "
                                          "\"Verbinden\"."),
        Page));
    Column->addWidget(Text(QStringLiteral("Andernfalls klicken Sie bitte auf \"Zurück\", um die Suche nach Eingabe "
                                          "eines anderen Namens zu wiederholen."),
        Page));
    Column->addStretch(1);
    return Page;
}

void TPOP3Lookup::FormCreate()
{
    setWindowIcon(BrieflotseMainIcon());

    FIconDisplay = new QLabel(this);
    FIconDisplay->setObjectName("IconDisplay");
    FIconDisplay->setPixmap(QIcon(BrieflotsePictures::PicDns).pixmap(32, 32));
    FIconDisplay->setFixedSize(32, 32);

    FPages = new QStackedWidget(this);
    FPages->setObjectName("Pages");
    FPages->setMinimumSize(281, 153);
    FPages->setFixedWidth(281);
    FPanelWelcome = BuildWelcomePage();
    FPanelError = BuildErrorPage();
    FPanelSelect = BuildSelectPage();
    FPanelNoMX = BuildNoMXPage();
    for (QWidget* Page : { FPanelWelcome, FPanelError, FPanelSelect, FPanelNoMX })
        FPages->addWidget(Page);

    auto* Line = new QFrame(this);
    Line->setObjectName("Line");
    Line->setFrameShape(QFrame::HLine);
    Line->setFrameShadow(QFrame::Sunken);

    FBackButton = new QPushButton(QStringLiteral("< &Zurück"), this);
    FBackButton->setObjectName("BackButton");
    FNextButton = new QPushButton(QStringLiteral("&Weiter >"), this);
    FNextButton->setObjectName("NextButton");
    FCancelButton = new QPushButton(QStringLiteral("Abbrechen"), this);
    FCancelButton->setObjectName("CancelButton");
    FBackButton->setAccessibleDescription(QStringLiteral("Geht einen Schritt zurück"));
    FNextButton->setAccessibleDescription(QStringLiteral("Geht zum nächsten Schritt"));
    FCancelButton->setAccessibleDescription(QStringLiteral("Schließt den Assistenten"));
    // Only ShowStep chooses the default button; focus must not move it.
    for (QPushButton* Button : { FBackButton, FNextButton, FCancelButton }) {
        Button->setAutoDefault(false);
        Button->setMinimumSize(73, 23);
    }
    connect(FBackButton, &QPushButton::clicked, this, &TPOP3Lookup::BackButtonClick);
    connect(FNextButton, &QPushButton::clicked, this, &TPOP3Lookup::NextButtonClick);
    connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);

    // Icon at the left, the page beside it; the line and the buttons below,
    // "Zurück" and "Weiter" side by side, "Abbrechen" a little apart.
    auto* Buttons = new QHBoxLayout;
    Buttons->setSpacing(0);
    Buttons->addStretch(1);
    Buttons->addWidget(FBackButton);
    Buttons->addWidget(FNextButton);
    Buttons->addSpacing(15);
    Buttons->addWidget(FCancelButton);

    auto* Grid = new QGridLayout(this);
    Grid->setContentsMargins(8, 8, 8, 8);
    Grid->setHorizontalSpacing(0);
    Grid->setVerticalSpacing(8);
    auto* IconColumn = new QVBoxLayout;
    IconColumn->setContentsMargins(8, 8, 24, 0);
    IconColumn->addWidget(FIconDisplay);
    IconColumn->addStretch(1);
    Grid->addLayout(IconColumn, 0, 0);
    Grid->addWidget(FPages, 0, 1);
    Grid->addWidget(Line, 1, 0, 1, 2);
    Grid->addLayout(Buttons, 2, 0, 1, 2);
    Grid->setSizeConstraint(QLayout::SetFixedSize);

    ReadDomain();
    if (FNSLookup.TargetHost().empty())
        FNSLookup.SetTargetHost(LookupRules::FallbackNameServer);
    // The query runs inside the button handler. Every event is handled here,
    // so the window paints and a stop gets through; the guard drops any other
    // input, so none of it waits to act after the search.
    FWaitGuard = std::make_unique<TWaitInputGuard>(FCancelButton, [this] { Stop(); });
    FNSLookup.OnWaiting = [this] {
        FWaitGuard->ProcessEvents();
        if (FStopRequested)
            FNSLookup.Cancel();
    };
}

void TPOP3Lookup::ReadDomain()
{
    try {
        TSettingsKey Key(FSettings, SettingsKey);
        if (Key.IsOpen() && FSettings.ValueExists("Domain"))
            FNameEdit->setText(FSettings.ReadString("Domain"));
    } catch (const TSettingsError& Error) {
        FNameEdit->clear();
        TMessageBox::Error(parentWidget(), QStringLiteral("Brieflotse - Einstellungen"), Error.Message());
    }
}

void TPOP3Lookup::FormClose()
{
    TSettingsKey Key(FSettings, SettingsKey);
    if (!Key.IsOpen())
        return;
    FSettings.WriteString("Domain", FNameEdit->text());
    if (!Key.Close())
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Einstellungen"), FSettings.TakeWriteProblem());
}

void TPOP3Lookup::done(int Result)
{
    FormClose();
    QDialog::done(Result);
}

void TPOP3Lookup::reject()
{
    if (FQuerying) {
        Stop();
        return;
    }
    QDialog::reject();
}

void TPOP3Lookup::closeEvent(QCloseEvent* Event)
{
    if (FQuerying) {
        FCloseAfterStop = true;
        Stop();
        Event->ignore();
        return;
    }
    QDialog::closeEvent(Event);
}

void TPOP3Lookup::Stop()
{
    if (FQuerying)
        FStopRequested = true;
}

void TPOP3Lookup::Prepare(QWidget* MainWindow)
{
    FServerName.clear();
    FStopNote->clear();
    FStep = 1;
    FServerCount = -1;
    ShowStep();
    DialogPlacement::CentreOver(this, MainWindow);
    FNameEdit->setFocus();
    NameEditChange();
}

bool TPOP3Lookup::Execute(QWidget* MainWindow)
{
    Prepare(MainWindow);
    return exec() == QDialog::Accepted;
}

void TPOP3Lookup::ShowStep()
{
    setWindowTitle(LookupRules::Title(FStep));
    ApplyView(LookupRules::ViewOf(FStep, FServerCount, FNameEdit->text().isEmpty()), true);
    // A list with no row to choose leaves nothing selected: "Verbinden" follows.
    MXHostsChange();
}

void TPOP3Lookup::ApplyView(const LookupRules::TStepView& View, bool MoveFocus)
{
    using LookupRules::TPage;
    switch (View.Page) {
    case TPage::Welcome:
        FPages->setCurrentWidget(FPanelWelcome);
        break;
    case TPage::Error:
        FPages->setCurrentWidget(FPanelError);
        break;
    case TPage::NoMX:
        FPages->setCurrentWidget(FPanelNoMX);
        break;
    case TPage::Select:
        FPages->setCurrentWidget(FPanelSelect);
        break;
    }
    FBackButton->setEnabled(View.BackEnabled);
    FNextButton->setEnabled(View.NextEnabled);
    FNextButton->setText(View.NextCaption);
    FBackButton->setDefault(View.BackIsDefault);
    FNextButton->setDefault(View.NextIsDefault);
    if (!MoveFocus)
        return;
    switch (View.Focus) {
    case LookupRules::TFocus::NameEdit:
        FNameEdit->setFocus();
        break;
    case LookupRules::TFocus::BackButton:
        FBackButton->setFocus();
        break;
    case LookupRules::TFocus::NextButton:
        FNextButton->setFocus();
        break;
    case LookupRules::TFocus::MXHosts:
        FMXHosts->setFocus();
        // The first row that can be chosen; rows that only inform are skipped.
        for (int Index = 0; Index < FMXHosts->topLevelItemCount(); ++Index) {
            QTreeWidgetItem* Item = FMXHosts->topLevelItem(Index);
            if (Item->flags() & Qt::ItemIsSelectable) {
                FMXHosts->setCurrentItem(Item);
                Item->setSelected(true);
                break;
            }
        }
        break;
    }
}

void TPOP3Lookup::NameEditChange()
{
    if (FStep != 1)
        return;
    ApplyView(LookupRules::ViewOf(1, FServerCount, FNameEdit->text().isEmpty()), false);
}

void TPOP3Lookup::MXHostsChange()
{
    if (FStep != 2 || FServerCount <= 0)
        return;
    ApplyView(LookupRules::SelectionView(!FMXHosts->selectedItems().isEmpty()), false);
}

bool TPOP3Lookup::Ask(const std::string& Name, const char* Type)
{
    FNSLookup.Reset(true);
    FNSLookup.Header().SetRD(true);
    FNSLookup.Question().SetQName(Name);
    FNSLookup.Question().SetQType(Type);
    FNSLookup.Question().SetQClass("IN");
    FNSLookup.SetTimeout(FTimeout);
    return FNSLookup.Lookup();
}

bool TPOP3Lookup::RunQuery()
{
    const QString Problem = LookupRules::NameProblem(FNameEdit->text());
    if (!Problem.isEmpty()) {
        FErrorLabel->setText(Problem);
        FNameServerLabel->hide();
        FServerCount = -1;
        return true;
    }
    // Until the end of the search, whichever way it ends.
    struct TSearching {
        TPOP3Lookup& Finder;
        explicit TSearching(TPOP3Lookup& Owner)
            : Finder(Owner)
        {
            Finder.FQuerying = true;
            Finder.FStopRequested = false;
            Finder.FCloseAfterStop = false;
            // The busy arrow: the wizard still takes a stop.
            QApplication::setOverrideCursor(Qt::BusyCursor);
        }
        ~TSearching()
        {
            QApplication::restoreOverrideCursor();
            Finder.FQuerying = false;
        }
    } Searching(*this);

    const std::string Domain = FNameEdit->text().toStdString();
    std::string Origin;
    int32_t Code = 0;
    std::string Description;
    std::vector<LookupRules::TServerRow> Found[2];
    const struct {
        const char* Prefix;
        bool Tls;
    } Services[] = { { "_pop3s._tcp.", true }, { "_pop3._tcp.", false } };
    for (size_t Index = 0; Index < 2; ++Index) {
        const std::string Name = Services[Index].Prefix + Domain;
        if (CheckName(Name) != TSmartNSNameFault::None)
            continue;
        const bool Answered = Ask(Name, "SRV");
        if (FStopRequested)
            return false;
        if (Answered) {
            Found[Index] = LookupRules::SRVRows(FNSLookup.Answers(), Services[Index].Tls);
            continue;
        }
        FNSLookup.GetErrorInfo(Origin, Code, Description);
        // The name server answered that there is no such service: ask on.
        // Anything else (no connection, no DNS) would only repeat itself.
        if (!LookupRules::IsAnswerCode(Code))
            break;
        Code = 0;
    }
    std::vector<LookupRules::TServerRow> MX;
    if (Code == 0) {
        const bool Answered = Ask(Domain, "MX");
        if (FStopRequested)
            return false;
        if (Answered)
            MX = LookupRules::MXRows(FNSLookup.Answers());
        else
            FNSLookup.GetErrorInfo(Origin, Code, Description);
    }

    const auto Rows = LookupRules::ServerList(Found[0], Found[1], MX);
    if (Rows.empty() && Code != 0) {
        FErrorLabel->setText(LookupRules::ErrorText(Code, Description));
        FNameServerLabel->setText(LookupRules::NameServerText(FNSLookup.TargetHost(), FNSLookup.TargetPort()));
        FNameServerLabel->show();
        FServerCount = -1;
        return true;
    }
    for (const auto& Row : Rows) {
        auto* Item = new QTreeWidgetItem({ Row.Server, Row.Port, Row.Kind, Row.Priority });
        for (const int Column : { 1, 3 })
            Item->setTextAlignment(Column, Qt::AlignRight | Qt::AlignVCenter);
        Item->setData(0, Qt::UserRole, Row.HandOver);
        for (int Column = 0; Column < 4; ++Column)
            Item->setToolTip(Column, Row.Hint);
        if (!Row.Selectable)
            Item->setFlags(Qt::NoItemFlags);
        FMXHosts->addTopLevelItem(Item);
    }
    FServerCount = FMXHosts->topLevelItemCount();
    return true;
}

void TPOP3Lookup::NextButtonClick()
{
    if (!FNextButton->isEnabled() || FQuerying)
        return;
    if (FStep == 1) {
        FStopNote->clear();
        FMXHosts->clear();
        if (!RunQuery()) {
            // Stopped by the user: no error to show, the name ready for another try.
            FServerCount = -1;
            FStopNote->setText(QStringLiteral("Die Suche wurde abgebrochen."));
            ShowStep();
            if (FCloseAfterStop)
                reject();
            return;
        }
        FStep = 2;
        ShowStep();
        return;
    }
    if (FServerCount == 0) {
        FServerName = FNameEdit->text();
    } else {
        const QList<QTreeWidgetItem*> Selected = FMXHosts->selectedItems();
        if (Selected.isEmpty() || !(Selected.first()->flags() & Qt::ItemIsSelectable))
            return;
        FServerName = Selected.first()->data(0, Qt::UserRole).toString();
    }
    accept();
}

void TPOP3Lookup::BackButtonClick()
{
    if (FStep <= 1)
        return;
    --FStep;
    ShowStep();
}
