#include "dialogs/ServerCheckDialog.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "auth/AuthCrypto.h"
#include "check/CheckHtml.h"
#include "check/CheckJson.h"
#include "check/ServerCheck.h"
#include "conversation/LogSink.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/HtmlPdf.h"
#include "dialogs/MessageBox.h"
#include "dialogs/ServerField.h"
#include "protocollog/LogSaver.h"

namespace {

QString FromUtf8(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<int>(Text.size()));
}

// Text and background of a verdict together, so that the list reads the same
// under a dark palette as under a light one.
void PaintVerdict(QTreeWidgetItem* Item, TCheckVerdict Verdict)
{
    struct TPair {
        QColor Text;
        QColor Back;
    };
    static const TPair Pairs[] = {
        { QColor(0x0a, 0x4a, 0x0a), QColor(0xd4, 0xef, 0xd4) }, // Gut
        { QColor(0x0b, 0x2f, 0x6b), QColor(0xdb, 0xe7, 0xf8) }, // Hinweis
        { QColor(0x5a, 0x38, 0x00), QColor(0xfb, 0xe3, 0xb8) }, // Warnung
        { QColor(0x7a, 0x00, 0x00), QColor(0xf8, 0xcf, 0xcf) }, // Fehler
    };
    const TPair& Pair = Pairs[static_cast<int>(Verdict)];
    Item->setForeground(0, Pair.Text);
    Item->setBackground(0, Pair.Back);
    QFont Bold = Item->font(0);
    Bold.setBold(true);
    Item->setFont(0, Bold);
}

} // namespace

// The check's observer on the worker's threads: each call becomes a queued
// call on the dialog's thread. Nothing here touches a widget.
class TServerCheckDialog::TRelay : public TCheckObserver {
public:
    TRelay(TServerCheckDialog* Dialog, int Run)
        : FDialog(Dialog)
        , FRun(Run)
    {
    }

    void ProbeStarted(const std::string& Id, const std::string& Title) override
    {
        Post([Id = FromUtf8(Id), Title = FromUtf8(Title)](
                 TServerCheckDialog* Dialog, int Run) { Dialog->ProbeStarted(Run, Id, Title); });
    }
    void ProbeFinished(const std::string& Id, const TProbeTranscript& Transcript) override
    {
        Post([Id = FromUtf8(Id), Transcript](
                 TServerCheckDialog* Dialog, int Run) { Dialog->ProbeFinished(Run, Id, Transcript); });
    }
    void CheckFinished(const TCheckFinding& Finding) override
    {
        Post([Finding](TServerCheckDialog* Dialog, int Run) { Dialog->FindingJudged(Run, Finding); });
    }
    void Progress(int Done, int Total) override
    {
        Post([Done, Total](TServerCheckDialog* Dialog, int Run) { Dialog->ProgressMade(Run, Done, Total); });
    }

private:
    template <typename TCall> void Post(TCall Call)
    {
        QMetaObject::invokeMethod(
            FDialog, [Dialog = FDialog, Run = FRun, Call] { Call(Dialog, Run); }, Qt::QueuedConnection);
    }

    TServerCheckDialog* FDialog;
    int FRun;
};

TServerCheckDialog::TServerCheckDialog(TLogSink& Log, QWidget* Parent)
    : QDialog(Parent)
    , FLog(Log)
{
    setObjectName(QStringLiteral("ServerCheckDialog"));
    setWindowTitle(QStringLiteral("Brieflotse - Server prüfen"));
    BuildControls();
    SetRunning(false);
}

TServerCheckDialog::~TServerCheckDialog()
{
    if (FCheck)
        FCheck->Cancel();
    JoinWorker();
}

