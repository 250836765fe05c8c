// Loading and storing the main window's settings: defaults on a first run,
// the first-character and "no" rules, histories with gaps, wrong kinds, and a
// full round trip through a closed and re-created window.

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include "app/BrieflotseMain.h"
#include "dialogs/BrieflotseEdit.h"
#include "dialogs/MessageBox.h"
#include "settings/SettingsStore.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

namespace {

const QString Base = QStringLiteral("\\Software\\Ravelko\\Brieflotse\\");

class MainSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { TMessageBox::ResetRecord(); }

    QString File() const { return QString::fromStdString(Dir.file("settings.json")); }

    void WriteText(const QString& Key, const QString& Name, const QString& Value)
    {
        TSettingsStore Store(File());
        ASSERT_TRUE(Store.OpenKey(Base + Key, true));
        Store.WriteString(Name, Value);
        ASSERT_TRUE(Store.CloseKey());
    }

    void WriteNumber(const QString& Key, const QString& Name, int Value)
    {
        TSettingsStore Store(File());
        ASSERT_TRUE(Store.OpenKey(Base + Key, true));
        Store.WriteInteger(Name, Value);
        ASSERT_TRUE(Store.CloseKey());
    }

    TempDir Dir;
};

QStringList Items(const QComboBox* Combo)
{
    QStringList Result;
    for (int Index = 0; Index < Combo->count(); ++Index)
        Result << Combo->itemText(Index);
    return Result;
}

TEST_F(MainSettingsTest, FirstRunUsesTheDefaults)
{
    TSettingsStore Store(File());
    TPOP3Main Main(Store);
    EXPECT_TRUE(Child<QAction>(Main, "MenuFontProp")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "MenuColorStatus")->isChecked());
    for (QAction* Item : { Child<QAction>(Main, "MenuCmdBold"), Child<QAction>(Main, "MenuStatusBold"),
             Child<QAction>(Main, "MenuCmdUpper"), Child<QAction>(Main, "MenuHidePass") })
        EXPECT_TRUE(Item->isChecked()) << Item->objectName().toStdString();
    EXPECT_TRUE(Child<QAction>(Main, "Menu30Sek")->isChecked());
    EXPECT_EQ(Main.Conversation().WaitTimeout(), 30);
    EXPECT_FALSE(Child<QAction>(Main, "MenuResetLog")->isChecked());
    EXPECT_FALSE(Child<QAction>(Main, "MenuResetCounter")->isChecked());
    EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->count(), 0);
    EXPECT_EQ(Child<QComboBox>(Main, "Command")->count(), 0);
    EXPECT_EQ(TMessageBox::ShownCount(), 0);
}

TEST_F(MainSettingsTest, DisplayValuesFollowTheirFirstCharacterAndExactNo)
{
    WriteText(QStringLiteral("Display\\"), QStringLiteral("FontWidth"), QStringLiteral("monospace"));
    WriteText(QStringLiteral("Display\\"), QStringLiteral("ColorCoding"), QStringLiteral("fixed"));
    WriteNumber(QStringLiteral("Display\\"), QStringLiteral("ColorValue"), 3);
    WriteText(QStringLiteral("Display\\"), QStringLiteral("CommandUpper"), QStringLiteral("no"));
    WriteText(QStringLiteral("Display\\"), QStringLiteral("CommandBold"), QStringLiteral("No"));
    WriteText(QStringLiteral("Display\\"), QStringLiteral("StatusBold"), QStringLiteral("off"));
    WriteNumber(QStringLiteral("Misc\\"), QStringLiteral("WinsockTimeout"), 40);
    WriteText(QStringLiteral("Misc\\"), QStringLiteral("ResetLog"), QStringLiteral("yes"));
    WriteText(QStringLiteral("Misc\\"), QStringLiteral("ResetCounter"), QStringLiteral("Yes"));

    TSettingsStore Store(File());
    TPOP3Main Main(Store);
    EXPECT_TRUE(Child<QAction>(Main, "MenuFontMono")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "MenuColorRed")->isChecked());
    EXPECT_EQ(Main.ProtocolLog().ServerColor(), TLogColour::Red);
    EXPECT_FALSE(Child<QAction>(Main, "MenuCmdUpper")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "MenuCmdBold")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "MenuStatusBold")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "Menu40Sek")->isChecked());
    EXPECT_EQ(Main.Conversation().WaitTimeout(), 40);
    EXPECT_TRUE(Child<QAction>(Main, "MenuResetLog")->isChecked());
    EXPECT_FALSE(Child<QAction>(Main, "MenuResetCounter")->isChecked());
}

TEST_F(MainSettingsTest, UnknownColourValueAndOddTimeoutFallBack)
{
    for (int Value : { 4, 7 }) {
        WriteText(QStringLiteral("Display\\"), QStringLiteral("ColorCoding"), QStringLiteral("fixed"));
        WriteNumber(QStringLiteral("Display\\"), QStringLiteral("ColorValue"), Value);
        WriteText(QStringLiteral("Display\\"), QStringLiteral("FontWidth"), QString());
        WriteNumber(QStringLiteral("Misc\\"), QStringLiteral("WinsockTimeout"), 15);
        TSettingsStore Store(File());
        TPOP3Main Main(Store);
        EXPECT_TRUE(Child<QAction>(Main, "MenuColorStatus")->isChecked()) << Value;
        EXPECT_TRUE(Child<QAction>(Main, "MenuFontProp")->isChecked());
        EXPECT_TRUE(Child<QAction>(Main, "Menu30Sek")->isChecked());
    }
}

