#include "dialogs/BrieflotseEdit.h"

#include "auth/Pop3Auth.h"
#include "conversation/GuidanceTexts.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "dialogs/TokenDialog.h"
#include "resources/Resources.h"
#include "settings/SettingsKey.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

// The mechanisms that take an OAuth token instead of a password.
bool UsesToken(const QString& Mechanism)
{
    return Mechanism == QLatin1String("XOAUTH2") || Mechanism == QLatin1String("OAUTHBEARER");
}

} // namespace

namespace EditRules {

namespace {

    QString WithArgument(const QString& Line, const QString& Argument)
    {
        return Argument.isEmpty() ? Line : Line + QLatin1Char(' ') + Argument;
    }
}

QString BuildCommandLine(QChar Kind, const TFields& Fields)
{
    switch (Kind.unicode()) {
    case 'U':
        return WithArgument("USER", Fields.User);
    case 'P':
        return WithArgument("PASS", Fields.Pass);
    case 'L':
        return WithArgument(Fields.Uidl ? "UIDL" : "LIST", Fields.List);
    case 'R':
        if (Fields.TopMode)
            return WithArgument(WithArgument("TOP", Fields.Retr), Fields.Top);
        return WithArgument("RETR", Fields.Retr);
    case 'D':
        return WithArgument("DELE", Fields.Dele);
    case 'S':
        return "STLS";
    case 'A':
        return "APOP " + Fields.User + " "
            + QString::fromStdString(ApopDigest(Fields.Timestamp.toStdString(), Fields.Pass.toStdString()));
    default:
        return QString();
    }
}

QString TitleWord(QChar Kind)
{
    switch (Kind.unicode()) {
    case 'U':
        return "USER";
    case 'P':
        return "PASS";
    case 'L':
        return "LIST";
    case 'R':
        return "RETR";
    case 'D':
        return "DELE";
    case 'S':
        return "STLS";
    case 'A':
        return "APOP";
    case 'H':
        return "AUTH";
    default:
        return QString();
    }
}

QString CommandWord(QChar Kind, const TFields& Fields)
{
    if (Kind == QLatin1Char('L') && Fields.Uidl)
        return "UIDL";
    if (Kind == QLatin1Char('R') && Fields.TopMode)
        return "TOP";
    return TitleWord(Kind);
}

bool AcceptsKey(QChar Char)
{
    const ushort Code = Char.unicode();
    return Code == 8 || (Code >= 32 && Code <= 127);
}

QString FilterText(const QString& Text)
{
    QString Result;
    Result.reserve(Text.size());
    for (const QChar Char : Text) {
        // Backspace passes as a key, but it is no character a field could hold.
        if (AcceptsKey(Char) && Char.unicode() != 8)
            Result.append(Char);
    }
    return Result;
}

QString FilterDigits(const QString& Text)
{
    QString Result;
    for (const QChar Char : Text) {
        if (Char >= QLatin1Char('0') && Char <= QLatin1Char('9'))
            Result.append(Char);
    }
    return Result;
}

} // namespace EditRules

TKeyFilterValidator::TKeyFilterValidator(QObject* Parent, bool DigitsOnly)
    : QValidator(Parent)
    , FFilter(DigitsOnly ? EditRules::FilterDigits : EditRules::FilterText)
{
}

QValidator::State TKeyFilterValidator::validate(QString& Input, int& Pos) const
{
    const QString Filtered = FFilter(Input);
    if (Filtered.size() != Input.size()) {
        // Keep the caret behind what was typed or pasted, minus what was dropped.
        Pos = FFilter(Input.left(Pos)).size();
        Input = Filtered;
    }
    return Acceptable;
}

namespace {

// The label a panel shows before a field.
QLabel* CaptionOf(QWidget* Panel, QWidget* Edit)
{
    for (QLabel* Label : Panel->findChildren<QLabel*>())
        if (Label->buddy() == Edit)
            return Label;
    return nullptr;
}

} // namespace

const QString& TPOP3Edit::SettingsKey = SettingsPaths::Assist;

TPOP3Edit::TPOP3Edit(TSettingsStore& Settings, QWidget* Parent)
    : QDialog(Parent,
        Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::CustomizeWindowHint)
    , FSettings(Settings)
{
    setObjectName("POP3Edit");
    FormCreate();
}

