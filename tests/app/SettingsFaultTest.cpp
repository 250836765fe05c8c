// The main window with settings and save files that others have touched or
// that cannot be written: it always opens, falls back to the defaults with one
// clear message, keeps the broken file for the user, and never reports a
// failed write as success.

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "protocollog/LogView.h"
#include "settings/SettingsStore.h"
#include "tests/support/TempDir.h"
#include "tests/support/qt/Child.h"

namespace {

const QString kBase = QStringLiteral("\\Software\\Ravelko\\Brieflotse\\");
const QString kSettingsTitle = QStringLiteral("Brieflotse - Einstellungen");

QString FileIn(const TempDir& Dir, const char* Name)
{
    return QString::fromStdString(Dir.file(Name));
}

QByteArray ReadAll(const QString& Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

void WriteRaw(const QString& Path, const QByteArray& Data)
{
    QFile File(Path);
    ASSERT_TRUE(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    File.write(Data);
}

// A store as a previous run leaves it: 40 seconds, one host, fixed-pitch font.
QByteArray GoodFile()
{
    TSettingsStore::TNode Root;
    TSettingsStore::TNode& Program = Root.Keys["Software"].Keys["Ravelko"].Keys["Brieflotse"];
    TSettingsStore::TValue Timeout;
    Timeout.IsInteger = true;
    Timeout.Number = 40;
    Program.Keys["Misc"].Values["WinsockTimeout"] = Timeout;
    TSettingsStore::TValue Host;
    Host.Text = QStringLiteral("pop.example.test");
    Program.Keys["Hosts"].Values["0000"] = Host;
    TSettingsStore::TValue Font;
    Font.Text = QStringLiteral("mono");
    Program.Keys["Display"].Values["FontWidth"] = Font;
    return SettingsFormat::Serialize(Root);
}

void ExpectDefaults(TPOP3Main& Main)
{
    EXPECT_TRUE(Child<QAction>(Main, "Menu30Sek")->isChecked());
    EXPECT_EQ(Main.Conversation().WaitTimeout(), 30);
    EXPECT_TRUE(Child<QAction>(Main, "MenuFontProp")->isChecked());
    EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->count(), 0);
}

QStringList AsideFiles(const TempDir& Dir)
{
    return QDir(QString::fromStdString(Dir.path())).entryList({ "settings.json.defekt-*" }, QDir::Files);
}

} // namespace

TEST(SettingsFault, BrokenFilesGiveDefaultsOneMessageAndAreKept)
{
    const QByteArray Good = GoodFile();
    const std::vector<std::pair<const char*, QByteArray>> Cases = {
        { "truncated", Good.left(Good.size() / 2) },
        { "not JSON", "[Brieflotse]\r\nWinsockTimeout=40\r\n" },
        { "binary", QByteArray("\x00\xff\xfe{\x01\"format\"", 14) },
        { "JSON of another shape", "{\"format\":1,\"root\":{\"keys\":{\"Software\":[1,2,3]}}}" },
        { "empty", "" },
    };
    for (const auto& [Name, Bytes] : Cases) {
        SCOPED_TRACE(Name);
        TempDir Dir;
        const QString Path = FileIn(Dir, "settings.json");
        WriteRaw(Path, Bytes);
        TMessageBox::ResetRecord();
        TSettingsStore Store(Path);
        {
            TPOP3Main Main(Store);
            ExpectDefaults(Main);
            const QString Problem = Store.TakeLoadProblem();
            EXPECT_TRUE(Problem.contains(QStringLiteral("beschädigt"))) << Problem.toStdString();
            EXPECT_TRUE(Problem.contains(QStringLiteral("Voreinstellungen")));
            EXPECT_TRUE(Store.TakeLoadProblem().isEmpty()) << "told once";
            EXPECT_TRUE(Main.close());
        }
        const QStringList Aside = AsideFiles(Dir);
        ASSERT_EQ(Aside.size(), 1);
        EXPECT_EQ(ReadAll(FileIn(Dir, "") + Aside.first()), Bytes) << "the user's file is kept as it was";
        // What the closing window wrote is a sound store again.
        TSettingsStore::TNode Root;
        EXPECT_TRUE(SettingsFormat::Parse(ReadAll(Path), Root));
    }
}

TEST(SettingsFault, WrongKindEndsTheLoadWithAMessageAndTheWindowStillOpens)
{
    TempDir Dir;
    const QString Path = FileIn(Dir, "settings.json");
    {
        TSettingsStore Writer(Path);
        ASSERT_TRUE(Writer.OpenKey(kBase + "Hosts\\", true));
        Writer.WriteString("0000", "pop.example.test");
        ASSERT_TRUE(Writer.OpenKey(kBase + "Misc\\", true));
        Writer.WriteString("WinsockTimeout", "40");
        ASSERT_TRUE(Writer.CloseKey());
    }
    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    TSettingsStore Store(Path);
    TPOP3Main Main(Store);
    EXPECT_EQ(TMessageBox::ShownCount(), 1);
    EXPECT_EQ(TMessageBox::LastTitle(), kSettingsTitle);
    EXPECT_EQ(TMessageBox::LastText(), QStringLiteral("Der Wert \"WinsockTimeout\" hat nicht den erwarteten Typ."));
    EXPECT_EQ(Child<QComboBox>(Main, "HostCombo")->itemText(0), QStringLiteral("pop.example.test"))
        << "read before the fault";
    EXPECT_TRUE(Child<QAction>(Main, "Menu30Sek")->isChecked());
    EXPECT_FALSE(Store.HasOpenKey());
    EXPECT_TRUE(Store.TakeLoadProblem().isEmpty()) << "the file itself is sound";
}

TEST(SettingsFault, UnreadableFileOrReadOnlyFolder)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: file modes stop neither reads nor writes";
    TempDir Dir;
    const QString Path = FileIn(Dir, "settings.json");
    WriteRaw(Path, GoodFile());
    ::chmod(QFile::encodeName(Path).constData(), 0);
    {
        TSettingsStore Store(Path);
        TPOP3Main Main(Store);
        ExpectDefaults(Main);
        EXPECT_TRUE(Store.TakeLoadProblem().contains(QStringLiteral("nicht aus")));
    }
    ::chmod(QFile::encodeName(Path).constData(), 0600);

