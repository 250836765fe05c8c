#include "dialogs/BrieflotseLookup.h"

#include "app/settings/SettingsKey.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "resources/Resources.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace LookupRules {

StepView ViewOf(int step, int serverCount, bool nameEmpty)
{
    StepView view;
    if (step == 1) {
        view.page = Page::Welcome;
        view.backEnabled = false;
        view.nextEnabled = !nameEmpty;
        view.focus = Focus::NameEdit;
    } else if (serverCount < 0) {
        view.page = Page::Error;
        view.backEnabled = true;
        view.nextEnabled = false;
        view.focus = Focus::BackButton;
    } else if (serverCount == 0) {
        view.page = Page::NoMX;
        view.backEnabled = true;
        view.nextEnabled = true;
        view.focus = Focus::NextButton;
    } else {
        view.page = Page::Select;
        view.backEnabled = true;
        view.nextEnabled = true;
        view.focus = Focus::MXHosts;
    }
    view.nextCaption = step == 2 ? QStringLiteral("&Verbinden") : QStringLiteral("&Weiter >");
    view.nextIsDefault = view.nextEnabled;
    view.backIsDefault = !view.nextEnabled && view.backEnabled;
    return view;
}

StepView SelectionView(bool rowSelected)
{
    StepView view = ViewOf(2, 1, false);
    view.nextEnabled = rowSelected;
    view.nextIsDefault = rowSelected;
    view.backIsDefault = !rowSelected;
    return view;
}

QString Title(int step) { return QStringLiteral("Brieflotse - Mail-Server suchen (Schritt %1 von 2)").arg(step); }

QString ErrorText(int32_t code, const std::string& description)
{
    // Peers that are no name server: said plainly, no code.
    if (code == TSmartNSLookup::ErrorClosed)
        return QStringLiteral("Der Name-Server hat die Verbindung beendet, ohne vollständig zu antworten. Unter "
                              "dieser Adresse beantwortet vermutlich kein Name-Server Anfragen über TCP.");
    if (code == TSmartNSLookup::ErrorNotDNS)
        return QStringLiteral("Die Gegenstelle hat nicht mit DNS geantwortet (vielleicht ein Web- oder "
                              "Mail-Server). Unter dieser Adresse läuft vermutlich kein Name-Server.");
    return QString::number(code) + QStringLiteral(" - ") + QString::fromStdString(description);
}

QString NameProblem(const QString& name)
{
    const QString start = QStringLiteral("Der Domain-Name „%1“ ist ungültig: ").arg(name);
    switch (CheckName(name.toStdString())) {
    case TSmartNSNameFault::None:
        return QString();
    case TSmartNSNameFault::EmptyLabel:
        return start + QStringLiteral("er enthält einen leeren Namensteil.");
    case TSmartNSNameFault::LongLabel:
        return start + QStringLiteral("ein Namensteil ist länger als 63 Zeichen.");
    case TSmartNSNameFault::LongName:
        return start + QStringLiteral("er ist länger als 253 Zeichen.");
    }
    return QString();
}

bool IsHostName(const std::string& name)
{
    if (name.empty())
        return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte > '~' || byte == ':')
            return false;
    }
    return true;
}

namespace {

// Every hidden byte spelled out, so an odd name looks as odd as it is.
QString Spelled(const std::string& name)
{
    QString shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < ' ' || byte > '~')
            shown += QStringLiteral("\\x") + QString::number(byte, 16).rightJustified(2, '0').toUpper();
        else
            shown += QChar(byte);
    }
    return shown;
}

QString Latin1(const std::string& name)
{
    // Host names are bytes on the wire; Latin-1 shows every one of them.
    return QString::fromLatin1(name.data(), static_cast<int>(name.size()));
}

const QString InvalidHostHint = QStringLiteral(
    "Kein gültiger Host-Name (Doppelpunkt, Leer- oder Steuerzeichen): kann nicht gewählt werden.");

// Unreadable records sort behind every real priority.
constexpr uint32_t Unreadable = 0x10000;

void SortRows(std::vector<ServerRow>& rows)
{
    std::stable_sort(rows.begin(), rows.end(), [](const ServerRow& a, const ServerRow& b) {
        return a.order != b.order ? a.order < b.order : a.weight > b.weight;
    });
}

} // namespace

