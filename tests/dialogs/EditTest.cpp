#include "dialogs/BrieflotseEdit.h"
#include "dialogs/DialogPlacement.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsStore.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

class EditDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        TMessageBox::ResetRecord();
        store = std::make_unique<TSettingsStore>(QString::fromStdString(dir.file("settings.json")));
    }
    void TearDown() override { TMessageBox::ResetRecord(); }

    std::unique_ptr<TPOP3Edit> Create() { return std::make_unique<TPOP3Edit>(*store); }

    static QLineEdit* Edit(const TPOP3Edit& dialog, const char* name) { return Child<QLineEdit>(dialog, name); }
    static QRadioButton* Radio(const TPOP3Edit& dialog, const char* name) { return Child<QRadioButton>(dialog, name); }
    static QLabel* LabelOf(const TPOP3Edit& dialog, const QWidget* field)
    {
        for (QLabel* label : dialog.findChildren<QLabel*>())
            if (label->buddy() == field)
                return label;
        return nullptr;
    }

    // Opens the panel, lets the test fill it, presses "Senden" and returns the line.
    template <typename Fill> static QString Send(TPOP3Edit& dialog, QChar kind, Fill fill)
    {
        dialog.Prepare(kind, nullptr);
        dialog.show();
        fill();
        Child<QPushButton>(dialog, "ButtonSend")->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_FALSE(dialog.isVisible());
        return dialog.CommandLine();
    }

    static void Type(QWidget* target, const QString& text)
    {
        for (const QChar c : text) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(target, &press);
        }
    }

    static void PressKey(QWidget* target, int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    }

    void WriteAssist(const char* name, const QString& text)
    {
        ASSERT_TRUE(store->OpenKey(TPOP3Edit::SettingsKey, true));
        store->WriteString(name, text);
        store->CloseKey();
    }

    TempDir dir;
    std::unique_ptr<TSettingsStore> store;
};

} // namespace

TEST(EditRules, CommandLinesTakeFieldsVerbatim)
{
    using EditRules::BuildCommandLine;
    EditRules::TFields f;
    EXPECT_EQ(BuildCommandLine('U', f), "USER");
    EXPECT_EQ(BuildCommandLine('P', f), "PASS");
    EXPECT_EQ(BuildCommandLine('L', f), "LIST");
    f.Uidl = true;
    EXPECT_EQ(BuildCommandLine('L', f), "UIDL");
    f.List = "3";
    EXPECT_EQ(BuildCommandLine('L', f), "UIDL 3");
    f.Uidl = false;
    EXPECT_EQ(BuildCommandLine('L', f), "LIST 3");

    f.Retr = "2";
    f.Top = "10";
    EXPECT_EQ(BuildCommandLine('R', f), "RETR 2") << "the line count is ignored for RETR";
    f.TopMode = true;
    EXPECT_EQ(BuildCommandLine('R', f), "TOP 2 10");
    f.Top.clear();
    EXPECT_EQ(BuildCommandLine('R', f), "TOP 2");
    f.Retr.clear();
    f.Top = "10";
    EXPECT_EQ(BuildCommandLine('R', f), "TOP 10");

    f.Dele = " 3";
    EXPECT_EQ(BuildCommandLine('D', f), "DELE  3") << "nothing is trimmed";
    f.User = "anna ";
    EXPECT_EQ(BuildCommandLine('U', f), "USER anna ");
}

TEST(EditRules, KeyFilterPassesBackspaceAndAsciiOnly)
{
    EXPECT_TRUE(EditRules::AcceptsKey(QChar(8)));
    EXPECT_FALSE(EditRules::AcceptsKey(QChar(9)));
    EXPECT_FALSE(EditRules::AcceptsKey(QChar(31)));
    EXPECT_TRUE(EditRules::AcceptsKey(QChar(32)));
    EXPECT_TRUE(EditRules::AcceptsKey(QChar(127)));
    EXPECT_FALSE(EditRules::AcceptsKey(QChar(128)));
    for (const QChar c : QStringLiteral("äöüÄÖÜß€"))
        EXPECT_FALSE(EditRules::AcceptsKey(c)) << c.unicode();
    EXPECT_EQ(EditRules::FilterText(QStringLiteral("Müßig\tgäng 1!")), "Miggng 1!");
    EXPECT_EQ(EditRules::FilterDigits(QStringLiteral("r 1-2\t3\u0663\u00B9x")), "123") << "ASCII digits only";
}