QLineEdit* TPOP3Edit::NewEdit(const char* Name, bool DigitsOnly)
{
    auto* Edit = new QLineEdit(this);
    Edit->setObjectName(Name);
    Edit->setMaxLength(64);
    Edit->setValidator(new TKeyFilterValidator(Edit, DigitsOnly));
    return Edit;
}

QWidget* TPOP3Edit::BuildPanel(const char* Name, const QString& Prompt, const QString& Caption, QWidget* Edit,
    QWidget* Extra, const QString& ExtraCaption)
{
    auto* Panel = new QWidget(FPanels);
    Panel->setObjectName(Name);
    auto* Text = new QLabel(Prompt, Panel);
    Text->setWordWrap(true);
    Text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* Label = new QLabel(Caption, Panel);
    Label->setBuddy(Edit);
    auto* Row = new QHBoxLayout;
    Row->addWidget(Label);
    Row->addWidget(Edit, 1);
    if (!ExtraCaption.isEmpty()) {
        auto* ExtraLabel = new QLabel(ExtraCaption, Panel);
        ExtraLabel->setBuddy(Extra);
        Row->addWidget(ExtraLabel);
    }
    if (Extra)
        Row->addWidget(Extra, 1);
    auto* Column = new QVBoxLayout(Panel);
    Column->setContentsMargins(0, 0, 0, 0);
    Column->addWidget(Text);
    Column->addLayout(Row);
    FPanels->addWidget(Panel);
    return Panel;
}

