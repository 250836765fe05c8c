#include "dialogs/BrieflotseLookup.h"

#include "dialogs/BrieflotseEdit.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "discovery/AddressFinder.h"
#include "resources/Resources.h"
#include "settings/SettingsKey.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
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
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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

QString SearchingTitle()
{
    return QStringLiteral("Brieflotse - Mail-Server suchen (Schritt 2 von 2, Suche läuft)");
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
            Row.Sources = QStringLiteral("srv");
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
        Row.Sources = QStringLiteral("MX-Einträge (SMTP, kein POP3)");
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
            Row.Hint = QStringLiteral("MX-Einträge (SMTP, kein POP3): Dieser Server nimmt E-Mail für die Domain an. "
                                      "Ob er auch POP3 anbietet, ist nicht sicher.");
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

TServerRow CandidateRow(const TCandidate& Candidate)
{
    auto Joined = [](const std::vector<std::string>& Items, const char* Between) {
        QString Out;
        for (const std::string& Item : Items)
            Out += (Out.isEmpty() ? QString() : QString::fromUtf8(Between)) + QString::fromStdString(Item);
        return Out;
    };
    TServerRow Row;
    Row.Server = QString::fromStdString(Candidate.Host);
    Row.Port = QString::number(Candidate.Port);
    Row.Kind = QString::fromUtf8(SocketLabel(Candidate.Socket));
    Row.Username = QString::fromStdString(Candidate.Username);
    Row.Methods = Joined(Candidate.Authentication, ", ");
    Row.Sources = Joined(Candidate.Sources, ", ");
    Row.Notes = Joined(Candidate.Notes, "; ");
    Row.ProviderUrl = QString::fromStdString(Candidate.ProviderUrl);
    Row.HandOver = (Candidate.Socket == TSocketKind::Ssl ? QStringLiteral("pop3s://") : QString()) + Row.Server
        + QLatin1Char(':') + Row.Port;
    Row.StlsFirst = Candidate.Socket == TSocketKind::StartTls;
    Row.Hint = QStringLiteral("Genannt von: %1.").arg(Row.Sources)
        + (Row.Notes.isEmpty() ? QString() : QStringLiteral(" ") + Row.Notes);
    return Row;
}

std::vector<TServerRow> ResultList(const std::vector<TServerRow>& POP3S, const std::vector<TServerRow>& POP3,
    const std::vector<TCandidate>& Candidates, const std::vector<TServerRow>& MX)
{
    std::vector<TServerRow> Rows = ServerList(POP3S, POP3, {});
    for (const TCandidate& Candidate : Candidates)
        if (Candidate.Sources != std::vector<std::string> { "srv" })
            Rows.push_back(CandidateRow(Candidate));
    Rows.insert(Rows.end(), MX.begin(), MX.end());
    return Rows;
}

QString SourceResultText(TSourceResult Result)
{
    switch (Result) {
    case TSourceResult::Found:
        return QStringLiteral("gefunden");
    case TSourceResult::None:
        return QStringLiteral("nichts");
    case TSourceResult::Error:
        return QStringLiteral("Fehler");
    }
    return QString();
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

constexpr int kPageWidth = 440;

// A list whose wanted height is its least one, not Qt's default of 192
// pixels, which would make every page of the wizard taller.
class TServerList : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;
    QSize sizeHint() const override { return { QTreeWidget::sizeHint().width(), minimumHeight() }; }
};

// A list of rows to read and choose one of: every column as wide as its texts
// need at any font size, long ones scrolled sideways; it asks for Lines lines
// only and takes whatever room the tallest page leaves, so the text above it
// keeps the height it needs.
QTreeWidget* NewList(
    QWidget* Page, const char* Name, const QStringList& Headers, std::initializer_list<int> RightAligned, int Lines)
{
    auto* List = new TServerList(Page);
    List->setObjectName(Name);
    List->setColumnCount(static_cast<int>(Headers.size()));
    List->setHeaderLabels(Headers);
    for (const int Column : RightAligned)
        List->headerItem()->setTextAlignment(Column, Qt::AlignRight | Qt::AlignVCenter);
    List->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    List->header()->setStretchLastSection(false);
    List->header()->setSectionsMovable(false);
    List->setRootIsDecorated(false);
    List->setItemsExpandable(false);
    List->setSortingEnabled(false);
    List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->setSelectionBehavior(QAbstractItemView::SelectRows);
    List->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    List->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    List->setMinimumHeight(List->fontMetrics().lineSpacing() * Lines);
    return List;
}

QVBoxLayout* PageLayout(QWidget* Page)
{
    auto* Column = new QVBoxLayout(Page);
    Column->setContentsMargins(0, 0, 0, 0);
    Column->setSpacing(8);
    return Column;
}

} // namespace