void TServerCheckDialog::BuildControls()
{
    auto* Layout = new QVBoxLayout(this);
    auto* Fields = new QGridLayout;
    Layout->addLayout(Fields);

    auto Label = [this, Fields](const QString& Text, QWidget* Buddy, int Row, int Column) {
        auto* Shown = new QLabel(Text, this);
        Shown->setBuddy(Buddy);
        Fields->addWidget(Shown, Row, Column);
    };
    FServer = new QComboBox(this);
    FServer->setObjectName(QStringLiteral("CheckServer"));
    ServerField::ApplyRules(FServer);
    FServer->setToolTip(QStringLiteral("Name oder Adresse des Servers, wahlweise mit Port oder als pop3s://name"));
    FServer->setAccessibleName(QStringLiteral("Server"));
    FServer->lineEdit()->setAccessibleName(FServer->accessibleName());
    FServer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Label(QStringLiteral("&Server:"), FServer, 0, 0);
    Fields->addWidget(FServer, 0, 1, 1, 3);

    FUser = new QLineEdit(this);
    FUser->setObjectName(QStringLiteral("CheckUser"));
    FUser->setToolTip(QStringLiteral("Wahlweise: mit Name und Paßwort prüft Brieflotse auch die Anmeldung"));
    FUser->setAccessibleName(QStringLiteral("Name"));
    Label(QStringLiteral("&Name:"), FUser, 1, 0);
    Fields->addWidget(FUser, 1, 1);
    FPassword = new QLineEdit(this);
    FPassword->setObjectName(QStringLiteral("CheckPassword"));
    FPassword->setEchoMode(QLineEdit::Password);
    FPassword->setToolTip(FUser->toolTip());
    FPassword->setAccessibleName(QStringLiteral("Paßwort"));
    Label(QStringLiteral("Paß&wort:"), FPassword, 1, 2);
    Fields->addWidget(FPassword, 1, 3);
    Fields->setColumnStretch(1, 1);
    Fields->setColumnStretch(3, 1);

    FStartButton = new QPushButton(QStringLiteral("&Prüfen"), this);
    FStartButton->setObjectName(QStringLiteral("CheckStart"));
    FStartButton->setDefault(true);
    connect(FStartButton, &QPushButton::clicked, this, &TServerCheckDialog::Start);
    Fields->addWidget(FStartButton, 0, 4);

    FProblem = new QLabel(this);
    FProblem->setObjectName(QStringLiteral("CheckProblem"));
    FProblem->setWordWrap(true);
    // Bold rather than red: a fixed colour may vanish in a dark palette.
    QFont Bold = FProblem->font();
    Bold.setBold(true);
    FProblem->setFont(Bold);
    FProblem->hide();
    Layout->addWidget(FProblem);

    FPages = new QStackedWidget(this);
    FList = new QTreeWidget(FPages);
    FList->setObjectName(QStringLiteral("CheckList"));
    FList->setAccessibleName(QStringLiteral("Prüfungen"));
    FList->setHeaderLabels({ QStringLiteral("Urteil"), QStringLiteral("Prüfung") });
    FList->setRootIsDecorated(false);
    FList->setUniformRowHeights(true);
    FList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    FList->header()->setStretchLastSection(true);
    FPages->addWidget(FList);
    FBrowser = new QTextBrowser(FPages);
    FBrowser->setObjectName(QStringLiteral("CheckReport"));
    FBrowser->setAccessibleName(QStringLiteral("Bericht"));
    FBrowser->setOpenLinks(false);
    // The report's colours are those of the exported file, made for white.
    QPalette Paper = FBrowser->palette();
    Paper.setColor(QPalette::Base, Qt::white);
    Paper.setColor(QPalette::Text, Qt::black);
    FBrowser->setPalette(Paper);
    FPages->addWidget(FBrowser);
    Layout->addWidget(FPages, 1);

    FProgress = new QProgressBar(this);
    FProgress->setObjectName(QStringLiteral("CheckProgress"));
    FProgress->setRange(0, 1);
    FProgress->setValue(0);
    Layout->addWidget(FProgress);

    auto* Buttons = new QHBoxLayout;
    Layout->addLayout(Buttons);
    const char* const Captions[] = { "Als &HTML speichern ...", "Als P&DF speichern ...", "Als &JSON speichern ..." };
    for (int Index = 0; Index < 3; ++Index) {
        FExportButtons[Index] = new QPushButton(QString::fromUtf8(Captions[Index]), this);
        FExportButtons[Index]->setAutoDefault(false);
        connect(
            FExportButtons[Index], &QPushButton::clicked, this, [this, Index] { Export(static_cast<TExport>(Index)); });
        Buttons->addWidget(FExportButtons[Index]);
    }
    Buttons->addStretch(1);
    FCloseButton = new QPushButton(this);
    FCloseButton->setObjectName(QStringLiteral("CheckClose"));
    FCloseButton->setAutoDefault(false);
    connect(FCloseButton, &QPushButton::clicked, this, &TServerCheckDialog::reject);
    Buttons->addWidget(FCloseButton);

    resize(780, 600);
}