TEST(DialogPlacement, CentresByOuterSizesTruncatingHalves)
{
    EXPECT_EQ(DialogPlacement::CentredTopLeft(QRect(100, 50, 641, 481), QSize(369, 221)), QPoint(236, 180));
    EXPECT_EQ(DialogPlacement::CentredTopLeft(QRect(-500, -300, 101, 51), QSize(300, 200)), QPoint(-600, -375));
}

TEST_F(EditDialog, EachKindShowsItsPanelTitleAndFocus)
{
    auto dialog = Create();
    struct Case {
        char kind;
        const char* title;
        const char* panel;
        const char* focus;
    };
    const Case cases[] = { { 'U', "Brieflotse - USER", "PanelUSER", "EditUSER" },
        { 'P', "Brieflotse - PASS", "PanelPASS", "EditPASS" }, { 'L', "Brieflotse - LIST", "PanelLIST", "EditLIST" },
        { 'R', "Brieflotse - RETR", "PanelRETR", "EditRETR" }, { 'D', "Brieflotse - DELE", "PanelDELE", "EditDELE" } };
    const char* panels[] = { "PanelUSER", "PanelPASS", "PanelLIST", "PanelRETR", "PanelDELE" };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        dialog->Prepare(c.kind, nullptr);
        dialog->show();
        QApplication::processEvents();
        EXPECT_EQ(dialog->windowTitle(), c.title);
        EXPECT_EQ(dialog->CommandKind(), QChar(c.kind));
        for (const char* panel : panels)
            EXPECT_EQ(Child<QWidget>(*dialog, panel)->isVisible(), qstrcmp(panel, c.panel) == 0) << panel;
        EXPECT_EQ(dialog->focusWidget(), Edit(*dialog, c.focus));
        dialog->reject();
    }
    EXPECT_EQ(Child<QWidget>(*dialog, "IconDisplay")->size(), QSize(32, 32));
    EXPECT_TRUE(Child<QPushButton>(*dialog, "ButtonSend")->isDefault());
}

TEST_F(EditDialog, BuildsTheLinesOfEveryPanel)
{
    auto dialog = Create();
    EXPECT_EQ(Send(*dialog, 'U', [] {}), "USER");
    EXPECT_EQ(Send(*dialog, 'U', [&] { Edit(*dialog, "EditUSER")->setText("anna"); }), "USER anna");
    EXPECT_EQ(Send(*dialog, 'P', [] {}), "PASS");
    EXPECT_EQ(Send(*dialog, 'P', [&] { Edit(*dialog, "EditPASS")->setText("g e h"); }), "PASS g e h");
    EXPECT_EQ(Send(*dialog, 'L', [] {}), "LIST");
    EXPECT_EQ(Send(*dialog, 'L', [&] { Edit(*dialog, "EditLIST")->setText("3"); }), "LIST 3");
    EXPECT_EQ(Send(*dialog, 'L', [&] { Radio(*dialog, "RadioUIDL")->click(); }), "UIDL");
    EXPECT_EQ(Send(*dialog, 'R',
                  [&] {
                      Radio(*dialog, "RadioTOP")->click();
                      Edit(*dialog, "EditRETR")->setText("2");
                      Edit(*dialog, "EditTOP")->setText("10");
                  }),
        "TOP 2 10");
    EXPECT_EQ(Send(*dialog, 'R', [&] { Edit(*dialog, "EditTOP")->setText("10"); }), "TOP 10");
    EXPECT_EQ(Send(*dialog, 'R',
                  [&] {
                      Radio(*dialog, "RadioRETR")->click();
                      Edit(*dialog, "EditRETR")->setText("2");
                  }),
        "RETR 2");
    EXPECT_EQ(Edit(*dialog, "EditTOP")->text(), "10") << "the line count stays for next time";
    EXPECT_EQ(Send(*dialog, 'D', [&] { Edit(*dialog, "EditDELE")->setText("3"); }), "DELE 3");
}