const QString& TPOP3Lookup::SettingsKey = SettingsPaths::Assist;
const QString& TPOP3Lookup::FinderSettingsKey = SettingsPaths::Finder;

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
    Column->addWidget(Heading(QStringLiteral("1. Adresse oder Domain eingeben"), Page));
    Column->addWidget(Text(QStringLiteral("Dieser Assistent hilft Ihnen dabei, den POP3-Server ausfindig zu machen, "
                                          "der für eine E-Mail-Adresse, eine Domain oder einen Host zuständig ist. "
                                          "Er fragt alle Quellen zugleich und zeigt, was jede geantwortet hat."),
        Page));
    Column->addWidget(Text(QStringLiteral("Bitte geben Sie eine E-Mail-Adresse (z.B. \"anna@example.com\") oder "
                                          "eine Domain (z.B. \"example.com\") ein, und klicken Sie dann auf "
                                          "\"Weiter\"."),
        Page));
    FNameEdit = new QLineEdit(Page);
    FNameEdit->setObjectName("NameEdit");
    // An address: up to 64 bytes before the "@", a domain of up to 253 after it.
    FNameEdit->setMaxLength(318);
    FNameEdit->setAccessibleName(QStringLiteral("Adresse oder Domain"));
    FNameEdit->setAccessibleDescription(
        QStringLiteral("Die E-Mail-Adresse oder Domain, deren POP3-Server gesucht werden"));
    FNameEdit->setValidator(new TKeyFilterValidator(FNameEdit));
    auto* Label = new QLabel(QStringLiteral("&Adresse/Domain:"), Page);
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
    FErrorLabel->setFixedWidth(kPageWidth);
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
    Column->addWidget(Text(QStringLiteral("Diese Server wurden gefunden („TLS“: verschlüsselt ab dem ersten Byte, "
                                          "„STLS“: zuerst STLS senden). MX-Einträge nennen die SMTP-Server der "
                                          "Domain; ob sie auch POP3 anbieten, ist nicht sicher. Bitte wählen Sie "
                                          "einen Server, und klicken Sie dann auf \"Verbinden\"."),
        Page));
    FMXHosts = NewList(Page, "MXHosts",
        { QStringLiteral("Server"), QStringLiteral("Port"), QStringLiteral("Art"), QStringLiteral("Priorität"),
            QStringLiteral("Benutzername"), QStringLiteral("Anmeldung"), QStringLiteral("Quellen"),
            QStringLiteral("Hinweise") },
        { 1, 3 }, 7);
    Column->addWidget(FMXHosts, 1);
    // The chosen row whole: its notes and the provider's page as a link.
    FDetails = Text(QString(), Page);
    FDetails->setObjectName("ServerDetails");
    FDetails->setMinimumHeight(FDetails->fontMetrics().lineSpacing() * 3);
    FDetails->setTextFormat(Qt::RichText);
    FDetails->setOpenExternalLinks(true);
    FDetails->setTextInteractionFlags(Qt::TextBrowserInteraction);
    Column->addWidget(FDetails);
    connect(FMXHosts, &QTreeWidget::itemSelectionChanged, this, &TPOP3Lookup::MXHostsChange);
    connect(FMXHosts, &QTreeWidget::itemSelectionChanged, this, &TPOP3Lookup::ShowDetails);
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