std::vector<ServerRow> SRVRows(const TSmartNSRecords& answers, bool tls)
{
    const QString kind = tls ? QStringLiteral("SRV, TLS") : QStringLiteral("SRV");
    std::vector<ServerRow> rows;
    for (int i = 0; i < answers.Count(); ++i) {
        const TSmartNSRecord& record = answers.Items(i);
        if (record.RRType != "SRV")
            continue;
        TSmartNSSRV srv;
        ServerRow row;
        row.kind = kind;
        row.selectable = false;
        if (!record.Data.GetSRV(srv)) {
            row.server = QStringLiteral("(SRV-Daten unlesbar)");
            row.hint = QStringLiteral("Die Antwort enthält einen SRV-Eintrag, der nicht gelesen werden kann.");
            row.order = Unreadable;
            rows.push_back(row);
            continue;
        }
        row.priority = QString::number(srv.Priority);
        row.order = srv.Priority;
        row.weight = srv.Weight;
        if (srv.Target.empty()) {
            row.server = QStringLiteral("(Dienst nicht angeboten)");
            row.hint = QStringLiteral("SRV-Eintrag mit dem Ziel „.“: Laut Name-Server bietet diese Domain %1 "
                                      "ausdrücklich nicht an.")
                           .arg(tls ? QStringLiteral("POP3 mit TLS") : QStringLiteral("POP3"));
        } else if (!IsHostName(srv.Target)) {
            row.server = Spelled(srv.Target) + QStringLiteral(" (ungültig)");
            row.port = QString::number(srv.Port);
            row.hint = InvalidHostHint;
        } else if (srv.Port == 0) {
            row.server = Latin1(srv.Target);
            row.port = QStringLiteral("0");
            row.hint = QStringLiteral("Port 0 ist kein gültiger Port: kann nicht gewählt werden.");
        } else {
            row.server = Latin1(srv.Target);
            row.port = QString::number(srv.Port);
            row.selectable = true;
            const QString service
                = tls ? QStringLiteral("_pop3s._tcp (TLS ab dem ersten Byte)") : QStringLiteral("_pop3._tcp");
            row.hint = QStringLiteral("SRV-Eintrag %1: Priorität %2, Gewicht %3.")
                           .arg(service)
                           .arg(srv.Priority)
                           .arg(srv.Weight);
            row.handOver = (tls ? QStringLiteral("pop3s://") : QString()) + row.server + QLatin1Char(':') + row.port;
        }
        rows.push_back(row);
    }
    SortRows(rows);
    return rows;
}

std::vector<ServerRow> MXRows(const TSmartNSRecords& answers)
{
    std::vector<ServerRow> rows;
    for (int i = 0; i < answers.Count(); ++i) {
        const TSmartNSRecord& record = answers.Items(i);
        if (record.RRType != "MX")
            continue;
        TSmartNSMX mx;
        ServerRow row;
        row.kind = QStringLiteral("MX");
        row.selectable = false;
        if (!record.Data.GetMX(mx)) {
            row.server = QStringLiteral("(MX-Daten unlesbar)");
            row.hint = QStringLiteral("Die Antwort enthält einen MX-Eintrag, der nicht gelesen werden kann.");
            row.order = Unreadable;
            rows.push_back(row);
            continue;
        }
        row.priority = QString::number(mx.Preference);
        row.order = mx.Preference;
        if (mx.Exchange.empty()) {
            row.server = QStringLiteral("(empfängt keine E-Mail)");
            row.hint = QStringLiteral("Null-MX: Laut Name-Server nimmt diese Domain keine E-Mail an.");
        } else if (!IsHostName(mx.Exchange)) {
            row.server = Spelled(mx.Exchange) + QStringLiteral(" (ungültig)");
            row.hint = InvalidHostHint;
        } else {
            row.server = Latin1(mx.Exchange);
            row.selectable = true;
            row.hint = QStringLiteral("MX-Eintrag: Dieser Server nimmt E-Mail für die Domain an. Ob er auch POP3 "
                                      "anbietet, ist nicht sicher.");
            row.handOver = row.server;
        }
        rows.push_back(row);
    }
    SortRows(rows);
    return rows;
}

