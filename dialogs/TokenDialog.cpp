#include "dialogs/TokenDialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "conversation/LogSink.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "settings/SecretStore.h"
#include "settings/SettingsKey.h"

namespace TokenRules {

QStringList BrowserCommand(const QString& Override, const QString& Url)
{
    QStringList Command = QProcess::splitCommand(Override);
    if (Command.isEmpty())
        Command << QStringLiteral("xdg-open");
    Command << Url;
    return Command;
}

} // namespace TokenRules

namespace {

QString FromUtf8(const std::string& Text)
{
    return QString::fromUtf8(Text.data(), static_cast<int>(Text.size()));
}

std::string ToUtf8(const QString& Text)
{
    return Text.trimmed().toStdString();
}

TSecretKey KeyringKey(const TOAuthClient& Client)
{
    const TOAuthEndpoints& Endpoints = Client.Endpoints;
    return { Endpoints.Issuer.empty() ? Endpoints.TokenUrl : Endpoints.Issuer, Client.ClientId, Client.User };
}

} // namespace

// What a worker needs, copied from the fields when "Anmelden" is pressed, and
// the flag that ends it. Shared, so that a cancelled worker may outlive the
// dialog's interest in it.
struct TTokenDialog::TJob {
    std::atomic<bool> Cancel { false };
    TProvider Provider = tpMicrosoft;
    std::string Tenant;
    std::string Issuer;
    std::string Scope;
    TOAuthClient Client;
    bool Device = false;
    bool UseKeyring = false; // the keyring answers
    bool KeepRefresh = false; // and the person wants the refresh token kept
};

TTokenDialog::TTokenDialog(TSettingsStore& Settings, QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint)
    , FSettings(Settings)
    , FTokens(std::make_shared<TOAuthTokenStore>())
{
    setObjectName(QStringLiteral("TokenDialog"));
    setWindowTitle(QStringLiteral("Brieflotse - Token holen"));
    FormCreate();
    LoadSettings();
}

TTokenDialog::~TTokenDialog()
{
    if (FJob)
        FJob->Cancel = true;
    // The engine ends within a tenth of a second of Cancel; a keyring call
    // may take longer, but only at the program's end.
    if (FWorker.joinable())
        FWorker.join();
    if (FProbe.joinable())
        FProbe.join();
}

