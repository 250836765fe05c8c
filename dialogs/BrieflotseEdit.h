#pragma once

// The command assistant: asks for the arguments of USER, PASS, LIST/UIDL,
// RETR/TOP and DELE and hands back the finished command line. It sends
// nothing itself. It is created once and only hidden between uses, so fields
// and choices carry over; the user name, password, both variants and the TOP
// line count are also remembered in the settings store.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QValidator>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class TSettingsStore;

// What the assistant decides, without any widget.
namespace EditRules {

struct TFields {
    QString User;
    QString Pass;
    QString List;
    QString Retr;
    QString Top;
    QString Dele;
    bool Uidl = false;
    bool TopMode = false;
    QString Timestamp; // APOP: the one of the greeting
};

// The command line for a kind 'U', 'P', 'L', 'R', 'D', 'S' (STLS) or 'A'
// (APOP, with the digest worked out from Timestamp). Field texts are taken
// verbatim; an empty field adds nothing, a filled one a blank and its text.
QString BuildCommandLine(QChar Kind, const TFields& Fields);
// "USER", "PASS", "LIST", "RETR", "DELE", "STLS", "APOP" or "AUTH": the word in the dialog's title.
QString TitleWord(QChar Kind);
// The word the line of a kind starts with: the title word, but UIDL and TOP
// where they are chosen instead of LIST and RETR.
QString CommandWord(QChar Kind, const TFields& Fields);
// The key filter of every free-text field: backspace and codes 32 to 127.
bool AcceptsKey(QChar Char);
// What is left of pasted or otherwise inserted text after the key filter.
QString FilterText(const QString& Text);
// The same for a number field: digits only.
QString FilterDigits(const QString& Text);

} // namespace EditRules

// Applies the key filter to whatever reaches a line edit: typing, pasting,
// input methods. Dropping the characters keeps the rest of a paste.
class TKeyFilterValidator : public QValidator {
    Q_OBJECT
public:
    explicit TKeyFilterValidator(QObject* Parent = nullptr, bool DigitsOnly = false);
    State validate(QString& Input, int& Pos) const override;

private:
    QString (*FFilter)(const QString&);
};

// What the assistant needs to know of the connection for APOP and AUTH.
struct TConnectionFacts {
    QString Timestamp; // of the greeting; empty: APOP is not offered
    bool TimestampTooLong = false; // the greeting has one, too long to be used
    bool Encrypted = false;
    QString TargetHost;
    QString PeerAddress; // numeric, connected to: decides whether a clear password crosses a network
    QStringList Mechanisms; // named by the server under SASL in its CAPA answer
};

// The log-in chosen in the AUTH panel; the window runs the exchange.
struct TSaslRequest {
    QString Mechanism; // "PLAIN", "LOGIN", "CRAM-MD5", "SCRAM-SHA-256", "XOAUTH2" or "OAUTHBEARER"
    QString User;
    QString Secret; // password, or the token for XOAUTH2 and OAUTHBEARER (never one for the other)
    bool TwoSteps = false; // a token mechanism without the initial response on the AUTH line
    // The token came from "Token holen": it never shows, not in the log nor in the command history.
    bool TokenFetched = false;
};

class QCheckBox;
class TLogSink;
class TTokenDialog;

class TPOP3Edit : public QDialog {
    Q_OBJECT
public:
    // Loads the remembered entries from the store at once.
    explicit TPOP3Edit(TSettingsStore& Settings, QWidget* Parent = nullptr);

    // Shows the panel of the kind modally, centred over the main window. True
    // when "Senden" closed it; CommandLine() then holds the line to send.
    bool Execute(QChar Kind, QWidget* MainWindow);
    // Everything Execute does before running modally; tests show the dialog
    // themselves after this.
    void Prepare(QChar Kind, QWidget* MainWindow);

    // With passwords hidden the password field is masked and its value is
    // not remembered on disk.
    void SetHidePasswords(bool Hide);

    // Where "Token holen" writes its steps: the window's protocol log.
    void SetLog(TLogSink* Log);