std::vector<ServerRow> ServerList(
    const std::vector<ServerRow>& pop3s, const std::vector<ServerRow>& pop3, const std::vector<ServerRow>& mx)
{
    std::vector<ServerRow> rows = pop3s;
    rows.insert(rows.end(), pop3.begin(), pop3.end());
    // Priorities count across both services; stable, so _pop3s wins a tie.
    SortRows(rows);
    rows.insert(rows.end(), mx.begin(), mx.end());
    return rows;
}

QString NameServerText(const std::string& host, const std::string& port)
{
    const QString shownPort = port == "domain" ? QStringLiteral("53") : QString::fromStdString(port);
    return QStringLiteral("Gefragter Name-Server: %1, Port %2").arg(QString::fromStdString(host), shownPort);
}

bool IsAnswerCode(int32_t code) { return code >= 1 && code <= 15; }

} // namespace LookupRules

namespace {

QLabel* Heading(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    font.setPixelSize(16);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(palette);
    return label;
}

QLabel* Text(const QString& text, QWidget* parent, bool wrap = true)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(wrap);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QVBoxLayout* PageLayout(QWidget* page)
{
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    return column;
}

} // namespace

const QString& TPOP3Lookup::SettingsKey = SettingsPaths::Assist;

TPOP3Lookup::TPOP3Lookup(TSettingsStore& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
              | Qt::CustomizeWindowHint)
    , settings_(settings)
{
    setObjectName("POP3Lookup");
    FormCreate();
}

QWidget* TPOP3Lookup::BuildWelcomePage()
{
    auto* page = new QWidget(pages_);
    page->setObjectName("PanelWelcome");
    auto* column = PageLayout(page);
    column->addWidget(Heading(QStringLiteral("1. Domain oder Host eingeben"), page));
    column->addWidget(Text(QStringLiteral("Dieser Assistent hilft Ihnen dabei, den Mail-Server ausfindig zu machen, "
                                          "der für den E-Mail-Verkehr einer bestimmten Domain oder eines bestimmten "
                                          "Hosts zuständig ist."),
        page));
    column->addWidget(Text(QStringLiteral("Bitte geben Sie den Namen der gewünschten Domain oder des gewünschten "
                                          "Hosts ein (z.B. \"example.com\"), und klicken Sie dann auf \"Weiter\"."),
        page));
    nameEdit_ = new QLineEdit(page);
    nameEdit_->setObjectName("NameEdit");
    nameEdit_->setMaxLength(32);
    nameEdit_->setValidator(new TKeyFilterValidator(nameEdit_));
    auto* label = new QLabel(QStringLiteral("&Domain/Host:"), page);
    label->setBuddy(nameEdit_);
    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(nameEdit_, 1);
    column->addLayout(row);
    // Empty until a search is stopped; its line is kept, so nothing moves.
    stopNote_ = Text(QString(), page);
    stopNote_->setObjectName("StopNote");
    stopNote_->setMinimumHeight(stopNote_->fontMetrics().lineSpacing());
    column->addWidget(stopNote_);
    column->addStretch(1);
    connect(nameEdit_, &QLineEdit::textChanged, this, &TPOP3Lookup::NameEditChange);
    return page;
}

QWidget* TPOP3Lookup::BuildErrorPage()
{
    auto* page = new QWidget(pages_);
    page->setObjectName("PanelError");
    auto* column = PageLayout(page);
    column->addWidget(Heading(QStringLiteral("2. TCP/IP- oder DNS-Fehler"), page));
    column->addWidget(Text(QStringLiteral("Es war nicht möglich, den für die gewählte Domain oder den gewählten Host "
                                          "zuständigen Mail-Server zu ermitteln. Entweder war der eingegebene Name "
                                          "ungültig, oder es ist ein TCP/IP-Fehler aufgetreten."),
        page));
    column->addWidget(Text(QStringLiteral("Fehlermeldung:"), page, false));
    // Wraps: an invalid name is explained in a sentence, not only a code.
    errorLabel_ = Text(QString(), page);
    errorLabel_->setObjectName("ErrorLabel");
    QPalette palette = errorLabel_->palette();
    palette.setColor(QPalette::WindowText, Qt::red);
    errorLabel_->setPalette(palette);
    errorLabel_->setFixedWidth(281);
    column->addWidget(errorLabel_);
    nameServerLabel_ = Text(QString(), page);
    nameServerLabel_->setObjectName("NameServerLabel");
    column->addWidget(nameServerLabel_);
    column->addWidget(Text(QStringLiteral("Bitte klicken Sie auf \"Zurück\", um es erneut zu versuchen."), page));
    column->addStretch(1);
    return page;
}