QWidget* TPOP3Lookup::BuildSourcesPage()
{
    auto* Page = new QWidget(FPages);
    Page->setObjectName("PanelSources");
    auto* Column = PageLayout(Page);
    Column->addWidget(Heading(QStringLiteral("2. Quellen"), Page));
    Column->addWidget(Text(QStringLiteral("Alle Quellen werden zugleich gefragt; jede Zeile erscheint, sobald ihre "
                                          "Antwort da ist: was gefragt wurde, die Antwort und die Zeit. Die "
                                          "Einzelheiten stehen in der letzten Spalte und im Tooltip."),
        Page));
    FSourceRows = NewList(Page, "SourceRows",
        { QStringLiteral("Quelle"), QStringLiteral("Ergebnis"), QStringLiteral("ms"), QStringLiteral("Gefragt"),
            QStringLiteral("Antwort") },
        { 2 }, 9);
    Column->addWidget(FSourceRows, 1);
    return Page;
}

void TPOP3Lookup::AddSourceRow(const TSourceRow& Row)
{
    auto* Item = new QTreeWidgetItem({ QString::fromStdString(Row.Source), LookupRules::SourceResultText(Row.Result),
        QString::number(Row.Ms), QString::fromStdString(Row.Asked), QString::fromStdString(Row.Detail) });
    Item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    for (int Column = 0; Column < 5; ++Column)
        Item->setToolTip(Column, QString::fromStdString(Row.Detail));
    if (Row.Result == TSourceResult::Error)
        Item->setForeground(1, Qt::red);
    FSourceRows->addTopLevelItem(Item);
    FSourceRows->scrollToItem(Item);
}

void TPOP3Lookup::ShowDetails()
{
    const QList<QTreeWidgetItem*> Selected = FMXHosts->selectedItems();
    if (Selected.isEmpty()) {
        FDetails->clear();
        return;
    }
    const QTreeWidgetItem* Item = Selected.first();
    QString Html = Item->toolTip(0).toHtmlEscaped();
    const QString Url = Item->data(0, Qt::UserRole + 2).toString();
    if (!Url.isEmpty())
        Html += QStringLiteral("<br>Anbieter-Seite: <a href=\"%1\">%2</a>")
                    .arg(Url.toHtmlEscaped(), Url.toHtmlEscaped());
    FDetails->setText(Html);
}

void TPOP3Lookup::SourcesButtonClick()
{
    if (FStep != 2 || FQuerying)
        return;
    FShowSources = !FShowSources;
    ShowStep();
}

