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

struct Fields {
    QString user;
    QString pass;
    QString list;
    QString retr;
    QString top;
    QString dele;
    bool uidl = false;
    bool topMode = false;
};

// The command line for a kind 'U', 'P', 'L', 'R' or 'D'. Field texts are taken
// verbatim; an empty field adds nothing, a filled one a blank and its text.
QString BuildCommandLine(QChar kind, const Fields& fields);
// "USER", "PASS", "LIST", "RETR" or "DELE": the word in the dialog's title.
QString TitleWord(QChar kind);
// The key filter of every free-text field: backspace and codes 32 to 127.
bool AcceptsKey(QChar c);
// What is left of pasted or otherwise inserted text after the key filter.
QString FilterText(const QString& text);

} // namespace EditRules

// Applies the key filter to whatever reaches a line edit: typing, pasting,
// input methods. Dropping the characters keeps the rest of a paste.
class TKeyFilterValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
};

class TPOP3Edit : public QDialog {
    Q_OBJECT
public:
    // Loads the remembered entries from the store at once.
    explicit TPOP3Edit(TSettingsStore& settings, QWidget* parent = nullptr);

    // Shows the panel of the kind modally, centred over the main window. True
    // when "Senden" closed it; CommandLine() then holds the line to send.
    bool Execute(QChar kind, QWidget* mainWindow);
    // Everything Execute does before running modally; tests show the dialog
    // themselves after this.
    void Prepare(QChar kind, QWidget* mainWindow);

    // With passwords hidden the password field is masked and its value is
    // not remembered on disk.
    void SetHidePasswords(bool hide);

    QString CommandLine() const { return commandLine_; }
    QChar CommandKind() const { return commandKind_; }

    // Saves the remembered entries at every closing, whatever the result.
    void done(int result) override;

    static const QString& SettingsKey;

private:
    bool hidePasswords_ = false; // the main window tells before each use
    void FormCreate();
    void LoadSettings();
    void SaveSettings();
    void ButtonSendClick();
    void RadioRETRClick();
    QWidget* BuildPanel(const char* name, const QString& prompt, const QString& caption, QLineEdit* edit,
                        QWidget* extra = nullptr);
    QLineEdit* NewEdit(const char* name);
    EditRules::Fields CurrentFields() const;

    TSettingsStore& settings_;
    QString commandLine_;
    QChar commandKind_ = QLatin1Char('U');

    QLabel* iconDisplay_ = nullptr;
    QStackedWidget* panels_ = nullptr;
    QWidget* panelUSER_ = nullptr;
    QWidget* panelPASS_ = nullptr;
    QWidget* panelLIST_ = nullptr;
    QWidget* panelRETR_ = nullptr;
    QWidget* panelDELE_ = nullptr;
    QLineEdit* editUSER_ = nullptr;
    QLineEdit* editPASS_ = nullptr;
    QLineEdit* editLIST_ = nullptr;
    QLineEdit* editRETR_ = nullptr;
    QLineEdit* editTOP_ = nullptr;
    QLineEdit* editDELE_ = nullptr;
    QRadioButton* radioLIST_ = nullptr;
    QRadioButton* radioUIDL_ = nullptr;
    QRadioButton* radioRETR_ = nullptr;
    QRadioButton* radioTOP_ = nullptr;
    QPushButton* buttonSend_ = nullptr;
    QPushButton* buttonCancel_ = nullptr;
};