void TPOP3Edit::FormCreate()
{
    setWindowIcon(BrieflotseMainIcon());

    FIconDisplay = new QLabel(this);
    FIconDisplay->setObjectName("IconDisplay");
    FIconDisplay->setPixmap(QIcon(BrieflotsePictures::MainIcon).pixmap(32, 32));
    FIconDisplay->setFixedSize(32, 32);

    FPanels = new QStackedWidget(this);
    // About 56 average characters: the panel width of the original layout.
    FPanels->setFixedWidth(fontMetrics().averageCharWidth() * 56);

    FEditUSER = NewEdit("EditUSER");
    FEditPASS = NewEdit("EditPASS");
    FEditLIST = NewEdit("EditLIST", true);
    FEditRETR = NewEdit("EditRETR", true);
    FEditTOP = NewEdit("EditTOP", true);
    FEditDELE = NewEdit("EditDELE", true);
    FEditTOP->setAccessibleName(QStringLiteral("Anzahl der Zeilen"));
    FEditTOP->setAccessibleDescription(QStringLiteral("Wie viele Zeilen des Textes TOP nach dem Kopf abruft"));

    FPanelUSER = BuildPanel("PanelUSER",
        QStringLiteral("Bitte geben Sie den Namen des Anwenders ein, auf dessen Mailbox Sie "
                       "zugreifen möchten:"),
        "&USER", FEditUSER);
    FPanelPASS = BuildPanel("PanelPASS",
        QStringLiteral("Bitte geben Sie das Paßwort ein, das Sie zur Anmeldung verwenden möchten:"), "&PASS",
        FEditPASS);
    FPanelLIST = BuildPanel("PanelLIST",
        QStringLiteral("Bitte geben Sie die Nummer der Nachricht ein, deren Daten Sie listen "
                       "lassen möchten (leer = alle):"),
        "&LIST", FEditLIST);
    FPanelRETR = BuildPanel("PanelRETR",
        QStringLiteral("Bitte geben Sie die Nummer der Nachricht ein, die Sie abrufen möchten "
                       "(sowie bei TOP die Anzahl der Zeilen):"),
        "&RETR", FEditRETR, FEditTOP, QStringLiteral("Zei&len"));
    FPanelDELE = BuildPanel("PanelDELE",
        QStringLiteral("Bitte geben Sie die Nummer der Nachricht ein, die Sie als gelöscht "
                       "markieren möchten:"),
        "&DELE", FEditDELE);

    // STLS takes no argument: the panel only says what it does.
    FPanelSTLS = new QWidget(FPanels);
    FPanelSTLS->setObjectName("PanelSTLS");
    auto* StlsText = new QLabel(
        QStringLiteral("STLS bittet den Server, diese Verbindung jetzt auf TLS-Verschlüsselung umzustellen. Antwortet "
                       "er mit \"+OK\", handelt Brieflotse TLS aus und prüft sein Zertifikat; danach gehen auch Name "
                       "und Paßwort verschlüsselt über das Netz. Senden Sie STLS vor USER und PASS."),
        FPanelSTLS);
    StlsText->setWordWrap(true);
    auto* StlsColumn = new QVBoxLayout(FPanelSTLS);
    StlsColumn->setContentsMargins(0, 0, 0, 0);
    StlsColumn->addWidget(StlsText);
    FPanels->addWidget(FPanelSTLS);

    FRadioLIST = new QRadioButton("LIST - &Bytezahl(en) der Nachricht(en) listen", FPanelLIST);
    FRadioLIST->setObjectName("RadioLIST");
    FRadioUIDL = new QRadioButton("UIDL - &Kennung(en) der Nachricht(en) listen", FPanelLIST);
    FRadioUIDL->setObjectName("RadioUIDL");
    FRadioRETR = new QRadioButton("RETR - &Komplette Nachricht abrufen", FPanelRETR);
    FRadioRETR->setObjectName("RadioRETR");
    FRadioTOP = new QRadioButton("TOP - Header und einige &Zeilen abrufen", FPanelRETR);
    FRadioTOP->setObjectName("RadioTOP");
    for (QWidget* Panel : { FPanelLIST, FPanelRETR }) {
        auto* Column = static_cast<QVBoxLayout*>(Panel->layout());
        auto* Group = new QButtonGroup(Panel);
        for (QRadioButton* Radio : Panel->findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly)) {
            Column->addWidget(Radio);
            Group->addButton(Radio);
        }
    }
    BuildLoginPanels();
    for (QWidget* Panel :
        { FPanelUSER, FPanelPASS, FPanelLIST, FPanelRETR, FPanelDELE, FPanelSTLS, FPanelAPOP, FPanelAUTH })
        static_cast<QVBoxLayout*>(Panel->layout())->addStretch(1);
    FRadioLIST->setChecked(true);
    FRadioRETR->setChecked(true);

    // A disabled line count looks like the dialog background, as it is not to be filled in.
    QPalette Palette = FEditTOP->palette();
    Palette.setColor(QPalette::Disabled, QPalette::Base, Palette.color(QPalette::Active, QPalette::Button));
    FEditTOP->setPalette(Palette);
    connect(FRadioTOP, &QRadioButton::toggled, this, &TPOP3Edit::RadioRETRClick);
    RadioRETRClick();
    FCaptionLIST = CaptionOf(FPanelLIST, FEditLIST);
    FCaptionRETR = CaptionOf(FPanelRETR, FEditRETR);
    for (QRadioButton* Radio : { FRadioUIDL, FRadioTOP })
        connect(Radio, &QRadioButton::toggled, this, &TPOP3Edit::ShowCommandWord);

    FButtonSend = new QPushButton("Senden", this);
    FButtonSend->setObjectName("ButtonSend");
    FButtonSend->setDefault(true);
    FButtonSend->setAutoDefault(true);
    FButtonCancel = new QPushButton("Abbrechen", this);
    FButtonCancel->setObjectName("ButtonCancel");
    FButtonCancel->setAutoDefault(false);
    FButtonSend->setAccessibleDescription(QStringLiteral("Sendet das Kommando an den Server"));
    FButtonCancel->setAccessibleDescription(QStringLiteral("Schließt den Assistenten, ohne etwas zu senden"));
    connect(FButtonSend, &QPushButton::clicked, this, &TPOP3Edit::ButtonSendClick);
    connect(FButtonCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(FButtonSend);
    Buttons->addWidget(FButtonCancel);

    auto* Grid = new QGridLayout(this);
    Grid->setContentsMargins(16, 8, 16, 14);
    Grid->setHorizontalSpacing(16);
    // The icon sits a little lower than the panel's text, as in the original layout.
    auto* IconColumn = new QVBoxLayout;
    IconColumn->addSpacing(8);
    IconColumn->addWidget(FIconDisplay);
    IconColumn->addStretch(1);
    Grid->addLayout(IconColumn, 0, 0);
    Grid->addWidget(FPanels, 0, 1);
    Grid->addLayout(Buttons, 1, 0, 1, 2);
    Grid->setSizeConstraint(QLayout::SetFixedSize);

    for (QWidget* Panel :
        { FPanelUSER, FPanelPASS, FPanelLIST, FPanelRETR, FPanelDELE, FPanelSTLS, FPanelAPOP, FPanelAUTH })
        Panel->hide();
    LoadSettings();
}