    const QString Folder = FileIn(Dir, "locked");
    ASSERT_TRUE(QDir().mkpath(Folder));
    ::chmod(QFile::encodeName(Folder).constData(), 0500);
    {
        TMessageBox::ResetRecord();
        TSettingsStore Store(Folder + "/settings.json");
        TPOP3Main Main(Store);
        ExpectDefaults(Main);
        TMessageBox::SetNextAnswer(QMessageBox::Ok);
        EXPECT_TRUE(Main.close()) << "the program still ends";
        EXPECT_EQ(TMessageBox::LastTitle(), kSettingsTitle);
        EXPECT_TRUE(TMessageBox::LastText().startsWith(QStringLiteral("Die Einstellungen konnten nicht")));
    }
    ::chmod(QFile::encodeName(Folder).constData(), 0700);
}

TEST(SettingsFault, SettingsPathThatIsAFolderCannotBeReadOrReplaced)
{
    TempDir Dir;
    const QString Path = FileIn(Dir, "settings.json");
    ASSERT_TRUE(QDir().mkpath(Path));
    TMessageBox::ResetRecord();
    TSettingsStore Store(Path);
    {
        TPOP3Main Main(Store);
        ExpectDefaults(Main);
        EXPECT_FALSE(Store.TakeLoadProblem().isEmpty());
        Store.TakeWriteProblem(); // the keys created while loading could not be written either
        TMessageBox::SetNextAnswer(QMessageBox::Ok);
        EXPECT_TRUE(Main.close());
        EXPECT_EQ(TMessageBox::LastTitle(), kSettingsTitle);
    }
    EXPECT_TRUE(QFileInfo(Path).isDir()) << "nothing was put in its place";
}

TEST(SettingsFault, FullDiskAtCloseKeepsAWholeFileAndTellsTheUser)
{
    TempDir Dir;
    const QString Path = FileIn(Dir, "settings.json");
    WriteRaw(Path, GoodFile());
    TSettingsStore Store(Path);
    TPOP3Main Main(Store);
    ASSERT_TRUE(Child<QAction>(Main, "Menu40Sek")->isChecked());
    const QByteArray Before = ReadAll(Path); // as the start left it
    // A long history makes the file larger than the limit below.
    for (int I = 0; I < 64; ++I)
        Child<QComboBox>(Main, "HostCombo")->addItem(QString(200, QLatin1Char('a' + I % 26)));

    // A file size limit fails the write even for root, as a full disk does.
    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    rlimit Saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &Saved), 0);
    rlimit Small = Saved;
    Small.rlim_cur = 4096;
    auto* Previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &Small), 0);
    const bool Closed = Main.close();
    ::setrlimit(RLIMIT_FSIZE, &Saved);
    std::signal(SIGXFSZ, Previous);

    EXPECT_TRUE(Closed);
    EXPECT_EQ(TMessageBox::LastTitle(), kSettingsTitle);
    EXPECT_TRUE(TMessageBox::LastText().startsWith(QStringLiteral("Die Einstellungen konnten nicht")))
        << TMessageBox::LastText().toStdString();
    // Keys small enough were written; the one that did not fit kept its old values.
    EXPECT_NE(ReadAll(Path), Before);
    TSettingsStore::TNode Root;
    ASSERT_TRUE(SettingsFormat::Parse(ReadAll(Path), Root)) << "the file stays whole";
    const TSettingsStore::TNode& Hosts = Root.Keys["Software"].Keys["Ravelko"].Keys["Brieflotse"].Keys["Hosts"];
    ASSERT_EQ(Hosts.Values.size(), 1u);
    EXPECT_EQ(Hosts.Values.at("0000").Text, QStringLiteral("pop.example.test"));
    EXPECT_TRUE(QDir(FileIn(Dir, "")).entryList({ "settings.json.tmp-*" }, QDir::Files | QDir::Hidden).isEmpty());
}