QWidget* TPOP3Lookup::BuildSelectPage()
{
    auto* page = new QWidget(pages_);
    page->setObjectName("PanelSelect");
    auto* column = PageLayout(page);
    column->addWidget(Heading(QStringLiteral("2. Mail-Server selektieren"), page));
    column->addWidget(Text(QStringLiteral("Laut Name-Server bedienen die folgenden Server die gewählte Domain (den "
                                          "gewählten Host). SRV-Einträge nennen ihre POP3-Server samt Port („TLS“: "
                                          "verschlüsselt ab dem ersten Byte). MX-Einträge nennen die Server, die "
                                          "E-Mail für die Domain annehmen; ob sie auch POP3 anbieten, ist nicht "
                                          "sicher. Bitte wählen Sie einen Server, und klicken Sie dann auf "
                                          "\"Verbinden\"."),
        page));
    mxHosts_ = new QTreeWidget(page);
    mxHosts_->setObjectName("MXHosts");
    mxHosts_->setColumnCount(4);
    mxHosts_->setHeaderLabels(
        { QStringLiteral("Server"), QStringLiteral("Port"), QStringLiteral("Art"), QStringLiteral("Priorität") });
    for (const int column : { 1, 3 })
        mxHosts_->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    mxHosts_->setColumnWidth(0, 118);
    mxHosts_->setColumnWidth(1, 38);
    mxHosts_->setColumnWidth(2, 60);
    mxHosts_->setColumnWidth(3, 61);
    mxHosts_->header()->setStretchLastSection(false);
    mxHosts_->header()->setSectionsMovable(false);
    mxHosts_->setRootIsDecorated(false);
    mxHosts_->setItemsExpandable(false);
    mxHosts_->setSortingEnabled(false);
    mxHosts_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mxHosts_->setSelectionMode(QAbstractItemView::SingleSelection);
    mxHosts_->setSelectionBehavior(QAbstractItemView::SelectRows);
    mxHosts_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The list takes the room the other pages need anyway, not a default
    // height of its own that would make every page taller.
    mxHosts_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    mxHosts_->setMinimumHeight(mxHosts_->fontMetrics().lineSpacing() * 5);
    column->addWidget(mxHosts_, 1);
    connect(mxHosts_, &QTreeWidget::itemSelectionChanged, this, &TPOP3Lookup::MXHostsChange);
    connect(mxHosts_->model(), &QAbstractItemModel::rowsInserted, this, &TPOP3Lookup::MXHostsChange);
    connect(mxHosts_->model(), &QAbstractItemModel::rowsRemoved, this, &TPOP3Lookup::MXHostsChange);
    return page;
}

QWidget* TPOP3Lookup::BuildNoMXPage()
{
    auto* page = new QWidget(pages_);
    page->setObjectName("PanelNoMX");
    auto* column = PageLayout(page);
    column->addWidget(Heading(QStringLiteral("2. Mail-Server unbekannt"), page));
    column->addWidget(Text(QStringLiteral("Laut Name-Server gibt es keinen Mail-Server, der für die gewählte Domain "
                                          "(den gewählten Host) zuständig ist."),
        page));
    column->addWidget(Text(QStringLiteral("Es besteht jedoch die Möglichkeit, daß der von Ihnen eingegebene Name "
                                          "direkt einen Mail-Server bezeichnet. In diesem Fall klicken Sie bitte auf "
                                          "\"Verbinden\"."),
        page));
    column->addWidget(Text(QStringLiteral("Andernfalls klicken Sie bitte auf \"Zurück\", um die Suche nach Eingabe "
                                          "eines anderen Namens zu wiederholen."),
        page));
    column->addStretch(1);
    return page;
}

