#include "dialogs/BrieflotseEdit.h"

#include "app/settings/SettingsKey.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "resources/Resources.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace EditRules {

namespace {
QString WithArgument(const QString& line, const QString& argument)
{
    return argument.isEmpty() ? line : line + QLatin1Char(' ') + argument;
}
}

QString BuildCommandLine(QChar kind, const Fields& fields)
{
    switch (kind.unicode()) {
    case 'U':
        return WithArgument("USER", fields.user);
    case 'P':
        return WithArgument("PASS", fields.pass);
    case 'L':
        return WithArgument(fields.uidl ? "UIDL" : "LIST", fields.list);
    case 'R':
        if (fields.topMode)
            return WithArgument(WithArgument("TOP", fields.retr), fields.top);
        return WithArgument("RETR", fields.retr);
    case 'D':
        return WithArgument("DELE", fields.dele);
    default:
        return QString();
    }
}

QString TitleWord(QChar kind)
{
    switch (kind.unicode()) {
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
    default:
        return QString();
    }
}

bool AcceptsKey(QChar c)
{
    const ushort code = c.unicode();
    return code == 8 || (code >= 32 && code <= 127);
}

QString FilterText(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        // Backspace passes as a key, but it is no character a field could hold.
        if (AcceptsKey(c) && c.unicode() != 8)
            result.append(c);
    }
    return result;
}

} // namespace EditRules

QValidator::State TKeyFilterValidator::validate(QString& input, int& pos) const
{
    const QString filtered = EditRules::FilterText(input);
    if (filtered.size() != input.size()) {
        // Keep the caret behind what was typed or pasted, minus what was dropped.
        pos = EditRules::FilterText(input.left(pos)).size();
        input = filtered;
    }
    return Acceptable;
}

const QString& TPOP3Edit::SettingsKey = SettingsPaths::Assist;

TPOP3Edit::TPOP3Edit(TSettingsStore& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
              | Qt::CustomizeWindowHint)
    , settings_(settings)
{
    setObjectName("POP3Edit");
    FormCreate();
}

QLineEdit* TPOP3Edit::NewEdit(const char* name)
{
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setMaxLength(64);
    edit->setValidator(new TKeyFilterValidator(edit));
    return edit;
}

QWidget* TPOP3Edit::BuildPanel(const char* name, const QString& prompt, const QString& caption, QLineEdit* edit,
                               QWidget* extra)
{
    auto* panel = new QWidget(panels_);
    panel->setObjectName(name);
    auto* text = new QLabel(prompt, panel);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* label = new QLabel(caption, panel);
    label->setBuddy(edit);
    auto* row = new QHBoxLayout;
    row->addWidget(label);
    row->addWidget(edit, 1);
    if (extra)
        row->addWidget(extra, 1);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(text);
    column->addLayout(row);
    panels_->addWidget(panel);
    return panel;
}

