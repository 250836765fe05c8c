#pragma once

// The command assistant: asks for the arguments of USER, PASS, LIST/UIDL,
// RETR/TOP and DELE and hands back the finished command line. It sends
// nothing itself. It is created once and only hidden between uses, so fields
// and choices carry over; the user name, password, both variants and the TOP
// line count are also remembered in the settings store.

#include <QDialog>
#include <QString>
#include <QValidator>

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
};

// The command line for a kind 'U', 'P', 'L', 'R', 'D' or 'S' (STLS). Field texts are taken
// verbatim; an empty field adds nothing, a filled one a blank and its text.
QString BuildCommandLine(QChar Kind, const TFields& Fields);
// "USER", "PASS", "LIST", "RETR" or "DELE": the word in the dialog's title.
QString TitleWord(QChar Kind);
// The key filter of every free-text field: backspace and codes 32 to 127.
bool AcceptsKey(QChar Char);
// What is left of pasted or otherwise inserted text after the key filter.
QString FilterText(const QString& Text);

} // namespace EditRules

// Applies the key filter to whatever reaches a line edit: typing, pasting,
// input methods. Dropping the characters keeps the rest of a paste.
class TKeyFilterValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString& Input, int& Pos) const override;
};

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
    QWidget* BuildPanel(
        const char* Name, const QString& Prompt, const QString& Caption, QLineEdit* Edit, QWidget* Extra = nullptr);
    QLineEdit* NewEdit(const char* Name);
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