void TPOP3Edit::LoadSettings()
{
    // Applied in table order; a value of the wrong kind stops the rest, which keep their defaults.
    try {
        TSettingsKey Key(FSettings, SettingsKey);
        if (!Key.IsOpen())
            return;
        if (FSettings.ValueExists("UserName"))
            FEditUSER->setText(FSettings.ReadString("UserName"));
        if (FSettings.ValueExists("PassWord"))
            FEditPASS->setText(FSettings.ReadString("PassWord"));
        if (FSettings.ValueExists("ListMode") && FSettings.ReadString("ListMode") == QLatin1String("UIDL"))
            FRadioUIDL->setChecked(true);
        if (FSettings.ValueExists("RetrMode") && FSettings.ReadString("RetrMode") == QLatin1String("TOP"))
            FRadioTOP->setChecked(true);
        if (FSettings.ValueExists("TopNum"))
            FEditTOP->setText(FSettings.ReadString("TopNum"));
        if (FSettings.ValueExists("AuthMech")) {
            const int Index = FComboMechanism->findText(FSettings.ReadString("AuthMech"));
            if (Index >= 0)
                FComboMechanism->setCurrentIndex(Index);
        }
    } catch (const TSettingsError& Error) {
        TMessageBox::Error(parentWidget(), "Brieflotse - Einstellungen", Error.Message());
    }
}

void TPOP3Edit::SaveSettings()
{
    TSettingsKey Key(FSettings, SettingsKey);
    if (!Key.IsOpen())
        return;
    FSettings.WriteString("UserName", FEditUSER->text());
    FSettings.WriteString("PassWord", FHidePasswords ? QString() : FEditPASS->text());
    FSettings.WriteString("ListMode", FRadioUIDL->isChecked() ? "UIDL" : "LIST");
    FSettings.WriteString("RetrMode", FRadioTOP->isChecked() ? "TOP" : "RETR");
    FSettings.WriteString("TopNum", FEditTOP->text());
    FSettings.WriteString("AuthMech", FComboMechanism->currentText());
    if (!Key.Close())
        TMessageBox::Error(this, "Brieflotse - Einstellungen", FSettings.TakeWriteProblem());
}

void TPOP3Edit::done(int Result)
{
    SaveSettings();
    QDialog::done(Result);
}

void TPOP3Edit::Prepare(QChar Kind, QWidget* MainWindow)
{
    FCommandLine.clear();
    FCommandKind = Kind;

    for (QWidget* Panel :
        { FPanelUSER, FPanelPASS, FPanelLIST, FPanelRETR, FPanelDELE, FPanelSTLS, FPanelAPOP, FPanelAUTH })
        Panel->hide();
    FButtonSend->setEnabled(true);
    QWidget* Panel = nullptr;
    QLineEdit* Focus = nullptr;
    switch (Kind.unicode()) {
    case 'U':
        Panel = FPanelUSER;
        Focus = FEditUSER;
        break;
    case 'P':
        Panel = FPanelPASS;
        Focus = FEditPASS;
        break;
    case 'L':
        Panel = FPanelLIST;
        Focus = FEditLIST;
        FEditLIST->clear();
        break;
    case 'R':
        Panel = FPanelRETR;
        Focus = FEditRETR;
        FEditRETR->clear();
        break;
    case 'D':
        Panel = FPanelDELE;
        Focus = FEditDELE;
        FEditDELE->clear();
        break;
    case 'S':
        Panel = FPanelSTLS;
        break;
    case 'A':
        Panel = FPanelAPOP;
        Focus = FEditAPOPUser;
        PrepareApop();
        break;
    case 'H':
        Panel = FPanelAUTH;
        Focus = FEditAuthUser;
        PrepareAuth();
        break;
    default:
        break;
    }
    ShowCommandWord();
    if (Panel) {
        FPanels->setCurrentWidget(Panel);
        Panel->show();
        if (Focus) {
            Focus->setFocus();
            Focus->selectAll();
        }
    }
    DialogPlacement::CentreOver(this, MainWindow);
}

void TPOP3Edit::ChooseSecondVariant(QChar Kind)
{
    if (Kind == QLatin1Char('L'))
        FRadioUIDL->setChecked(true);
    else if (Kind == QLatin1Char('R'))
        FRadioTOP->setChecked(true);
}