std::string TPOP3Lookup::ProviderDatabase()
{
    try {
        if (!FSettings.OpenKey(FinderSettingsKey, false))
            return {};
        const QString Value
            = FSettings.ValueExists("ProviderDatabase") ? FSettings.ReadString("ProviderDatabase") : QString();
        FSettings.CloseKey();
        return Value.trimmed().toStdString();
    } catch (const TSettingsError&) {
        FSettings.CloseKey();
        return {};
    }
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
    // Wide enough for the rows of the sources and the servers.
    FPages->setMinimumSize(kPageWidth, 153);
    FPages->setFixedWidth(kPageWidth);
    FPanelWelcome = BuildWelcomePage();
    FPanelError = BuildErrorPage();
    FPanelSelect = BuildSelectPage();
    FPanelNoMX = BuildNoMXPage();
    FPanelSources = BuildSourcesPage();
    for (QWidget* Page : { FPanelWelcome, FPanelError, FPanelSelect, FPanelNoMX, FPanelSources })
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
    FSourcesButton = new QPushButton(QStringLiteral("&Quellen"), this);
    FSourcesButton->setObjectName("SourcesButton");
    FSourcesButton->setAccessibleDescription(QStringLiteral("Zeigt, was jede Quelle geantwortet hat"));
    FBackButton->setAccessibleDescription(QStringLiteral("Geht einen Schritt zurück"));
    FNextButton->setAccessibleDescription(QStringLiteral("Geht zum nächsten Schritt"));
    FCancelButton->setAccessibleDescription(QStringLiteral("Schließt den Assistenten"));
    // Only ShowStep chooses the default button; focus must not move it.
    for (QPushButton* Button : { FBackButton, FNextButton, FCancelButton, FSourcesButton }) {
        Button->setAutoDefault(false);
        Button->setMinimumSize(73, 23);
    }
    connect(FBackButton, &QPushButton::clicked, this, &TPOP3Lookup::BackButtonClick);
    connect(FNextButton, &QPushButton::clicked, this, &TPOP3Lookup::NextButtonClick);
    connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(FSourcesButton, &QPushButton::clicked, this, &TPOP3Lookup::SourcesButtonClick);

    // Icon at the left, the page beside it; the line and the buttons below,
    // "Zurück" and "Weiter" side by side, "Abbrechen" a little apart.
    auto* Buttons = new QHBoxLayout;
    Buttons->setSpacing(0);
    Buttons->addWidget(FSourcesButton);
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
    // The search runs on a worker thread while the button handler waits for
    // it. Every event is handled there, so the window paints, the rows come in
    // and a stop gets through; the guard drops any other input, so none of it
    // waits to act after the search.
    FWaitGuard = std::make_unique<TWaitInputGuard>(FCancelButton, [this] { Stop(); });
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
    FStlsFirst = false;
    FShowSources = false;
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
    const bool Sources = FStep == 2 && FShowSources;
    FSourcesButton->setEnabled(FStep == 2);
    FSourcesButton->setText(Sources ? QStringLiteral("&Server") : QStringLiteral("&Quellen"));
    if (Sources) {
        // The questions once more; "Server" goes back to the list.
        LookupRules::TStepView View = LookupRules::ViewOf(FStep, -1, false);
        View.Page = LookupRules::TPage::Sources;
        View.NextEnabled = false;
        ApplyView(View, false);
        FSourceRows->setFocus();
        return;
    }
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
    case TPage::Sources:
        FPages->setCurrentWidget(FPanelSources);
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
    if (FStep != 2 || FServerCount <= 0 || FShowSources)
        return;
    ApplyView(LookupRules::SelectionView(!FMXHosts->selectedItems().isEmpty()), false);
}

namespace {

// Between the finder's threads and the window: rows go to the window as
// queued calls; the DNS records are kept for the list, built on the thread
// that asked while its answer is still there.
class TWindowObserver : public TFinderObserver {
public:
    explicit TWindowObserver(TPOP3Lookup* Window, std::function<void(const TSourceRow&)> Add)
        : FWindow(Window)
        , FAdd(std::move(Add))
    {
    }

    void SourceDone(const TSourceRow& Row) override
    {
        QMetaObject::invokeMethod(
            FWindow, [Add = FAdd, Row] { Add(Row); }, Qt::QueuedConnection);
    }

    void DnsAnswered(const TDnsAnswer& Answer) override
    {
        std::lock_guard<std::mutex> Guard(FLock);
        const bool Mx = Answer.Type == "MX";
        if (Answer.Answered) {
            if (Mx)
                FMX = LookupRules::MXRows(Answer.Lookup->Answers());
            else
                FSRV[Answer.Tls ? 0 : 1] = LookupRules::SRVRows(Answer.Lookup->Answers(), Answer.Tls);
            return;
        }
        // An SRV query's "no such record" is no failure of the search; the MX query's is.
        if (FCode == 0 && (Mx || !LookupRules::IsAnswerCode(Answer.Code))) {
            FCode = Answer.Code;
            FDescription = Answer.Description;
        }
    }

    std::mutex FLock;
    std::vector<LookupRules::TServerRow> FSRV[2];
    std::vector<LookupRules::TServerRow> FMX;
    int32_t FCode = 0;
    std::string FDescription;

private:
    TPOP3Lookup* FWindow;
    std::function<void(const TSourceRow&)> FAdd;
};

} // namespace