void TPOP3Lookup::FormCreate()
{
    setWindowIcon(BrieflotseMainIcon());

    iconDisplay_ = new QLabel(this);
    iconDisplay_->setObjectName("IconDisplay");
    iconDisplay_->setPixmap(QIcon(BrieflotsePictures::PicDns).pixmap(32, 32));
    iconDisplay_->setFixedSize(32, 32);

    pages_ = new QStackedWidget(this);
    pages_->setMinimumSize(281, 153);
    pages_->setFixedWidth(281);
    panelWelcome_ = BuildWelcomePage();
    panelError_ = BuildErrorPage();
    panelSelect_ = BuildSelectPage();
    panelNoMX_ = BuildNoMXPage();
    for (QWidget* page : { panelWelcome_, panelError_, panelSelect_, panelNoMX_ })
        pages_->addWidget(page);

    auto* line = new QFrame(this);
    line->setObjectName("Line");
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    backButton_ = new QPushButton(QStringLiteral("< &Zurück"), this);
    backButton_->setObjectName("BackButton");
    nextButton_ = new QPushButton(QStringLiteral("&Weiter >"), this);
    nextButton_->setObjectName("NextButton");
    cancelButton_ = new QPushButton(QStringLiteral("Abbrechen"), this);
    cancelButton_->setObjectName("CancelButton");
    // Only ShowStep chooses the default button; focus must not move it.
    for (QPushButton* button : { backButton_, nextButton_, cancelButton_ }) {
        button->setAutoDefault(false);
        button->setMinimumSize(73, 23);
    }
    connect(backButton_, &QPushButton::clicked, this, &TPOP3Lookup::BackButtonClick);
    connect(nextButton_, &QPushButton::clicked, this, &TPOP3Lookup::NextButtonClick);
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

    // Icon at the left, the page beside it; the line and the buttons below,
    // "Zurück" and "Weiter" side by side, "Abbrechen" a little apart.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    buttons->addStretch(1);
    buttons->addWidget(backButton_);
    buttons->addWidget(nextButton_);
    buttons->addSpacing(15);
    buttons->addWidget(cancelButton_);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setHorizontalSpacing(0);
    grid->setVerticalSpacing(8);
    auto* iconColumn = new QVBoxLayout;
    iconColumn->setContentsMargins(8, 8, 24, 0);
    iconColumn->addWidget(iconDisplay_);
    iconColumn->addStretch(1);
    grid->addLayout(iconColumn, 0, 0);
    grid->addWidget(pages_, 0, 1);
    grid->addWidget(line, 1, 0, 1, 2);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    ReadDomain();
    if (nsLookup_.TargetHost().empty())
        nsLookup_.SetTargetHost(LookupRules::FallbackNameServer);
    // The query runs inside the button handler. Every event is handled here,
    // so the window paints and a stop gets through; eventFilter swallows any
    // other input, so none of it waits to act after the search.
    nsLookup_.OnWaiting = [this] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (stopRequested_)
            nsLookup_.Cancel();
    };
}

void TPOP3Lookup::ReadDomain()
{
    try {
        TSettingsKey key(settings_, SettingsKey);
        if (key.IsOpen() && settings_.ValueExists("Domain"))
            nameEdit_->setText(settings_.ReadString("Domain"));
    } catch (const TSettingsError& error) {
        nameEdit_->clear();
        MessageBox::error(parentWidget(), QStringLiteral("Brieflotse - Einstellungen"), error.Message());
    }
}

void TPOP3Lookup::FormClose()
{
    TSettingsKey key(settings_, SettingsKey);
    if (!key.IsOpen())
        return;
    settings_.WriteString("Domain", nameEdit_->text());
    if (!key.Close())
        MessageBox::error(this, QStringLiteral("Brieflotse - Einstellungen"), settings_.TakeWriteProblem());
}

void TPOP3Lookup::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TPOP3Lookup::reject()
{
    if (querying_) {
        Stop();
        return;
    }
    QDialog::reject();
}