void TPOP3Edit::SetLogInName(const QString& User, const QString& Mechanism)
{
    for (QLineEdit* Edit : { FEditUSER, FEditAPOPUser, FEditAuthUser })
        Edit->setText(User);
    const int Index = FComboMechanism->findText(Mechanism);
    if (Index >= 0)
        FComboMechanism->setCurrentIndex(Index);
    // Remembered like a name typed into the panel.
    SaveSettings();
}

void TPOP3Edit::SetHidePasswords(bool Hide)
{
    FHidePasswords = Hide;
    for (QLineEdit* Edit : { FEditPASS, FEditAPOPPass, FEditAuthSecret, FEditAuthToken })
        Edit->setEchoMode(Hide ? QLineEdit::Password : QLineEdit::Normal);
    ShowTokenMasked();
}

void TPOP3Edit::ShowTokenMasked()
{
    // A fetched token is masked whatever the setting: nobody typed it, nobody needs to read it.
    if (FTokenFetched)
        FEditAuthToken->setEchoMode(QLineEdit::Password);
}

void TPOP3Edit::SetLog(TLogSink* Log)
{
    FLog = Log;
    if (FTokenDialog)
        FTokenDialog->SetLog(Log);
}

void TPOP3Edit::ButtonFetchTokenClick()
{
    if (!FTokenDialog) {
        FTokenDialog = new TTokenDialog(FSettings, this);
        FTokenDialog->SetLog(FLog);
    }
    FTokenDialog->Prepare(FEditAuthUser->text());
    DialogPlacement::CentreOver(FTokenDialog, this);
    if (FTokenDialog->exec() != QDialog::Accepted)
        return;
    FEditAuthToken->setText(FTokenDialog->AccessToken());
    FTokenDialog->ForgetAccessToken();
    FTokenFetched = true;
    ShowTokenMasked();
    FButtonSend->setFocus();
}

bool TPOP3Edit::Execute(QChar Kind, QWidget* MainWindow)
{
    Prepare(Kind, MainWindow);
    return exec() == QDialog::Accepted;
}

EditRules::TFields TPOP3Edit::CurrentFields() const
{
    EditRules::TFields Fields;
    Fields.User = FEditUSER->text();
    Fields.Pass = FEditPASS->text();
    Fields.List = FEditLIST->text();
    Fields.Retr = FEditRETR->text();
    Fields.Top = FEditTOP->text();
    Fields.Dele = FEditDELE->text();
    Fields.Uidl = FRadioUIDL->isChecked();
    Fields.TopMode = FRadioTOP->isChecked();
    if (FCommandKind == QLatin1Char('A')) {
        Fields.User = FEditAPOPUser->text();
        Fields.Pass = FEditAPOPPass->text();
        Fields.Timestamp = FFacts.Timestamp;
    }
    return Fields;
}

void TPOP3Edit::ButtonSendClick()
{
    if (FCommandKind == QLatin1Char('H') && !ClearTextAllowed())
        return;
    // One account: a name and password given for APOP or AUTH are offered for USER and PASS too.
    if (FCommandKind == QLatin1Char('A')) {
        FEditUSER->setText(FEditAPOPUser->text());
        FEditPASS->setText(FEditAPOPPass->text());
    } else if (FCommandKind == QLatin1Char('H')) {
        FEditUSER->setText(FEditAuthUser->text());
        if (!UsesToken(FComboMechanism->currentText()))
            FEditPASS->setText(FEditAuthSecret->text());
    }
    FCommandLine = FCommandKind == QLatin1Char('H') ? "AUTH " + FComboMechanism->currentText()
                                                    : EditRules::BuildCommandLine(FCommandKind, CurrentFields());
    accept();
}

TSaslRequest TPOP3Edit::SaslRequest() const
{
    const QString Mechanism = FComboMechanism->currentText();
    const bool Token = UsesToken(Mechanism);
    const QLineEdit* Secret = Token ? FEditAuthToken : FEditAuthSecret;
    return { Mechanism, FEditAuthUser->text(), Secret->text(), Token && FCheckTwoSteps->isChecked(),
        Token && FTokenFetched };
}