void TServerCheckDialog::Prepare(const QString& Server, const QStringList& History)
{
    FServer->clear();
    FServer->addItems(History);
    FServer->setEditText(Server);
    FServer->setFocus();
    FServer->lineEdit()->selectAll();
    DialogPlacement::CentreOver(this, parentWidget());
}

void TServerCheckDialog::ShowProblem(const QString& Text)
{
    FProblem->setText(Text);
    FProblem->setVisible(!Text.isEmpty());
}

void TServerCheckDialog::Start()
{
    if (Running())
        return;
    const QString Typed = FServer->currentText().trimmed();
    TCheckOptions Options;
    std::string Problem;
    if (!ParseCheckTarget(Typed.toStdString(), Options, Problem)) {
        ShowProblem(FromUtf8(Problem));
        FServer->setFocus();
        FServer->lineEdit()->selectAll();
        return;
    }
    if (FUser->text().isEmpty() != FPassword->text().isEmpty()) {
        ShowProblem(QStringLiteral("Für die Anmeldung braucht die Prüfung Name und Paßwort; ohne beide prüft sie "
                                   "den Server ohne Anmeldung."));
        (FUser->text().isEmpty() ? FUser : FPassword)->setFocus();
        return;
    }
    Options.User = FUser->text().toStdString();
    Options.Password = FPassword->text().toStdString();
    if (!IsSafeCredential(Options.User) || !IsSafeCredential(Options.Password)) {
        Forget(Options.Password);
        ShowProblem(QStringLiteral("Name und Paßwort dürfen keine Steuerzeichen enthalten."));
        return;
    }
    ShowProblem(QString());

    ServerField::PushHistory(FServer, Typed);
    FServer->setCurrentIndex(0);
    emit ServerChecked(Typed);

    FList->clear();
    FProbes.clear();
    FReport.reset();
    FBrowser->clear();
    FPages->setCurrentWidget(FList);
    FProgress->setRange(0, 0);

    const int Run = ++FRun;
    FRelay = std::make_unique<TRelay>(this, Run);
    FCheck = std::make_unique<TServerCheck>(Options, FRelay.get());
    Forget(Options.Password);
    SetRunning(true);
    TServerCheck* Check = FCheck.get();
    FWorker = std::thread([this, Check, Run] {
        auto Result = std::make_shared<TCheckReport>(Check->Run());
        QMetaObject::invokeMethod(
            this, [this, Run, Result] { CheckEnded(Run, *Result); }, Qt::QueuedConnection);
    });
}