void TPOP3Lookup::closeEvent(QCloseEvent* event)
{
    if (querying_) {
        closeAfterStop_ = true;
        Stop();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TPOP3Lookup::Stop()
{
    if (querying_)
        stopRequested_ = true;
}

namespace {

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

bool IsMouse(QEvent::Type type)
{
    return type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease
        || type == QEvent::MouseButtonDblClick || type == QEvent::MouseMove;
}

} // namespace

bool TPOP3Lookup::eventFilter(QObject* watched, QEvent* event)
{
    // Window-level events pass: Qt hands them on to the widget, seen below.
    if (!querying_ || !watched->isWidgetType() || !IsUserInput(event->type()))
        return QDialog::eventFilter(watched, event);
    auto* widget = static_cast<QWidget*>(watched);
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape
        && widget->window() == this) {
        Stop();
        return true;
    }
    if (widget == cancelButton_ && IsMouse(event->type()))
        return false;
    return true;
}

void TPOP3Lookup::Prepare(QWidget* mainWindow)
{
    serverName_.clear();
    stopNote_->clear();
    step_ = 1;
    serverCount_ = -1;
    ShowStep();
    DialogPlacement::CentreOver(this, mainWindow);
    nameEdit_->setFocus();
    NameEditChange();
}

bool TPOP3Lookup::Execute(QWidget* mainWindow)
{
    Prepare(mainWindow);
    return exec() == QDialog::Accepted;
}

void TPOP3Lookup::ShowStep()
{
    setWindowTitle(LookupRules::Title(step_));
    ApplyView(LookupRules::ViewOf(step_, serverCount_, nameEdit_->text().isEmpty()), true);
    // A list with no row to choose leaves nothing selected: "Verbinden" follows.
    MXHostsChange();
}

void TPOP3Lookup::ApplyView(const LookupRules::StepView& view, bool moveFocus)
{
    using LookupRules::Page;
    switch (view.page) {
    case Page::Welcome:
        pages_->setCurrentWidget(panelWelcome_);
        break;
    case Page::Error:
        pages_->setCurrentWidget(panelError_);
        break;
    case Page::NoMX:
        pages_->setCurrentWidget(panelNoMX_);
        break;
    case Page::Select:
        pages_->setCurrentWidget(panelSelect_);
        break;
    }
    backButton_->setEnabled(view.backEnabled);
    nextButton_->setEnabled(view.nextEnabled);
    nextButton_->setText(view.nextCaption);
    backButton_->setDefault(view.backIsDefault);
    nextButton_->setDefault(view.nextIsDefault);
    if (!moveFocus)
        return;
    switch (view.focus) {
    case LookupRules::Focus::NameEdit:
        nameEdit_->setFocus();
        break;
    case LookupRules::Focus::BackButton:
        backButton_->setFocus();
        break;
    case LookupRules::Focus::NextButton:
        nextButton_->setFocus();
        break;
    case LookupRules::Focus::MXHosts:
        mxHosts_->setFocus();
        // The first row that can be chosen; rows that only inform are skipped.
        for (int i = 0; i < mxHosts_->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = mxHosts_->topLevelItem(i);
            if (item->flags() & Qt::ItemIsSelectable) {
                mxHosts_->setCurrentItem(item);
                item->setSelected(true);
                break;
            }
        }
        break;
    }
}

void TPOP3Lookup::NameEditChange()
{
    if (step_ != 1)
        return;
    ApplyView(LookupRules::ViewOf(1, serverCount_, nameEdit_->text().isEmpty()), false);
}

void TPOP3Lookup::MXHostsChange()
{
    if (step_ != 2 || serverCount_ <= 0)
        return;
    ApplyView(LookupRules::SelectionView(!mxHosts_->selectedItems().isEmpty()), false);
}

bool TPOP3Lookup::Ask(const std::string& name, const char* type)
{
    nsLookup_.Reset(true);
    nsLookup_.Header().SetRD(true);
    nsLookup_.Question().SetQName(name);
    nsLookup_.Question().SetQType(type);
    nsLookup_.Question().SetQClass("IN");
    nsLookup_.SetTimeout(timeout_);
    return nsLookup_.Lookup();
}

bool TPOP3Lookup::RunQuery()
{
    const QString problem = LookupRules::NameProblem(nameEdit_->text());
    if (!problem.isEmpty()) {
        errorLabel_->setText(problem);
        nameServerLabel_->hide();
        serverCount_ = -1;
        return true;
    }
    // Until the end of the search, whichever way it ends.
    struct Searching {
        TPOP3Lookup& finder;
        explicit Searching(TPOP3Lookup& f) : finder(f)
        {
            finder.querying_ = true;
            finder.stopRequested_ = false;
            finder.closeAfterStop_ = false;
            qApp->installEventFilter(&finder);
            // The busy arrow: the wizard still takes a stop.
            QApplication::setOverrideCursor(Qt::BusyCursor);
        }
        ~Searching()
        {
            QApplication::restoreOverrideCursor();
            qApp->removeEventFilter(&finder);
            finder.querying_ = false;
        }
    } searching(*this);

    const std::string domain = nameEdit_->text().toStdString();
    std::string origin;
    int32_t code = 0;
    std::string description;
    std::vector<LookupRules::ServerRow> found[2];
    const struct {
        const char* prefix;
        bool tls;
    } services[] = { { "_pop3s._tcp.", true }, { "_pop3._tcp.", false } };
    for (size_t i = 0; i < 2; ++i) {
        const std::string name = services[i].prefix + domain;
        if (CheckName(name) != TSmartNSNameFault::None)
            continue;
        const bool answered = Ask(name, "SRV");
        if (stopRequested_)
            return false;
        if (answered) {
            found[i] = LookupRules::SRVRows(nsLookup_.Answers(), services[i].tls);
            continue;
        }
        nsLookup_.GetErrorInfo(origin, code, description);
        // The name server answered that there is no such service: ask on.
        // Anything else (no connection, no DNS) would only repeat itself.
        if (!LookupRules::IsAnswerCode(code))
            break;
        code = 0;
    }
    std::vector<LookupRules::ServerRow> mx;
    if (code == 0) {
        const bool answered = Ask(domain, "MX");
        if (stopRequested_)
            return false;
        if (answered)
            mx = LookupRules::MXRows(nsLookup_.Answers());
        else
            nsLookup_.GetErrorInfo(origin, code, description);
    }

    const auto rows = LookupRules::ServerList(found[0], found[1], mx);
    if (rows.empty() && code != 0) {
        errorLabel_->setText(LookupRules::ErrorText(code, description));
        nameServerLabel_->setText(LookupRules::NameServerText(nsLookup_.TargetHost(), nsLookup_.TargetPort()));
        nameServerLabel_->show();
        serverCount_ = -1;
        return true;
    }
    for (const auto& row : rows) {
        auto* item = new QTreeWidgetItem({ row.server, row.port, row.kind, row.priority });
        for (const int column : { 1, 3 })
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        item->setData(0, Qt::UserRole, row.handOver);
        for (int column = 0; column < 4; ++column)
            item->setToolTip(column, row.hint);
        if (!row.selectable)
            item->setFlags(Qt::NoItemFlags);
        mxHosts_->addTopLevelItem(item);
    }
    serverCount_ = mxHosts_->topLevelItemCount();
    return true;
}

void TPOP3Lookup::NextButtonClick()
{
    if (!nextButton_->isEnabled() || querying_)
        return;
    if (step_ == 1) {
        stopNote_->clear();
        mxHosts_->clear();
        if (!RunQuery()) {
            // Stopped by the user: no error to show, the name ready for another try.
            serverCount_ = -1;
            stopNote_->setText(QStringLiteral("Die Suche wurde abgebrochen."));
            ShowStep();
            if (closeAfterStop_)
                reject();
            return;
        }
        step_ = 2;
        ShowStep();
        return;
    }
    if (serverCount_ == 0) {
        serverName_ = nameEdit_->text();
    } else {
        const QList<QTreeWidgetItem*> selected = mxHosts_->selectedItems();
        if (selected.isEmpty() || !(selected.first()->flags() & Qt::ItemIsSelectable))
            return;
        serverName_ = selected.first()->data(0, Qt::UserRole).toString();
    }
    accept();
}

void TPOP3Lookup::BackButtonClick()
{
    if (step_ <= 1)
        return;
    --step_;
    ShowStep();
}