void TPOP3Edit::FormCreate()
{
    setWindowIcon(BrieflotseMainIcon());

    iconDisplay_ = new QLabel(this);
    iconDisplay_->setObjectName("IconDisplay");
    iconDisplay_->setPixmap(QIcon(BrieflotsePictures::MainIcon).pixmap(32, 32));
    iconDisplay_->setFixedSize(32, 32);

    panels_ = new QStackedWidget(this);
    // About 56 average characters: the panel width of the original layout.
    panels_->setFixedWidth(fontMetrics().averageCharWidth() * 56);

    editUSER_ = NewEdit("EditUSER");
    editPASS_ = NewEdit("EditPASS");
    editLIST_ = NewEdit("EditLIST");
    editRETR_ = NewEdit("EditRETR");
    editTOP_ = NewEdit("EditTOP");
    editDELE_ = NewEdit("EditDELE");

    panelUSER_ = BuildPanel("PanelUSER",
                            QStringLiteral("Bitte geben Sie den Namen des Anwenders ein, auf dessen Mailbox Sie "
                                           "zugreifen möchten:"),
                            "&USER", editUSER_);
    panelPASS_ = BuildPanel(
        "PanelPASS",
        QStringLiteral("Bitte geben Sie das Paßwort ein, das Sie zur Anmeldung verwenden möchten:"), "&PASS",
        editPASS_);
    panelLIST_ = BuildPanel("PanelLIST",
                            QStringLiteral("Bitte geben Sie die Nummer der Nachricht ein, deren Daten Sie listen "
                                           "lassen möchten (leer = alle):"),
                            "&LIST", editLIST_);
    panelRETR_ = BuildPanel("PanelRETR",
                            QStringLiteral("Bitte geben Sie die Nummer der Nachricht ein, die Sie abrufen möchten "
                                           "(sowie bei TOP die Anzahl der Zeilen):"),
                            "&RETR", editRETR_, editTOP_);
    panelDELE_ = BuildPanel("PanelDELE",
                            QStringLiteral("Bitte geben Sie die Nummer der Nachricht ein, die Sie als gelöscht "
                                           "markieren möchten:"),
                            "&DELE", editDELE_);

    radioLIST_ = new QRadioButton("LIST - &Bytezahl(en) der Nachricht(en) listen", panelLIST_);
    radioLIST_->setObjectName("RadioLIST");
    radioUIDL_ = new QRadioButton("UIDL - &Kennung(en) der Nachricht(en) listen", panelLIST_);
    radioUIDL_->setObjectName("RadioUIDL");
    radioRETR_ = new QRadioButton("RETR - &Komplette Nachricht abrufen", panelRETR_);
    radioRETR_->setObjectName("RadioRETR");
    radioTOP_ = new QRadioButton("TOP - Header und einige &Zeilen abrufen", panelRETR_);
    radioTOP_->setObjectName("RadioTOP");
    for (QWidget* panel : { panelLIST_, panelRETR_ }) {
        auto* column = static_cast<QVBoxLayout*>(panel->layout());
        auto* group = new QButtonGroup(panel);
        for (QRadioButton* radio : panel->findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly)) {
            column->addWidget(radio);
            group->addButton(radio);
        }
    }
    for (QWidget* panel : { panelUSER_, panelPASS_, panelLIST_, panelRETR_, panelDELE_ })
        static_cast<QVBoxLayout*>(panel->layout())->addStretch(1);
    radioLIST_->setChecked(true);
    radioRETR_->setChecked(true);

    // A disabled line count looks like the dialog background, as it is not to be filled in.
    QPalette palette = editTOP_->palette();
    palette.setColor(QPalette::Disabled, QPalette::Base, palette.color(QPalette::Active, QPalette::Button));
    editTOP_->setPalette(palette);
    connect(radioTOP_, &QRadioButton::toggled, this, &TPOP3Edit::RadioRETRClick);
    RadioRETRClick();

    buttonSend_ = new QPushButton("Senden", this);
    buttonSend_->setObjectName("ButtonSend");
    buttonSend_->setDefault(true);
    buttonSend_->setAutoDefault(true);
    buttonCancel_ = new QPushButton("Abbrechen", this);
    buttonCancel_->setObjectName("ButtonCancel");
    buttonCancel_->setAutoDefault(false);
    connect(buttonSend_, &QPushButton::clicked, this, &TPOP3Edit::ButtonSendClick);
    connect(buttonCancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(buttonSend_);
    buttons->addWidget(buttonCancel_);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(16, 8, 16, 14);
    grid->setHorizontalSpacing(16);
    // The icon sits a little lower than the panel's text, as in the original layout.
    auto* iconColumn = new QVBoxLayout;
    iconColumn->addSpacing(8);
    iconColumn->addWidget(iconDisplay_);
    iconColumn->addStretch(1);
    grid->addLayout(iconColumn, 0, 0);
    grid->addWidget(panels_, 0, 1);
    grid->addLayout(buttons, 1, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    for (QWidget* panel : { panelUSER_, panelPASS_, panelLIST_, panelRETR_, panelDELE_ })
        panel->hide();
    LoadSettings();
}

void TPOP3Edit::LoadSettings()
{
    // Applied in table order; a value of the wrong kind stops the rest, which keep their defaults.
    try {
        TSettingsKey key(settings_, SettingsKey);
        if (!key.IsOpen())
            return;
        if (settings_.ValueExists("UserName"))
            editUSER_->setText(settings_.ReadString("UserName"));
        if (settings_.ValueExists("PassWord"))
            editPASS_->setText(settings_.ReadString("PassWord"));
        if (settings_.ValueExists("ListMode") && settings_.ReadString("ListMode") == QLatin1String("UIDL"))
            radioUIDL_->setChecked(true);
        if (settings_.ValueExists("RetrMode") && settings_.ReadString("RetrMode") == QLatin1String("TOP"))
            radioTOP_->setChecked(true);
        if (settings_.ValueExists("TopNum"))
            editTOP_->setText(settings_.ReadString("TopNum"));
    } catch (const TSettingsError& error) {
        MessageBox::error(parentWidget(), "Brieflotse - Einstellungen", error.Message());
    }
}

void TPOP3Edit::SaveSettings()
{
    TSettingsKey key(settings_, SettingsKey);
    if (!key.IsOpen())
        return;
    settings_.WriteString("UserName", editUSER_->text());
    settings_.WriteString("PassWord", hidePasswords_ ? QString() : editPASS_->text());
    settings_.WriteString("ListMode", radioUIDL_->isChecked() ? "UIDL" : "LIST");
    settings_.WriteString("RetrMode", radioTOP_->isChecked() ? "TOP" : "RETR");
    settings_.WriteString("TopNum", editTOP_->text());
    if (!key.Close())
        MessageBox::error(this, "Brieflotse - Einstellungen", settings_.TakeWriteProblem());
}

void TPOP3Edit::done(int result)
{
    SaveSettings();
    QDialog::done(result);
}

void TPOP3Edit::Prepare(QChar kind, QWidget* mainWindow)
{
    commandLine_.clear();
    commandKind_ = kind;

    for (QWidget* panel : { panelUSER_, panelPASS_, panelLIST_, panelRETR_, panelDELE_ })
        panel->hide();
    QWidget* panel = nullptr;
    QLineEdit* focus = nullptr;
    switch (kind.unicode()) {
    case 'U':
        panel = panelUSER_;
        focus = editUSER_;
        break;
    case 'P':
        panel = panelPASS_;
        focus = editPASS_;
        break;
    case 'L':
        panel = panelLIST_;
        focus = editLIST_;
        editLIST_->clear();
        break;
    case 'R':
        panel = panelRETR_;
        focus = editRETR_;
        editRETR_->clear();
        break;
    case 'D':
        panel = panelDELE_;
        focus = editDELE_;
        editDELE_->clear();
        break;
    default:
        break;
    }
    setWindowTitle(QStringLiteral("Brieflotse - %1").arg(EditRules::TitleWord(kind)));
    if (panel) {
        panels_->setCurrentWidget(panel);
        panel->show();
        focus->setFocus();
        focus->selectAll();
    }
    DialogPlacement::CentreOver(this, mainWindow);
}

void TPOP3Edit::SetHidePasswords(bool hide)
{
    hidePasswords_ = hide;
    editPASS_->setEchoMode(hide ? QLineEdit::Password : QLineEdit::Normal);
}

bool TPOP3Edit::Execute(QChar kind, QWidget* mainWindow)
{
    Prepare(kind, mainWindow);
    return exec() == QDialog::Accepted;
}

EditRules::Fields TPOP3Edit::CurrentFields() const
{
    EditRules::Fields fields;
    fields.user = editUSER_->text();
    fields.pass = editPASS_->text();
    fields.list = editLIST_->text();
    fields.retr = editRETR_->text();
    fields.top = editTOP_->text();
    fields.dele = editDELE_->text();
    fields.uidl = radioUIDL_->isChecked();
    fields.topMode = radioTOP_->isChecked();
    return fields;
}

void TPOP3Edit::ButtonSendClick()
{
    commandLine_ = EditRules::BuildCommandLine(commandKind_, CurrentFields());
    accept();
}

void TPOP3Edit::RadioRETRClick() { editTOP_->setEnabled(radioTOP_->isChecked()); }