void TServerCheckDialog::Stop()
{
    if (!FCheck)
        return;
    FCheck->Cancel();
    JoinWorker();
    // The worker's last call is queued behind this one; take its report now.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void TServerCheckDialog::JoinWorker()
{
    if (FWorker.joinable())
        FWorker.join();
}

void TServerCheckDialog::reject()
{
    if (Running()) {
        Stop();
        return;
    }
    QDialog::reject();
}

void TServerCheckDialog::done(int Result)
{
    if (FCheck)
        FCheck->Cancel();
    JoinWorker();
    FCheck.reset();
    FRelay.reset();
    // The password lives no longer than the dialog is open.
    FPassword->clear();
    SetRunning(false);
    QDialog::done(Result);
}

void TServerCheckDialog::closeEvent(QCloseEvent* Event)
{
    // Closing the window ends the check as well as the dialog.
    if (FCheck)
        FCheck->Cancel();
    JoinWorker();
    FCheck.reset();
    FRelay.reset();
    QDialog::closeEvent(Event);
}

void TServerCheckDialog::SetRunning(bool Running)
{
    FStartButton->setEnabled(!Running);
    FServer->setEnabled(!Running);
    FUser->setEnabled(!Running);
    FPassword->setEnabled(!Running);
    for (QPushButton* Button : FExportButtons)
        Button->setEnabled(!Running && FReport.has_value());
    FCloseButton->setText(Running ? QStringLiteral("Abbrechen") : QStringLiteral("Schließen"));
    if (Running)
        FCloseButton->setFocus();
}

QTreeWidgetItem* TServerCheckDialog::AddListItem(const QString& Verdict, const QString& Title)
{
    auto* Item = new QTreeWidgetItem(FList, { Verdict, Title });
    Item->setToolTip(1, Title);
    FList->scrollToItem(Item);
    return Item;
}

void TServerCheckDialog::ProbeStarted(int Run, const QString& Id, const QString& Title)
{
    if (Run != FRun)
        return;
    FProbes.insert(Id, AddListItem(QStringLiteral("läuft"), Title));
}

void TServerCheckDialog::ProbeFinished(int Run, const QString& Id, const TProbeTranscript& Transcript)
{
    if (Run != FRun)
        return;
    if (QTreeWidgetItem* Item = FProbes.value(Id))
        Item->setText(0, QStringLiteral("erledigt"));
    // Grey heading of the program's own, then the bytes as the conversation logs them.
    FLog.Append(TLogEntryKind::Note, Transcript.Heading);
    for (const TProbeTranscript::TLine& Line : Transcript.Lines) {
        if (!FLog.HasRoom())
            break;
        if (Line.Sent)
            FLog.Append(TLogEntryKind::Command, "\r\n" + Line.Text + "\r\n");
        else
            FLog.Append(TLogEntryKind::Status, Line.Text + "\r\n");
    }
}

void TServerCheckDialog::FindingJudged(int Run, const TCheckFinding& Finding)
{
    if (Run != FRun)
        return;
    PaintVerdict(AddListItem(FromUtf8(VerdictWord(Finding.Verdict)), FromUtf8(Finding.Title)), Finding.Verdict);
}

void TServerCheckDialog::ProgressMade(int Run, int Done, int Total)
{
    if (Run != FRun)
        return;
    FProgress->setRange(0, std::max(Total, 1));
    FProgress->setValue(Done);
}

void TServerCheckDialog::CheckEnded(int Run, const TCheckReport& Report)
{
    if (Run != FRun || !FCheck)
        return;
    JoinWorker();
    FCheck.reset();
    FRelay.reset();
    FReport = Report;
    FBrowser->setHtml(FromUtf8(ReportHtml(Report)));
    FPages->setCurrentWidget(FBrowser);
    FProgress->setRange(0, 1);
    FProgress->setValue(1);
    SetRunning(false);
    FBrowser->setFocus();
}

void TServerCheckDialog::Export(TExport Kind)
{
    if (!FReport)
        return;
    struct TKind {
        const char* Filter;
        const char* Suffix;
    };
    static const TKind Kinds[] = {
        { "HTML-Dateien (*.html *.htm)", "html" },
        { "PDF-Dateien (*.pdf)", "pdf" },
        { "JSON-Dateien (*.json)", "json" },
    };
    const TKind& Chosen = Kinds[static_cast<int>(Kind)];
    QFileDialog Dialog(this);
    Dialog.setWindowTitle(QStringLiteral("Brieflotse - Speichern"));
    Dialog.setAcceptMode(QFileDialog::AcceptSave);
    Dialog.setFileMode(QFileDialog::AnyFile);
    Dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    Dialog.setNameFilter(QString::fromUtf8(Chosen.Filter));
    Dialog.setDefaultSuffix(QString::fromUtf8(Chosen.Suffix));
    if (!FSaveFolder.isEmpty())
        Dialog.setDirectory(FSaveFolder);
    Dialog.selectFile(QStringLiteral("server-pruefung.") + QString::fromUtf8(Chosen.Suffix));
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return;
    const QString Path = Dialog.selectedFiles().constFirst();

    QByteArray Data;
    switch (Kind) {
    case TExport::Html:
        Data = QByteArray::fromStdString(ReportHtml(*FReport));
        break;
    case TExport::Pdf:
        Data = HtmlAsPdf(ReportHtml(*FReport), QStringLiteral("Server-Prüfung"));
        break;
    case TExport::Json:
        Data = QByteArray::fromStdString(ReportJson(*FReport));
        break;
    }
    const QString Reason = Data.isEmpty() ? QStringLiteral("Der Bericht ließ sich nicht in dieses Format bringen.")
                                          : WriteFileSafely(Path, Data);
    if (!Reason.isEmpty()) {
        TMessageBox::Error(this, QStringLiteral("Brieflotse - Speichern"),
            QStringLiteral("Der Bericht konnte nicht als \"%1\" gespeichert werden.\n\n%2")
                .arg(QDir::toNativeSeparators(Path), Reason));
        return;
    }
    FSaveFolder = SaveFolderOf(Path);
}