TEST_F(EditDialog, NumberFieldsEmptyOnOpeningNamesStay)
{
    auto dialog = Create();
    Send(*dialog, 'U', [&] { Edit(*dialog, "EditUSER")->setText("anna"); });
    Send(*dialog, 'P', [&] { Edit(*dialog, "EditPASS")->setText("geheim"); });
    Send(*dialog, 'D', [&] { Edit(*dialog, "EditDELE")->setText("7"); });
    Send(*dialog, 'L', [&] { Edit(*dialog, "EditLIST")->setText("7"); });
    Send(*dialog, 'R', [&] { Edit(*dialog, "EditRETR")->setText("7"); });

    for (const char* kind : { "D", "L", "R" }) {
        dialog->Prepare(QLatin1Char(kind[0]), nullptr);
        EXPECT_TRUE(Edit(*dialog, ("Edit" + EditRules::TitleWord(QLatin1Char(kind[0]))).toLatin1())->text().isEmpty())
            << kind;
    }
    dialog->Prepare('U', nullptr);
    EXPECT_EQ(Edit(*dialog, "EditUSER")->text(), "anna");
    dialog->Prepare('P', nullptr);
    EXPECT_EQ(Edit(*dialog, "EditPASS")->text(), "geheim");
}

TEST_F(EditDialog, KeyFilterDropsUmlautsFromTypingAndPasting)
{
    auto dialog = Create();
    dialog->Prepare('U', nullptr);
    dialog->show();
    for (const char* name : { "EditUSER", "EditPASS", "EditAPOPUser", "EditAuthSecret" }) {
        SCOPED_TRACE(name);
        QLineEdit* edit = Edit(*dialog, name);
        edit->setEnabled(true);
        edit->clear();
        Type(edit, QStringLiteral("aäöü ß1.~"));
        EXPECT_EQ(edit->text(), "a 1.~");
        edit->clear();
        edit->insert(QStringLiteral("Müßig"));
        EXPECT_EQ(edit->text(), "Mig") << "a paste keeps what passes the filter";
        edit->insert(QString(70, QLatin1Char('9')));
        EXPECT_EQ(edit->text().size(), 64);
    }
    dialog->reject();
}

TEST_F(EditDialog, NumberFieldsTakeDigitsOnly)
{
    auto dialog = Create();
    EXPECT_EQ(Send(*dialog, 'L', [&] { Type(Edit(*dialog, "EditLIST"), "r"); }), "LIST");
    for (const char* name : { "EditLIST", "EditRETR", "EditTOP", "EditDELE" }) {
        QLineEdit* edit = Edit(*dialog, name);
        edit->setEnabled(true);
        edit->setText(QString());
        Type(edit, QStringLiteral("1r2 ä-"));
        edit->insert(QStringLiteral("\r\n3\u0666x") + QString(100000, QLatin1Char('7')));
        EXPECT_EQ(edit->text(), "123" + QString(57, QLatin1Char('7'))) << name << ": a paste cut at 64, then filtered";
    }
}

TEST_F(EditDialog, CaptionAndTitleNameWhatIsSentAndTheLineCountIsLabelled)
{
    auto dialog = Create();
    dialog->Prepare('R', nullptr);
    dialog->show();
    Radio(*dialog, "RadioTOP")->click();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Brieflotse - TOP"));
    EXPECT_EQ(LabelOf(*dialog, Edit(*dialog, "EditRETR"))->text(), QStringLiteral("&TOP"));
    EXPECT_EQ(LabelOf(*dialog, Edit(*dialog, "EditTOP"))->text(), QStringLiteral("Zei&len"));
    EXPECT_EQ(Edit(*dialog, "EditTOP")->accessibleName(), QStringLiteral("Anzahl der Zeilen"));
    Radio(*dialog, "RadioRETR")->click();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Brieflotse - RETR"));
    Radio(*dialog, "RadioUIDL")->click();
    dialog->Prepare('L', nullptr);
    EXPECT_EQ(LabelOf(*dialog, Edit(*dialog, "EditLIST"))->text(), QStringLiteral("&UIDL")) << "as chosen before";
    dialog->reject();
}

TEST_F(EditDialog, EditTOPFollowsTheRetrVariant)
{
    auto dialog = Create();
    dialog->Prepare('R', nullptr);
    dialog->show();
    QLineEdit* top = Edit(*dialog, "EditTOP");
    EXPECT_TRUE(Radio(*dialog, "RadioRETR")->isChecked());
    EXPECT_FALSE(top->isEnabled());
    EXPECT_EQ(top->palette().color(QPalette::Disabled, QPalette::Base),
        top->palette().color(QPalette::Active, QPalette::Button));
    Radio(*dialog, "RadioTOP")->click();
    EXPECT_TRUE(top->isEnabled());
    Radio(*dialog, "RadioRETR")->click();
    EXPECT_FALSE(top->isEnabled());
    dialog->reject();
}