bool TPOP3Lookup::RunQuery()
{
    const QString Typed = FNameEdit->text().trimmed();
    QString Problem = LookupRules::NameProblem(Typed.mid(Typed.lastIndexOf(QLatin1Char('@')) + 1));
    TFinderQuery Query;
    std::string Why;
    if (Problem.isEmpty() && !ParseFinderQuery(Typed.toStdString(), Query, Why))
        Problem = QString::fromStdString(Why);
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

    // The questions fill in while the search runs.
    FSourceRows->clear();
    setWindowTitle(LookupRules::SearchingTitle());
    LookupRules::TStepView View = LookupRules::ViewOf(2, -1, false);
    View.Page = LookupRules::TPage::Sources;
    View.BackEnabled = false;
    View.NextEnabled = false;
    View.BackIsDefault = false;
    ApplyView(View, false);
    FSourcesButton->setEnabled(false);
    FCancelButton->setFocus();

    FNSLookup.SetTimeout(FTimeout);
    TFinderOptions Options = FSearchOptions;
    Options.NameServerHost = FNSLookup.TargetHost();
    Options.NameServerPort = FNSLookup.TargetPort();
    Options.DnsTimeoutSeconds = FTimeout;
    if (Options.ProviderDatabase.empty())
        Options.ProviderDatabase = ProviderDatabase();
    TWindowObserver Observer(this, [this](const TSourceRow& Row) { AddSourceRow(Row); });
    TAddressFinder Finder(Query, Options, &Observer);
    std::atomic<bool> Done { false };
    TFinderReport Report;
    std::thread Worker([&] {
        Report = Finder.Run();
        Done.store(true);
    });
    while (!Done.load()) {
        FWaitGuard->ProcessEvents();
        if (FStopRequested)
            Finder.Cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Worker.join();
    // The last rows, queued as the threads ended.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (FStopRequested)
        return false;

    const auto Rows = LookupRules::ResultList(Observer.FSRV[0], Observer.FSRV[1], Report.Candidates, Observer.FMX);
    if (Rows.empty() && Observer.FCode != 0) {
        FErrorLabel->setText(LookupRules::ErrorText(Observer.FCode, Observer.FDescription));
        FNameServerLabel->setText(LookupRules::NameServerText(FNSLookup.TargetHost(), FNSLookup.TargetPort()));
        FNameServerLabel->show();
        FServerCount = -1;
        return true;
    }
    for (const auto& Row : Rows) {
        auto* Item = new QTreeWidgetItem(
            { Row.Server, Row.Port, Row.Kind, Row.Priority, Row.Username, Row.Methods, Row.Sources, Row.Notes });
        for (const int Column : { 1, 3 })
            Item->setTextAlignment(Column, Qt::AlignRight | Qt::AlignVCenter);
        Item->setData(0, Qt::UserRole, Row.HandOver);
        Item->setData(0, Qt::UserRole + 1, Row.StlsFirst);
        Item->setData(0, Qt::UserRole + 2, Row.ProviderUrl);
        for (int Column = 0; Column < 8; ++Column)
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
        FShowSources = false;
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
    if (FShowSources)
        return;
    FStlsFirst = false;
    if (FServerCount == 0) {
        // An address names its domain, which may be a mail server itself.
        const QString Typed = FNameEdit->text().trimmed();
        FServerName = Typed.mid(Typed.lastIndexOf(QLatin1Char('@')) + 1);
    } else {
        const QList<QTreeWidgetItem*> Selected = FMXHosts->selectedItems();
        if (Selected.isEmpty() || !(Selected.first()->flags() & Qt::ItemIsSelectable))
            return;
        FServerName = Selected.first()->data(0, Qt::UserRole).toString();
        FStlsFirst = Selected.first()->data(0, Qt::UserRole + 1).toBool();
    }
    accept();
}

void TPOP3Lookup::BackButtonClick()
{
    if (FStep <= 1)
        return;
    FShowSources = false;
    --FStep;
    ShowStep();
}