TEST_F(MainSettingsTest, InitDoneWipesTheWholeTree)
{
    WriteText(QStringLiteral("Misc\\"), QStringLiteral("InitDone"), QStringLiteral("1"));
    WriteText(QStringLiteral("Assist\\"), QStringLiteral("UserName"), QStringLiteral("anna"));
    WriteText(QStringLiteral("Hosts\\"), QStringLiteral("0000"), QStringLiteral("pop.example.com"));
    WriteText(QStringLiteral("Display\\"), QStringLiteral("FontWidth"), QStringLiteral("mono"));
    {
        TSettingsStore Store(File());
        TPOP3Main Main(Store);
        EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->count(), 0);
        EXPECT_TRUE(Child<QAction>(Main, "MenuFontProp")->isChecked());
        Main.SaveSettings();
    }
    TSettingsStore Store(File());
    ASSERT_TRUE(Store.OpenKey(Base + QStringLiteral("Misc\\"), true));
    EXPECT_FALSE(Store.ValueExists(QStringLiteral("InitDone")));
    ASSERT_TRUE(Store.OpenKey(Base + QStringLiteral("Assist\\"), true));
    EXPECT_FALSE(Store.ValueExists(QStringLiteral("UserName")));
    Store.CloseKey();
}

TEST_F(MainSettingsTest, HistoriesStopAtTheFirstGapAndAreNeverShortened)
{
    for (const char* Name : { "0000", "0001", "0003" })
        WriteText(QStringLiteral("Hosts\\"), QLatin1String(Name), QStringLiteral("host-") + QLatin1String(Name));
    for (int Index = 0; Index < 5; ++Index)
        WriteText(QStringLiteral("History\\"), QStringLiteral("000%1").arg(Index), QStringLiteral("OLD %1").arg(Index));
    {
        TSettingsStore Store(File());
        TPOP3Main Main(Store);
        EXPECT_EQ(Items(Child<QComboBox>(Main, "HostCombo")),
            (QStringList { QStringLiteral("host-0000"), QStringLiteral("host-0001") }));
        EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->currentText(), QStringLiteral("host-0000"));
        EXPECT_EQ(Child<QComboBox>(Main, "Command")->count(), 5);
        EXPECT_TRUE(Child<QComboBox>(Main, "Command")->currentText().isEmpty());
        Child<QComboBox>(Main, "Command")->clear();
        Child<QComboBox>(Main, "Command")->addItem(QStringLiteral("NEW A"));
        Child<QComboBox>(Main, "Command")->addItem(QStringLiteral("NEW B"));
        Main.SaveSettings();
    }
    TSettingsStore Store(File());
    TPOP3Main Main(Store);
    EXPECT_EQ(Items(Child<QComboBox>(Main, "Command")),
        (QStringList { QStringLiteral("NEW A"), QStringLiteral("NEW B"), QStringLiteral("OLD 2"),
            QStringLiteral("OLD 3"), QStringLiteral("OLD 4") }));
}

TEST_F(MainSettingsTest, WrongKindIsReportedAndTheRestKeepsDefaults)
{
    WriteText(QString(), QStringLiteral("Left"), QStringLiteral("links"));
    WriteText(QStringLiteral("Display\\"), QStringLiteral("FontWidth"), QStringLiteral("mono"));
    TSettingsStore Store(File());
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    TPOP3Main Main(Store);
    EXPECT_EQ(TMessageBox::ShownCount(), 1);
    EXPECT_FALSE(TMessageBox::LastText().isEmpty());
    EXPECT_TRUE(Child<QAction>(Main, "MenuFontProp")->isChecked());
}