TEST_F(EditDialog, CancelEscapeAndCloseBoxReturnFalseAndStillSave)
{
    auto dialog = Create();
    auto cancelWith = [&](std::function<void()> close) {
        QTimer::singleShot(0, dialog.get(), [&] {
            Edit(*dialog, "EditUSER")->setText("verworfen");
            close();
        });
        return dialog->Execute('U', nullptr);
    };
    EXPECT_FALSE(cancelWith([&] { Child<QPushButton>(*dialog, "ButtonCancel")->click(); }));
    EXPECT_TRUE(dialog->CommandLine().isEmpty());
    EXPECT_FALSE(cancelWith([&] { PressKey(dialog->focusWidget(), Qt::Key_Escape); }));
    EXPECT_FALSE(cancelWith([&] { dialog->close(); }));
    EXPECT_TRUE(dialog->CommandLine().isEmpty());

    ASSERT_TRUE(store->OpenKey(TPOP3Edit::SettingsKey, false));
    EXPECT_EQ(store->ReadString("UserName"), "verworfen");
    EXPECT_EQ(store->ReadString("ListMode"), "LIST");
    EXPECT_EQ(store->ReadString("RetrMode"), "RETR");
    store->CloseKey();

    // Enter in a field presses "Senden".
    QTimer::singleShot(0, dialog.get(), [&] { PressKey(dialog->focusWidget(), Qt::Key_Return); });
    EXPECT_TRUE(dialog->Execute('U', nullptr));
    EXPECT_EQ(dialog->CommandLine(), "USER verworfen");
}