void TPOP3Edit::BuildLoginPanels()
{
    FEditAPOPUser = NewEdit("EditAPOPUser");
    FEditAPOPPass = NewEdit("EditAPOPPass");
    FPanelAPOP = BuildPanel("PanelAPOP", QString(), "&Name", FEditAPOPUser);
    FApopText = FPanelAPOP->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    FApopText->setObjectName("ApopText");
    auto* PassLabel = new QLabel(QStringLiteral("Pa&ßwort"), FPanelAPOP);
    PassLabel->setBuddy(FEditAPOPPass);
    auto* PassRow = new QHBoxLayout;
    PassRow->addWidget(PassLabel);
    PassRow->addWidget(FEditAPOPPass, 1);
    static_cast<QVBoxLayout*>(FPanelAPOP->layout())->addLayout(PassRow);

    FComboMechanism = new QComboBox;
    FComboMechanism->setObjectName("ComboMechanism");
    FComboMechanism->addItems({ "PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER" });
    FPanelAUTH = BuildPanel("PanelAUTH",
        QStringLiteral("Bitte wählen Sie das Anmeldeverfahren und geben Sie Name und Paßwort (bei XOAUTH2 und "
                       "OAUTHBEARER das Token) "
                       "ein. Brieflotse rechnet die Antworten auf die Fragen des Servers aus und erklärt jeden Schritt "
                       "im Protokoll."),
        "&Verfahren", FComboMechanism);
    FEditAuthUser = NewEdit("EditAuthUser");
    FEditAuthSecret = NewEdit("EditAuthSecret");
    FEditAuthToken = NewEdit("EditAuthToken");
    // An OAuth token is much longer than a password.
    FEditAuthToken->setMaxLength(4096);
    auto* Rows = new QGridLayout;
    auto* UserLabel = new QLabel(QStringLiteral("&Name"), FPanelAUTH);
    UserLabel->setBuddy(FEditAuthUser);
    FAuthSecretLabel = new QLabel(FPanelAUTH);
    Rows->addWidget(UserLabel, 0, 0);
    Rows->addWidget(FEditAuthUser, 0, 1, 1, 2);
    Rows->addWidget(FAuthSecretLabel, 1, 0);
    // One of the two shows, as the mechanism asks for a password or a token.
    Rows->addWidget(FEditAuthSecret, 1, 1, 1, 2);
    Rows->addWidget(FEditAuthToken, 1, 1);
    FButtonFetchToken = new QPushButton(QStringLiteral("Token &holen ..."), FPanelAUTH);
    FButtonFetchToken->setObjectName("ButtonFetchToken");
    FButtonFetchToken->setAutoDefault(false);
    FButtonFetchToken->setToolTip(QStringLiteral("Holt ein Zugriffs-Token bei Microsoft, Google oder einem anderen "
                                                 "Anbieter (OAuth2)"));
    connect(FButtonFetchToken, &QPushButton::clicked, this, &TPOP3Edit::ButtonFetchTokenClick);
    Rows->addWidget(FButtonFetchToken, 1, 2);
    // Typed or pasted by hand: shown as the setting says.
    connect(FEditAuthToken, &QLineEdit::textEdited, this, [this] {
        FTokenFetched = false;
        FEditAuthToken->setEchoMode(FHidePasswords ? QLineEdit::Password : QLineEdit::Normal);
    });
    // Microsoft's servers want the token only after their empty "+ ".
    FCheckTwoSteps = new QCheckBox(QStringLiteral("In zwei &Schritten (Token erst nach \"+ \" des Servers)"));
    FCheckTwoSteps->setObjectName("CheckTwoSteps");
    Rows->addWidget(FCheckTwoSteps, 2, 0, 1, 3);
    auto* AuthColumn = static_cast<QVBoxLayout*>(FPanelAUTH->layout());
    AuthColumn->addLayout(Rows);
    FAuthWarning = new QLabel(FPanelAUTH);
    FAuthWarning->setObjectName("AuthWarning");
    FAuthWarning->setWordWrap(true);
    QPalette Red = FAuthWarning->palette();
    Red.setColor(QPalette::WindowText, Qt::red);
    FAuthWarning->setPalette(Red);
    AuthColumn->addWidget(FAuthWarning);
    connect(FComboMechanism, &QComboBox::currentIndexChanged, this, &TPOP3Edit::MechanismChanged);
    MechanismChanged();
}

namespace {

bool SendsPasswordInClear(const QString& Mechanism)
{
    return Mechanism == QLatin1String("PLAIN") || Mechanism == QLatin1String("LOGIN");
}

} // namespace