TEST_F(MainSettingsTest, EverythingComesBackAfterARestart)
{
    QSize Enlarged;
    {
        TSettingsStore Store(File());
        TPOP3Main Main(Store);
        Main.MenuFontMonoClick();
        Main.MenuColorClick(Child<QAction>(Main, "MenuColorNavy"));
        Child<QAction>(Main, "MenuCmdBold")->trigger();
        Child<QAction>(Main, "MenuHidePass")->trigger();
        Main.MenuTimeoutClick(Child<QAction>(Main, "Menu10Sek"));
        Child<QAction>(Main, "MenuResetCounter")->trigger();
        Main.move(123, 87);
        Enlarged = Main.size() + QSize(40, 10);
        Main.resize(Enlarged);
        Child<QComboBox>(Main, "HostCombo")->addItem(QStringLiteral("pop.example.com"));
        Child<QComboBox>(Main, "Command")->addItem(QStringLiteral("PASS geheim"));
        Main.SaveSettings();
    }
    TSettingsStore Store(File());
    TPOP3Main Main(Store);
    EXPECT_TRUE(Child<QAction>(Main, "MenuFontMono")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "MenuColorNavy")->isChecked());
    EXPECT_EQ(Main.ProtocolLog().ServerColor(), TLogColour::Navy);
    EXPECT_FALSE(Child<QAction>(Main, "MenuCmdBold")->isChecked());
    EXPECT_FALSE(Child<QAction>(Main, "MenuHidePass")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "MenuStatusBold")->isChecked());
    EXPECT_TRUE(Child<QAction>(Main, "Menu10Sek")->isChecked());
    EXPECT_EQ(Main.Conversation().WaitTimeout(), 10);
    EXPECT_TRUE(Child<QAction>(Main, "MenuResetCounter")->isChecked());
    EXPECT_FALSE(Child<QAction>(Main, "MenuResetLog")->isChecked());
    EXPECT_EQ(Main.pos(), QPoint(123, 87));
    EXPECT_EQ(Main.size(), Enlarged) << "an enlarged window keeps its size";
    EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->currentText(), QStringLiteral("pop.example.com"));
    EXPECT_EQ(Child<QComboBox>(Main, "Command")->itemText(0), QStringLiteral("PASS geheim"));
}

} // namespace

// Whatever the file holds, a history entry is what could have been typed: a
// planted line end must not turn one entry into two commands, and a huge list
// must not slow the start.
TEST_F(MainSettingsTest, StoredHistoryPassesTheKeyFilterAndKeepsItsLimit)
{
    QString Values;
    const QStringList Planted { QStringLiteral("NOOP\\r\\nDELE 1"), QStringLiteral("RETR \\u00e4 1"),
        QStringLiteral("\\r\\n\\t") };
    for (int Index = 0; Index < 0x10000; ++Index) {
        const QString Entry = Index < Planted.size() ? Planted.at(Index) : QStringLiteral("NOOP %1").arg(Index);
        Values += QStringLiteral("%1\"%2\": {\"type\": \"text\", \"value\": \"%3\"}")
                      .arg(Index ? QStringLiteral(",") : QString(),
                          QStringLiteral("%1").arg(Index, 4, 16, QLatin1Char('0')).toUpper(), Entry);
    }
    const QString Json = QStringLiteral("{\"format\": 1, \"root\": {\"keys\": {\"Software\": {\"keys\": {\"Ravelko\": "
                                        "{\"keys\": {\"Brieflotse\": {\"keys\": {\"History\": {\"keys\": {}, "
                                        "\"values\": {%1}}}, \"values\": {}}}, \"values\": {}}}, \"values\": {}}}, "
                                        "\"values\": {}}}")
                             .arg(Values);
    QFile Out(File());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(File()).absolutePath()));
    ASSERT_TRUE(Out.open(QIODevice::WriteOnly));
    Out.write(Json.toUtf8());
    Out.close();

    TSettingsStore Store(File());
    TPOP3Main Main(Store);
    const QStringList Loaded = Items(Child<QComboBox>(Main, "Command"));
    ASSERT_EQ(Loaded.size(), 64);
    EXPECT_EQ(Loaded.at(0), QStringLiteral("NOOPDELE 1"));
    EXPECT_EQ(Loaded.at(1), QStringLiteral("RETR  1"));
    EXPECT_EQ(Loaded.at(2), QStringLiteral("NOOP 3")); // the entry of control characters alone is gone
}

// With "&Paßwörter verbergen" on, no password reaches the settings file: not
// from the history (also not one an earlier run stored), not from the assistant.
TEST_F(MainSettingsTest, HiddenPasswordsNeverReachTheFile)
{
    WriteText(QStringLiteral("History\\"), QStringLiteral("0005"), QStringLiteral("pass von-frueher"));
    {
        TSettingsStore Store(File());
        TPOP3Main Main(Store);
        TPOP3Edit Assistant(Store, &Main);
        Main.SetDialogs(nullptr, &Assistant, nullptr);
        Child<QComboBox>(Main, "Command")->clear();
        for (const char* Line : { "PASS geheim", "USER kim", "STAT" })
            Child<QComboBox>(Main, "Command")->addItem(QLatin1String(Line));

        Assistant.SetHidePasswords(true);
        Assistant.Prepare(QLatin1Char('P'), &Main);
        auto* Password = Child<QLineEdit>(Assistant, "EditPASS");
        ASSERT_NE(Password, nullptr);
        EXPECT_EQ(Password->echoMode(), QLineEdit::Password);
        Password->setText(QStringLiteral("auch-geheim"));
        Assistant.done(QDialog::Rejected);
        Main.SaveSettings();
        EXPECT_EQ(Items(Child<QComboBox>(Main, "Command")).first(), QStringLiteral("PASS geheim"))
            << "kept while the program runs";
    }
    QFile Saved(File());
    ASSERT_TRUE(Saved.open(QIODevice::ReadOnly));
    const QByteArray Text = Saved.readAll();
    for (const char* Secret : { "geheim", "von-frueher" })
        EXPECT_FALSE(Text.contains(Secret)) << Secret;
    EXPECT_TRUE(Text.contains("USER kim"));
}