TEST(SettingsFault, TwoInstancesClosingTheOneClosingLastWins)
{
    TempDir Dir;
    const QString Path = FileIn(Dir, "settings.json");
    TSettingsStore StoreA(Path);
    TSettingsStore StoreB(Path);
    TPOP3Main First(StoreA);
    TPOP3Main Second(StoreB);
    First.MenuTimeoutClick(Child<QAction>(First, "Menu10Sek"));
    Second.MenuTimeoutClick(Child<QAction>(Second, "Menu40Sek"));
    Child<QComboBox>(First, "HostCombo")->addItem(QStringLiteral("erster.example.test"));
    EXPECT_TRUE(First.close());
    EXPECT_TRUE(Second.close());
    {
        TSettingsStore Check(Path);
        TPOP3Main Third(Check);
        EXPECT_TRUE(Check.TakeLoadProblem().isEmpty());
        EXPECT_TRUE(Child<QAction>(Third, "Menu40Sek")->isChecked());
        EXPECT_EQ(Child<QComboBox>(Third, "HostCombo")->count(), 1)
            << "the first's history value stays, as nothing deletes it";
    }

    // Two stores writing at the same moment, again and again: every read in
    // between finds a whole file, and the end holds one writer's values.
    std::atomic<bool> Go { false };
    auto Writer = [&](int Value) {
        TSettingsStore Store(Path);
        while (!Go.load()) { }
        for (int Round = 0; Round < 40; ++Round) {
            if (!Store.OpenKey(kBase + "Misc\\", true))
                return;
            Store.WriteInteger("WinsockTimeout", Value);
            Store.WriteString("Writer", QString::number(Value));
            Store.CloseKey();
        }
    };
    std::thread A(Writer, 10);
    std::thread B(Writer, 20);
    Go = true;
    int Problems = 0;
    for (int Read = 0; Read < 40; ++Read) {
        TSettingsStore Reader(Path);
        Reader.OpenKey(kBase + "Misc\\", false);
        if (!Reader.TakeLoadProblem().isEmpty())
            ++Problems;
    }
    A.join();
    B.join();
    EXPECT_EQ(Problems, 0);
    TSettingsStore Final(Path);
    ASSERT_TRUE(Final.OpenKey(kBase + "Misc\\", false));
    EXPECT_TRUE(Final.TakeLoadProblem().isEmpty());
    const int Timeout = Final.ReadInteger("WinsockTimeout");
    EXPECT_TRUE(Timeout == 10 || Timeout == 20);
    EXPECT_EQ(Final.ReadString("Writer"), QString::number(Timeout)) << "values of one writer, not a mix";
}

TEST(SettingsFault, SavingTheLogToAFullDiskOrAVanishedFolder)
{
    TempDir Dir;
    TSettingsStore Store(FileIn(Dir, "settings.json"));
    TPOP3Main Main(Store);
    Main.ProtocolLog().Append(TLogEntryKind::Status, "+OK POP3 bereit\r\n");
    const QString Before = Child<TLogView>(Main, "Log")->PlainText();
    Main.SetSaveFolder(QStringLiteral("/vorher/"));

    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    EXPECT_FALSE(Main.SaveLogTo(QStringLiteral("/dev/full"), TLogFileType::PlainText));
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Speichern"));
    EXPECT_FALSE(TMessageBox::LastText().isEmpty());
    EXPECT_EQ(Main.SaveFolder(), QStringLiteral("/vorher/"));

    const QString Gone = FileIn(Dir, "weg");
    ASSERT_TRUE(QDir().mkpath(Gone));
    ASSERT_TRUE(QDir(Gone).removeRecursively());
    TMessageBox::ResetRecord();
    TMessageBox::SetNextAnswer(QMessageBox::Ok);
    EXPECT_FALSE(Main.SaveLogTo(Gone + "/protokoll.rtf", TLogFileType::RichText));
    EXPECT_EQ(TMessageBox::LastTitle(), QStringLiteral("Brieflotse - Speichern"));
    EXPECT_EQ(Main.SaveFolder(), QStringLiteral("/vorher/"));
    EXPECT_FALSE(QFileInfo::exists(Gone));
    EXPECT_EQ(Child<TLogView>(Main, "Log")->PlainText(), Before);

    // A save that works afterwards still does.
    EXPECT_TRUE(Main.SaveLogTo(FileIn(Dir, "protokoll.txt"), TLogFileType::PlainText));
    EXPECT_EQ(ReadAll(FileIn(Dir, "protokoll.txt")), QByteArray("+OK POP3 bereit\r\n"));
}