void TPOP3Edit::PrepareApop()
{
    if (FEditAPOPUser->text().isEmpty())
        FEditAPOPUser->setText(FEditUSER->text());
    if (FEditAPOPPass->text().isEmpty())
        FEditAPOPPass->setText(FEditPASS->text());
    const bool Offered = !FFacts.Timestamp.isEmpty();
    FApopText->setText(Offered
            ? QStringLiteral("Der Server hat in seiner Begrüßung den Zeitstempel %1 genannt. Brieflotse bildet daraus "
                             "und aus Ihrem Paßwort eine MD5-Prüfsumme und sendet nur diese; das Paßwort selbst geht "
                             "nicht über die Leitung.")
                  .arg(FFacts.Timestamp)
            : FFacts.TimestampTooLong
            ? QString::fromStdString(ApopTimestampTooLongText())
            : QStringLiteral("Der Server hat in seiner Begrüßung keinen Zeitstempel <...> genannt: Er bietet APOP "
                             "nicht an. Melden Sie sich mit USER und PASS oder mit AUTH an."));
    FButtonSend->setEnabled(Offered);
}

void TPOP3Edit::PrepareAuth()
{
    if (FEditAuthUser->text().isEmpty())
        FEditAuthUser->setText(FEditUSER->text());
    if (FEditAuthSecret->text().isEmpty())
        FEditAuthSecret->setText(FEditPASS->text());
    MechanismChanged();
}

void TPOP3Edit::MechanismChanged()
{
    const QString Mechanism = FComboMechanism->currentText();
    const bool Token = UsesToken(Mechanism);
    FCheckTwoSteps->setVisible(Token);
    FAuthSecretLabel->setText(Token ? QStringLiteral("&Token") : QStringLiteral("Pa&ßwort"));
    FAuthSecretLabel->setBuddy(Token ? FEditAuthToken : FEditAuthSecret);
    FEditAuthSecret->setVisible(!Token);
    FEditAuthToken->setVisible(Token);
    FButtonFetchToken->setVisible(Token);
    QStringList Notes;
    if (!FFacts.Mechanisms.isEmpty() && !FFacts.Mechanisms.contains(Mechanism))
        Notes << QStringLiteral("Der Server nennt %1 nicht unter SASL (CAPA).").arg(Mechanism);
    if (SendsPasswordInClear(Mechanism) && !FFacts.Encrypted && !IsThisMachine(FFacts.PeerAddress.toStdString()))
        Notes << QStringLiteral("Achtung: Die Verbindung ist nicht verschlüsselt, und %1 sendet das Paßwort nur "
                                "Base64-kodiert, für jeden Mitleser lesbar.")
                     .arg(Mechanism);
    FAuthWarning->setText(Notes.join(QLatin1Char(' ')));
    FAuthWarning->setVisible(!Notes.isEmpty());
}

bool TPOP3Edit::ClearTextAllowed()
{
    const QString Mechanism = FComboMechanism->currentText();
    if (!SendsPasswordInClear(Mechanism) || FFacts.Encrypted || IsThisMachine(FFacts.PeerAddress.toStdString()))
        return true;
    return TMessageBox::AskYesNo(this, QStringLiteral("Brieflotse - Unverschlüsselt"),
        QStringLiteral("Die Verbindung zu \"%1\" ist nicht verschlüsselt. %2 sendet Ihr Paßwort nur Base64-kodiert; "
                       "jeder, der die Verbindung mitliest, kann es zurückgewinnen.\n\nSenden Sie zuerst STLS oder "
                       "verbinden Sie sich mit \"pop3s://\". Trotzdem jetzt senden?")
            .arg(FFacts.TargetHost, Mechanism));
}

void TPOP3Edit::RadioRETRClick()
{
    FEditTOP->setEnabled(FRadioTOP->isChecked());
}

void TPOP3Edit::ShowCommandWord()
{
    const EditRules::TFields Fields = CurrentFields();
    FCaptionLIST->setText(QLatin1Char('&') + EditRules::CommandWord('L', Fields));
    FCaptionRETR->setText(QLatin1Char('&') + EditRules::CommandWord('R', Fields));
    setWindowTitle(QStringLiteral("Brieflotse - %1").arg(EditRules::CommandWord(FCommandKind, Fields)));
}