void TTokenDialog::FormCreate()
{
    auto* Layout = new QVBoxLayout(this);
    auto* Intro = new QLabel(QStringLiteral(
        "Microsoft und Google nehmen POP3-Anmeldungen mit XOAUTH2 oder OAUTHBEARER nur mit einem Zugriffs-Token an. "
        "Brieflotse holt es beim Anbieter: Sie melden sich dort an und geben den Zugriff frei; Ihr Paßwort sieht "
        "Brieflotse dabei nicht. Die Client-ID erhalten Sie, wenn Sie eine Anwendung beim Anbieter registrieren."));
    Intro->setWordWrap(true);
    Layout->addWidget(Intro);

    FLabelUser = new QLabel(this);
    FLabelUser->setObjectName(QStringLiteral("LabelTokenUser"));
    Layout->addWidget(FLabelUser);

    auto* ProviderBox = new QGroupBox(QStringLiteral("Anbieter"), this);
    auto* ProviderGrid = new QGridLayout(ProviderBox);
    FRadioMicrosoft = new QRadioButton(QStringLiteral("&Microsoft"), ProviderBox);
    FRadioMicrosoft->setObjectName(QStringLiteral("RadioMicrosoft"));
    FRadioGoogle = new QRadioButton(QStringLiteral("&Google"), ProviderBox);
    FRadioGoogle->setObjectName(QStringLiteral("RadioGoogle"));
    FRadioOther = new QRadioButton(QStringLiteral("A&nderer Anbieter"), ProviderBox);
    FRadioOther->setObjectName(QStringLiteral("RadioOther"));
    FEditTenant = new QLineEdit(QStringLiteral("common"), ProviderBox);
    FEditTenant->setObjectName(QStringLiteral("EditTenant"));
    FEditTenant->setToolTip(QStringLiteral(
        "\"common\" für private und Firmenkonten; sonst die Verzeichnis-ID oder Domain Ihrer Organisation"));
    FEditIssuer = new QLineEdit(ProviderBox);
    FEditIssuer->setObjectName(QStringLiteral("EditIssuer"));
    FEditIssuer->setPlaceholderText(QStringLiteral("https://anmeldung.example.org"));
    FEditIssuer->setToolTip(QStringLiteral(
        "Die Adresse des Anbieters (Issuer); Brieflotse liest seine Endpunkte aus den Metadaten (RFC 8414)"));
    FEditScope = new QLineEdit(ProviderBox);
    FEditScope->setObjectName(QStringLiteral("EditScope"));
    FEditScope->setToolTip(QStringLiteral("Die Bereiche, um die Brieflotse bittet, durch Leerzeichen getrennt"));
    auto* TenantLabel = new QLabel(QStringLiteral("Man&dant:"), ProviderBox);
    TenantLabel->setBuddy(FEditTenant);
    auto* IssuerLabel = new QLabel(QStringLiteral("Aussteller-&URL:"), ProviderBox);
    IssuerLabel->setBuddy(FEditIssuer);
    auto* ScopeLabel = new QLabel(QStringLiteral("Sco&pe:"), ProviderBox);
    ScopeLabel->setBuddy(FEditScope);
    ProviderGrid->addWidget(FRadioMicrosoft, 0, 0);
    ProviderGrid->addWidget(TenantLabel, 0, 1);
    ProviderGrid->addWidget(FEditTenant, 0, 2);
    ProviderGrid->addWidget(FRadioGoogle, 1, 0);
    ProviderGrid->addWidget(FRadioOther, 2, 0);
    ProviderGrid->addWidget(IssuerLabel, 2, 1);
    ProviderGrid->addWidget(FEditIssuer, 2, 2);
    ProviderGrid->addWidget(ScopeLabel, 3, 1);
    ProviderGrid->addWidget(FEditScope, 3, 2);
    ProviderGrid->setColumnStretch(2, 1);
    auto* Providers = new QButtonGroup(this);
    for (QRadioButton* Radio : { FRadioMicrosoft, FRadioGoogle, FRadioOther }) {
        Providers->addButton(Radio);
        connect(Radio, &QRadioButton::toggled, this, &TTokenDialog::ProviderChanged);
    }
    FRadioMicrosoft->setChecked(true);
    Layout->addWidget(ProviderBox);

    auto* ClientGrid = new QGridLayout;
    FEditClientId = new QLineEdit(this);
    FEditClientId->setObjectName(QStringLiteral("EditClientId"));
    FEditClientSecret = new QLineEdit(this);
    FEditClientSecret->setObjectName(QStringLiteral("EditClientSecret"));
    FEditClientSecret->setEchoMode(QLineEdit::Password);
    FEditClientSecret->setToolTip(
        QStringLiteral("Nur wenn der Anbieter eines verlangt (Google); es wird nirgends gespeichert"));
    auto* ClientIdLabel = new QLabel(QStringLiteral("Client-&ID:"), this);
    ClientIdLabel->setBuddy(FEditClientId);
    auto* SecretLabel = new QLabel(QStringLiteral("Client-Geh&eimnis (freiwillig):"), this);
    SecretLabel->setBuddy(FEditClientSecret);
    FCheckKeepClientId = new QCheckBox(QStringLiteral("Client-ID &speichern"), this);
    FCheckKeepClientId->setObjectName(QStringLiteral("CheckKeepClientId"));
    FCheckKeepClientId->setToolTip(QStringLiteral(
        "Eine Client-ID ist kein Geheimnis und darf in den Einstellungen stehen; das Client-Geheimnis nie"));
    ClientGrid->addWidget(ClientIdLabel, 0, 0);
    ClientGrid->addWidget(FEditClientId, 0, 1);
    ClientGrid->addWidget(FCheckKeepClientId, 0, 2);
    ClientGrid->addWidget(SecretLabel, 1, 0);
    ClientGrid->addWidget(FEditClientSecret, 1, 1, 1, 2);
    ClientGrid->setColumnStretch(1, 1);
    Layout->addLayout(ClientGrid);

    FRadioBrowser = new QRadioButton(QStringLiteral("Im &Browser anmelden"), this);
    FRadioBrowser->setObjectName(QStringLiteral("RadioBrowser"));
    FRadioBrowser->setToolTip(QStringLiteral(
        "Brieflotse öffnet die Anmeldeseite im Browser und nimmt die Freigabe auf 127.0.0.1 entgegen (PKCE)"));
    FRadioDevice = new QRadioButton(QStringLiteral("Mit &Code auf einem anderen Gerät"), this);
    FRadioDevice->setObjectName(QStringLiteral("RadioDevice"));
    FRadioDevice->setToolTip(
        QStringLiteral("Sie öffnen eine Adresse auf einem beliebigen Gerät und geben dort einen Code ein"));
    auto* Flows = new QButtonGroup(this);
    Flows->addButton(FRadioBrowser);
    Flows->addButton(FRadioDevice);
    FRadioBrowser->setChecked(true);
    auto* FlowRow = new QHBoxLayout;
    FlowRow->addWidget(FRadioBrowser);
    FlowRow->addWidget(FRadioDevice);
    FlowRow->addStretch(1);
    Layout->addLayout(FlowRow);

    FCheckKeepRefresh = new QCheckBox(QStringLiteral("Refresh-Token im Schlüsselbund be&halten"), this);
    FCheckKeepRefresh->setObjectName(QStringLiteral("CheckKeepRefresh"));
    FCheckKeepRefresh->setEnabled(false);
    FCheckKeepRefresh->setChecked(false);
    FCheckKeepRefresh->setToolTip(QStringLiteral("Brieflotse prüft noch, ob ein Schlüsselbund antwortet ..."));
    Layout->addWidget(FCheckKeepRefresh);

    // The device flow's code and address, large and selectable, to be read off or copied.
    FDevicePanel = new QWidget(this);
    FDevicePanel->setObjectName(QStringLiteral("DevicePanel"));
    auto* DeviceGrid = new QGridLayout(FDevicePanel);
    DeviceGrid->setContentsMargins(0, 0, 0, 0);
    FLabelDeviceUrl = new QLabel(FDevicePanel);
    FLabelDeviceUrl->setObjectName(QStringLiteral("LabelDeviceUrl"));
    FLabelDeviceCode = new QLabel(FDevicePanel);
    FLabelDeviceCode->setObjectName(QStringLiteral("LabelDeviceCode"));
    for (QLabel* Label : { FLabelDeviceUrl, FLabelDeviceCode }) {
        QFont Large = Label->font();
        Large.setPointSizeF(Large.pointSizeF() * 1.6);
        Large.setBold(true);
        Label->setFont(Large);
        Label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
    FButtonCopyCode = new QPushButton(QStringLiteral("Code &kopieren"), FDevicePanel);
    FButtonCopyCode->setObjectName(QStringLiteral("ButtonCopyCode"));
    FButtonCopyCode->setAutoDefault(false);
    connect(FButtonCopyCode, &QPushButton::clicked, this,
        [this] { QApplication::clipboard()->setText(FLabelDeviceCode->text()); });
    DeviceGrid->addWidget(new QLabel(QStringLiteral("Adresse:"), FDevicePanel), 0, 0);
    DeviceGrid->addWidget(FLabelDeviceUrl, 0, 1, 1, 2);
    DeviceGrid->addWidget(new QLabel(QStringLiteral("Code:"), FDevicePanel), 1, 0);
    DeviceGrid->addWidget(FLabelDeviceCode, 1, 1);
    DeviceGrid->addWidget(FButtonCopyCode, 1, 2);
    DeviceGrid->setColumnStretch(1, 1);
    FDevicePanel->hide();
    Layout->addWidget(FDevicePanel);

    FTextSteps = new QPlainTextEdit(this);
    FTextSteps->setObjectName(QStringLiteral("TextSteps"));
    FTextSteps->setReadOnly(true);
    FTextSteps->setAccessibleName(QStringLiteral("Schritte"));
    FTextSteps->setMinimumHeight(fontMetrics().lineSpacing() * 7);
    FTextSteps->setPlaceholderText(
        QStringLiteral("Hier erklärt Brieflotse jeden Schritt, sobald Sie \"Anmelden\" wählen."));
    Layout->addWidget(FTextSteps, 1);

    FLabelProblem = new QLabel(this);
    FLabelProblem->setObjectName(QStringLiteral("LabelTokenProblem"));
    FLabelProblem->setWordWrap(true);
    QFont Bold = FLabelProblem->font();
    Bold.setBold(true);
    FLabelProblem->setFont(Bold);
    FLabelProblem->hide();
    Layout->addWidget(FLabelProblem);

    FButtonStart = new QPushButton(QStringLiteral("&Anmelden"), this);
    FButtonStart->setObjectName(QStringLiteral("ButtonTokenStart"));
    FButtonStart->setDefault(true);
    FButtonCancel = new QPushButton(QStringLiteral("Abbrechen"), this);
    FButtonCancel->setObjectName(QStringLiteral("ButtonTokenCancel"));
    FButtonCancel->setAutoDefault(false);
    connect(FButtonStart, &QPushButton::clicked, this, &TTokenDialog::ButtonStartClick);
    connect(FButtonCancel, &QPushButton::clicked, this, &TTokenDialog::reject);
    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(FButtonStart);
    Buttons->addWidget(FButtonCancel);
    Layout->addLayout(Buttons);

    resize(fontMetrics().averageCharWidth() * 90, sizeHint().height());
    ProviderChanged();
}

void TTokenDialog::ProviderChanged()
{
    FEditTenant->setEnabled(FRadioMicrosoft->isChecked());
    FEditIssuer->setEnabled(FRadioOther->isChecked());
    FEditScope->setEnabled(FRadioOther->isChecked());
}

void TTokenDialog::LoadSettings()
{
    try {
        TSettingsKey Key(FSettings, SettingsPaths::Assist);
        if (!Key.IsOpen())
            return;
        const auto Text
            = [this](const char* Name) { return FSettings.ValueExists(Name) ? FSettings.ReadString(Name) : QString(); };
        const QString Provider = Text("OAuthProvider");
        if (Provider == QLatin1String("Google"))
            FRadioGoogle->setChecked(true);
        else if (Provider == QLatin1String("Other"))
            FRadioOther->setChecked(true);
        if (!Text("OAuthTenant").isEmpty())
            FEditTenant->setText(Text("OAuthTenant"));
        FEditIssuer->setText(Text("OAuthIssuer"));
        FEditScope->setText(Text("OAuthScope"));
        FEditClientId->setText(Text("OAuthClientId"));
        FCheckKeepClientId->setChecked(!FEditClientId->text().isEmpty());
        if (Text("OAuthFlow") == QLatin1String("Device"))
            FRadioDevice->setChecked(true);
        // Kept across runs only when the person asked for it once; the choice is remembered.
        FCheckKeepRefresh->setChecked(Text("OAuthKeepRefresh") == QLatin1String("1"));
    } catch (const TSettingsError& Error) {
        TMessageBox::Error(parentWidget(), "Brieflotse - Einstellungen", Error.Message());
    }
}

void TTokenDialog::SaveSettings()
{
    // The client secret and every token stay out of the file.
    TSettingsKey Key(FSettings, SettingsPaths::Assist);
    if (!Key.IsOpen())
        return;
    FSettings.WriteString("OAuthProvider",
        FRadioGoogle->isChecked()      ? "Google"
            : FRadioOther->isChecked() ? "Other"
                                       : "Microsoft");
    FSettings.WriteString("OAuthTenant", FEditTenant->text().trimmed());
    FSettings.WriteString("OAuthIssuer", FEditIssuer->text().trimmed());
    FSettings.WriteString("OAuthScope", FEditScope->text().trimmed());
    FSettings.WriteString(
        "OAuthClientId", FCheckKeepClientId->isChecked() ? FEditClientId->text().trimmed() : QString());
    FSettings.WriteString("OAuthFlow", FRadioDevice->isChecked() ? "Device" : "Browser");
    if (FStoreAvailable)
        FSettings.WriteString("OAuthKeepRefresh", FCheckKeepRefresh->isChecked() ? "1" : "0");
    if (!Key.Close())
        TMessageBox::Error(this, "Brieflotse - Einstellungen", FSettings.TakeWriteProblem());
}

void TTokenDialog::Prepare(const QString& User)
{
    FUser = User.trimmed();
    FAccessToken.clear();
    FLabelUser->setText(FUser.isEmpty()
            ? QStringLiteral("Kein Name eingetragen: Der Anbieter fragt bei der Anmeldung danach.")
            : QStringLiteral("Token für: %1").arg(FUser));
    FTextSteps->clear();
    FLabelProblem->hide();
    FDevicePanel->hide();
    SetRunning(false);
    // Whether a keyring answers is asked once per run, off the GUI thread.
    if (!FStoreChecked && !FProbe.joinable()) {
        FProbe = std::thread([this] {
            std::string Reason;
            const bool Available = SecretStoreAvailable(&Reason);
            QMetaObject::invokeMethod(
                this, [this, Available, Reason] { StoreChecked(Available, FromUtf8(Reason)); }, Qt::QueuedConnection);
        });
    }
    (FEditClientId->text().isEmpty() ? FEditClientId : static_cast<QWidget*>(FButtonStart))->setFocus();
}

void TTokenDialog::StoreChecked(bool Available, const QString& Reason)
{
    FStoreChecked = true;
    FStoreAvailable = Available;
    FCheckKeepRefresh->setEnabled(Available && !FRunning);
    // Nothing can be kept: the box shows so, while the choice in the settings waits for a keyring.
    if (!Available)
        FCheckKeepRefresh->setChecked(false);
    FCheckKeepRefresh->setToolTip(Available
            ? QStringLiteral("Das Refresh-Token bleibt verschlüsselt im Schlüsselbund Ihrer Sitzung; beim nächsten "
                             "Mal holt Brieflotse damit ein frisches Zugriffs-Token ohne Browser.")
            : Reason);
}

void TTokenDialog::SetRunning(bool Running)
{
    FRunning = Running;
    for (QWidget* Field : std::initializer_list<QWidget*> { FRadioMicrosoft, FRadioGoogle, FRadioOther, FEditClientId,
             FEditClientSecret, FCheckKeepClientId, FRadioBrowser, FRadioDevice, FButtonStart })
        Field->setEnabled(!Running);
    FCheckKeepRefresh->setEnabled(!Running && FStoreAvailable);
    if (Running) {
        FEditTenant->setEnabled(false);
        FEditIssuer->setEnabled(false);
        FEditScope->setEnabled(false);
    } else {
        ProviderChanged();
    }
    FButtonCancel->setFocus();
    if (!Running)
        FButtonStart->setFocus();
}

void TTokenDialog::ButtonStartClick()
{
    if (FRunning)
        return;
    if (FEditClientId->text().trimmed().isEmpty()) {
        FLabelProblem->setText(QStringLiteral("Bitte geben Sie die Client-ID ein, die Ihnen der Anbieter für "
                                              "Brieflotse gegeben hat."));
        FLabelProblem->show();
        FEditClientId->setFocus();
        return;
    }
    if (FRadioOther->isChecked() && FEditIssuer->text().trimmed().isEmpty()) {
        FLabelProblem->setText(QStringLiteral("Bitte geben Sie die Adresse (Aussteller-URL) des Anbieters ein."));
        FLabelProblem->show();
        FEditIssuer->setFocus();
        return;
    }
    // A cancelled worker ends within a tenth of a second; it has to be gone
    // first. The keyring probe may still run: this sign-in then does without.
    if (FWorker.joinable())
        FWorker.join();
    SaveSettings();
    FTextSteps->clear();
    FLabelProblem->hide();
    FDevicePanel->hide();

    auto Job = std::make_shared<TJob>();
    Job->Provider = FRadioGoogle->isChecked() ? tpGoogle : FRadioOther->isChecked() ? tpOther : tpMicrosoft;
    Job->Tenant = ToUtf8(FEditTenant->text());
    Job->Issuer = ToUtf8(FEditIssuer->text());
    Job->Scope = ToUtf8(FEditScope->text());
    Job->Client.ClientId = ToUtf8(FEditClientId->text());
    Job->Client.ClientSecret = FEditClientSecret->text().toStdString();
    Job->Client.User = ToUtf8(FUser);
    Job->Device = FRadioDevice->isChecked();
    Job->UseKeyring = FStoreAvailable;
    Job->KeepRefresh = FStoreAvailable && FCheckKeepRefresh->isChecked();
    FJob = Job;
    const int JobId = ++FJobId;
    SetRunning(true);

    // Everything below runs on the worker; it reaches the dialog only through
    // queued calls, and the dialog joins it before it goes.
    FWorker = std::thread([this, Job, JobId, Tokens = FTokens] {
        TOAuthCallbacks Callbacks;
        Callbacks.Report = [this, JobId](const std::string& Text) {
            QMetaObject::invokeMethod(
                this, [this, JobId, Step = FromUtf8(Text)] { ShowStep(JobId, Step); }, Qt::QueuedConnection);
        };
        Callbacks.OpenBrowser = [](const std::string& Url) {
            const QStringList Command
                = TokenRules::BrowserCommand(qEnvironmentVariable("BRIEFLOTSE_BROWSER"), FromUtf8(Url));
            return QProcess::startDetached(Command.first(), Command.mid(1));
        };
        Callbacks.ShowDeviceCode = [this, JobId](const TDeviceCode& Code) {
            QMetaObject::invokeMethod(
                this, [this, JobId, Code] { ShowDeviceCode(JobId, Code); }, Qt::QueuedConnection);
        };
        const auto Finish = [this, JobId](const TOAuthResult& Result) {
            QMetaObject::invokeMethod(
                this, [this, JobId, Result] { JobFinished(JobId, Result); }, Qt::QueuedConnection);
        };
        const auto Fail = [&](const std::string& Problem) {
            TOAuthResult Result;
            Result.Outcome = Job->Cancel ? TOAuthOutcome::Cancelled : TOAuthOutcome::Failed;
            Result.Problem = Problem;
            Finish(Result);
        };

        TOAuthClient& Client = Job->Client;
        if (Job->Provider == tpMicrosoft) {
            Client.Endpoints = MicrosoftEndpoints(Job->Tenant);
        } else if (Job->Provider == tpGoogle) {
            Client.Endpoints = GoogleEndpoints();
        } else {
            const TDiscoveredEndpoints Found = DiscoverEndpoints(Job->Issuer, Job->Cancel, Callbacks);
            if (!Found.Ok)
                return Fail(Found.Problem);
            Client.Endpoints = Found.Endpoints;
            Client.Endpoints.Scope = Job->Scope;
        }

        // A token of this run, refreshed once when it ran out; else a kept refresh token.
        const std::optional<TOAuthToken> Before = Tokens->Find(Client);
        TOAuthResult Result = Tokens->FreshAccessToken(Client, Callbacks, Job->Cancel);
        if (Result.Outcome == TOAuthOutcome::Ok && Before && Before->AccessToken == Result.Token.AccessToken)
            Callbacks.Report("Das Zugriffs-Token dieser Sitzung ist noch gültig; es wird wiederverwendet.");
        const bool Renewed = !(Before && Before->AccessToken == Result.Token.AccessToken);
        if (Result.Outcome == TOAuthOutcome::SignInAgain && Job->KeepRefresh) {
            std::string Problem;
            const std::optional<std::string> Kept = LookUpRefreshToken(KeyringKey(Client), &Problem);
            if (Kept) {
                Callbacks.Report("Im Schlüsselbund liegt ein Refresh-Token für dieses Konto; Brieflotse erneuert "
                                 "damit das Zugriffs-Token, ohne Browser.");
                TOAuthToken Token;
                Token.RefreshToken = *Kept;
                Tokens->Put(Client, Token);
                Result = Tokens->FreshAccessToken(Client, Callbacks, Job->Cancel);
                // The provider refused it: it is of no further use.
                if (Result.Outcome == TOAuthOutcome::SignInAgain)
                    ForgetRefreshToken(KeyringKey(Client));
            } else if (!Problem.empty()) {
                Callbacks.Report(Problem);
            }
        }
        if (Result.Outcome == TOAuthOutcome::SignInAgain) {
            Result = Job->Device ? SignInWithDevice(Client, Callbacks, Job->Cancel)
                                 : SignInWithBrowser(Client, Callbacks, Job->Cancel);
            if (Result.Outcome == TOAuthOutcome::Ok)
                Tokens->Put(Client, Result.Token);
        }
        if (Result.Outcome == TOAuthOutcome::Ok && Job->UseKeyring) {
            std::string Problem;
            if (!Job->KeepRefresh) {
                // Not to be kept any longer: an entry of an earlier run goes.
                ForgetRefreshToken(KeyringKey(Client), &Problem);
            } else if (Renewed && !Result.Token.RefreshToken.empty()) {
                if (StoreRefreshToken(KeyringKey(Client), Result.Token.RefreshToken, &Problem))
                    Callbacks.Report("Das Refresh-Token liegt jetzt im Schlüsselbund.");
            }
            if (!Problem.empty())
                Callbacks.Report(Problem);
        }
        Finish(Result);
    });
}

void TTokenDialog::ShowStep(int JobId, const QString& Text)
{
    if (JobId != FJobId || !FRunning)
        return;
    FTextSteps->appendPlainText(Text);
    if (FLog)
        FLog->Append(TLogEntryKind::Note, "Brieflotse: Token holen: " + Text.toStdString());
}

void TTokenDialog::ShowDeviceCode(int JobId, const TDeviceCode& Code)
{
    if (JobId != FJobId || !FRunning)
        return;
    const QString Url = FromUtf8(Code.VerificationUri);
    FLabelDeviceUrl->setText(Url);
    FLabelDeviceCode->setText(FromUtf8(Code.UserCode));
    FDevicePanel->show();
}

void TTokenDialog::JobFinished(int JobId, const TOAuthResult& Result)
{
    if (JobId != FJobId || !FRunning)
        return;
    if (Result.Outcome == TOAuthOutcome::Ok)
        ShowStep(JobId, QStringLiteral("Das Zugriffs-Token steht verdeckt im Feld \"Token\" des Assistenten."));
    SetRunning(false);
    FDevicePanel->hide();
    if (Result.Outcome == TOAuthOutcome::Ok) {
        FAccessToken = FromUtf8(Result.Token.AccessToken);
        accept();
        return;
    }
    const QString Problem
        = Result.Problem.empty() ? QStringLiteral("Es wurde kein Token geholt.") : FromUtf8(Result.Problem);
    FLabelProblem->setText(Problem);
    FLabelProblem->show();
    if (FLog)
        FLog->Append(TLogEntryKind::Note, "Brieflotse: Token holen: " + Problem.toStdString());
}

void TTokenDialog::CancelFlow()
{
    if (FJob)
        FJob->Cancel = true;
    // The dialog is free at once; the worker's last posts are ignored.
    SetRunning(false);
    FDevicePanel->hide();
    FLabelProblem->setText(QStringLiteral("Abgebrochen: Es wurde kein Token geholt."));
    FLabelProblem->show();
    FTextSteps->appendPlainText(FLabelProblem->text());
    if (FLog)
        FLog->Append(TLogEntryKind::Note, "Brieflotse: Token holen: " + FLabelProblem->text().toStdString());
}

void TTokenDialog::reject()
{
    if (FRunning)
        return CancelFlow();
    QDialog::reject();
}

void TTokenDialog::closeEvent(QCloseEvent* Event)
{
    // The title bar's close button ends a waiting flow and the dialog together.
    if (FRunning)
        CancelFlow();
    QDialog::closeEvent(Event);
}

void TTokenDialog::done(int Result)
{
    SaveSettings();
    QDialog::done(Result);
}

void TTokenDialog::ForgetAccessToken()
{
    FAccessToken.fill(QLatin1Char('\0'));
    FAccessToken.clear();
}