    // Before APOP and AUTH: what the window knows of the connection.
    void SetConnectionFacts(const TConnectionFacts& Facts) { FFacts = Facts; }
    // Selects UIDL ('L') or TOP ('R') for the next use of that page.
    void ChooseSecondVariant(QChar Kind);
    // A user name from a pop3:// address: the USER, APOP and AUTH panels
    // offer it, AUTH with Mechanism when the assistant knows it.
    void SetLogInName(const QString& User, const QString& Mechanism);
    // After "Senden" on the AUTH panel.
    TSaslRequest SaslRequest() const;

    QString CommandLine() const { return FCommandLine; }
    QChar CommandKind() const { return FCommandKind; }

    // Saves the remembered entries at every closing, whatever the result.
    void done(int Result) override;

    static const QString& SettingsKey;

private:
    bool FHidePasswords = false; // the main window tells before each use
    void FormCreate();
    void LoadSettings();
    void SaveSettings();
    void ButtonSendClick();
    void RadioRETRClick();
    // Caption and title name the command "Senden" will send: LIST or UIDL, RETR or TOP.
    void ShowCommandWord();
    void BuildLoginPanels();
    void PrepareApop();
    void PrepareAuth();
    void MechanismChanged();
    // "Token holen ...": the token dialog, created at its first use.
    void ButtonFetchTokenClick();
    void ShowTokenMasked();
    // PLAIN and LOGIN send the password as Base64 only: over an unencrypted
    // connection to another machine the user confirms first.
    bool ClearTextAllowed();
    QWidget* BuildPanel(const char* Name, const QString& Prompt, const QString& Caption, QWidget* Edit,
        QWidget* Extra = nullptr, const QString& ExtraCaption = QString());
    QLineEdit* NewEdit(const char* Name, bool DigitsOnly = false);
    EditRules::TFields CurrentFields() const;

    TSettingsStore& FSettings;
    QString FCommandLine;
    QChar FCommandKind = QLatin1Char('U');

    QLabel* FIconDisplay = nullptr;
    QStackedWidget* FPanels = nullptr;
    QWidget* FPanelUSER = nullptr;
    QWidget* FPanelPASS = nullptr;
    QWidget* FPanelLIST = nullptr;
    QWidget* FPanelRETR = nullptr;
    QWidget* FPanelDELE = nullptr;
    QWidget* FPanelSTLS = nullptr;
    QWidget* FPanelAPOP = nullptr;
    QWidget* FPanelAUTH = nullptr;
    QLabel* FApopText = nullptr;
    QLabel* FAuthWarning = nullptr;
    QLabel* FAuthSecretLabel = nullptr;
    QLabel* FCaptionLIST = nullptr;
    QLabel* FCaptionRETR = nullptr;
    QLineEdit* FEditAPOPUser = nullptr;
    QLineEdit* FEditAPOPPass = nullptr;
    QComboBox* FComboMechanism = nullptr;
    QLineEdit* FEditAuthUser = nullptr;
    QLineEdit* FEditAuthSecret = nullptr; // the password
    QLineEdit* FEditAuthToken = nullptr; // XOAUTH2 and OAUTHBEARER only
    QCheckBox* FCheckTwoSteps = nullptr; // likewise
    QPushButton* FButtonFetchToken = nullptr; // likewise
    TTokenDialog* FTokenDialog = nullptr;
    TLogSink* FLog = nullptr;
    bool FTokenFetched = false; // the token field holds what "Token holen" fetched
    TConnectionFacts FFacts;
    QLineEdit* FEditUSER = nullptr;
    QLineEdit* FEditPASS = nullptr;
    QLineEdit* FEditLIST = nullptr;
    QLineEdit* FEditRETR = nullptr;
    QLineEdit* FEditTOP = nullptr;
    QLineEdit* FEditDELE = nullptr;
    QRadioButton* FRadioLIST = nullptr;
    QRadioButton* FRadioUIDL = nullptr;
    QRadioButton* FRadioRETR = nullptr;
    QRadioButton* FRadioTOP = nullptr;
    QPushButton* FButtonSend = nullptr;
    QPushButton* FButtonCancel = nullptr;
};