TEST_F(EditDialog, RemembersEntriesAcrossARestart)
{
    {
        auto dialog = Create();
        dialog->Prepare('R', nullptr);
        dialog->show();
        Edit(*dialog, "EditUSER")->setText("anna");
        Edit(*dialog, "EditPASS")->setText("geheim");
        Radio(*dialog, "RadioUIDL")->click();
        Radio(*dialog, "RadioTOP")->click();
        Edit(*dialog, "EditTOP")->setText("10");
        Edit(*dialog, "EditRETR")->setText("4");
        dialog->reject();
    }
    auto dialog = Create();
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
    EXPECT_EQ(Edit(*dialog, "EditUSER")->text(), "anna");
    EXPECT_EQ(Edit(*dialog, "EditPASS")->text(), "geheim");
    EXPECT_EQ(Edit(*dialog, "EditPASS")->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(Radio(*dialog, "RadioUIDL")->isChecked());
    dialog->Prepare('R', nullptr);
    dialog->show();
    EXPECT_TRUE(Child<QWidget>(*dialog, "PanelRETR")->isVisible());
    EXPECT_TRUE(Radio(*dialog, "RadioTOP")->isChecked());
    EXPECT_TRUE(Edit(*dialog, "EditTOP")->isEnabled());
    EXPECT_EQ(Edit(*dialog, "EditTOP")->text(), "10");
    EXPECT_TRUE(Edit(*dialog, "EditRETR")->text().isEmpty()) << "message numbers are not stored";
    dialog->reject();
}

TEST_F(EditDialog, StoredVariantsMustMatchExactly)
{
    WriteAssist("ListMode", "uidl");
    WriteAssist("RetrMode", "Top");
    auto dialog = Create();
    EXPECT_TRUE(Radio(*dialog, "RadioLIST")->isChecked());
    EXPECT_TRUE(Radio(*dialog, "RadioRETR")->isChecked());
    EXPECT_FALSE(Edit(*dialog, "EditTOP")->isEnabled());
}

TEST_F(EditDialog, WronglyTypedValueIsReportedAndLaterOnesKeepDefaults)
{
    WriteAssist("UserName", "anna");
    WriteAssist("RetrMode", "TOP");
    WriteAssist("TopNum", "10");
    ASSERT_TRUE(store->OpenKey(TPOP3Edit::SettingsKey, true));
    store->WriteInteger("ListMode", 1);
    store->CloseKey();

    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    auto dialog = Create();
    EXPECT_EQ(TMessageBox::ShownCount(), 1);
    EXPECT_EQ(TMessageBox::LastText(), QStringLiteral("Der Wert \"ListMode\" hat nicht den erwarteten Typ."));
    EXPECT_EQ(Edit(*dialog, "EditUSER")->text(), "anna") << "read before the faulty value";
    EXPECT_TRUE(Radio(*dialog, "RadioRETR")->isChecked());
    EXPECT_TRUE(Edit(*dialog, "EditTOP")->text().isEmpty());
    EXPECT_FALSE(store->HasOpenKey());
}

namespace {

TEST_F(EditDialog, LogInPanelsFollowWhatTheServerOffers)
{
    auto dialog = Create();
    // APOP: the digest of RFC 1939's example; no timestamp, nothing to send.
    TConnectionFacts facts;
    facts.Timestamp = QStringLiteral("<1896.697170952@dbc.mtview.ca.us>");
    facts.TargetHost = QStringLiteral("pop.example.org");
    dialog->SetConnectionFacts(facts);
    EXPECT_EQ(Send(*dialog, 'A',
                  [&] {
                      Edit(*dialog, "EditAPOPUser")->setText(QStringLiteral("mrose"));
                      Edit(*dialog, "EditAPOPPass")->setText(QStringLiteral("tanstaaf"));
                  }),
        QStringLiteral("APOP mrose c4c9334bac560ecc979e58001b3e22fb"));
    dialog->SetConnectionFacts(TConnectionFacts());
    dialog->Prepare('A', nullptr);
    EXPECT_FALSE(Child<QPushButton>(*dialog, "ButtonSend")->isEnabled());
    EXPECT_TRUE(Child<QLabel>(*dialog, "ApopText")->text().contains(QStringLiteral("bietet APOP nicht an")));

    // PLAIN in clear to another machine: a warning in the panel, and a question that may say no.
    dialog->SetConnectionFacts(facts);
    dialog->Prepare('H', nullptr);
    dialog->show();
    auto* combo = Child<QComboBox>(*dialog, "ComboMechanism");
    combo->setCurrentIndex(combo->findText(QStringLiteral("PLAIN")));
    EXPECT_TRUE(Child<QLabel>(*dialog, "AuthWarning")->isVisible());
    TMessageBox::SetNextAnswer(QMessageBox::No);
    Child<QPushButton>(*dialog, "ButtonSend")->click();
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Unverschlüsselt"));
    EXPECT_TRUE(dialog->isVisible()) << "no: back to the panel";
    combo->setCurrentIndex(combo->findText(QStringLiteral("SCRAM-SHA-256")));
    EXPECT_FALSE(Child<QLabel>(*dialog, "AuthWarning")->isVisible());
    const int asked = TMessageBox::ShownCount();
    Child<QPushButton>(*dialog, "ButtonSend")->click();
    EXPECT_EQ(TMessageBox::ShownCount(), asked) << "SCRAM never sends the password";
    EXPECT_EQ(dialog->SaslRequest().Mechanism, QStringLiteral("SCRAM-SHA-256"));

    // A greeting whose timestamp is too long: said so, nothing to send.
    facts.Timestamp.clear();
    facts.TimestampTooLong = true;
    dialog->SetConnectionFacts(facts);
    dialog->Prepare('A', nullptr);
    EXPECT_FALSE(Child<QPushButton>(*dialog, "ButtonSend")->isEnabled());
    EXPECT_TRUE(Child<QLabel>(*dialog, "ApopText")->text().contains(QStringLiteral("länger als 1024 Zeichen")));
}

TEST_F(EditDialog, TokenAndPasswordAreSeparateValues)
{
    auto dialog = Create();
    Send(*dialog, 'P', [&] { Edit(*dialog, "EditPASS")->setText("geheim"); });
    TConnectionFacts facts;
    facts.Encrypted = true;
    dialog->SetConnectionFacts(facts);
    dialog->Prepare('H', nullptr);
    dialog->show();
    auto* combo = Child<QComboBox>(*dialog, "ComboMechanism");
    auto choose = [&](const char* mechanism) {
        combo->setCurrentIndex(combo->findText(mechanism));
        return dialog->SaslRequest().Secret;
    };
    EXPECT_EQ(choose("XOAUTH2"), "") << "the password is no token";
    Edit(*dialog, "EditAuthToken")->setText(QString(4096, QLatin1Char('t')));
    EXPECT_FALSE(Edit(*dialog, "EditAuthSecret")->isVisible());
    EXPECT_EQ(choose("CRAM-MD5"), "geheim") << "the token is no password";
    EXPECT_EQ(LabelOf(*dialog, Edit(*dialog, "EditAuthSecret"))->text(), QStringLiteral("Pa&ßwort"));
    EXPECT_EQ(choose("XOAUTH2").size(), 4096);
    Child<QPushButton>(*dialog, "ButtonSend")->click();
    EXPECT_EQ(Send(*dialog, 'P', [] {}), "PASS geheim") << "a token never becomes the password";
}

} // namespace
