#include "settings/SettingsStore.h"
#include "tests/support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kBase = QStringLiteral("\\Software\\Ravelko\\Brieflotse\\");

QString Path(const TempDir& dir, const char* name)
{
    return QString::fromStdString(dir.file(name));
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteRaw(const QString& path, const QByteArray& data)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

int Mode(const QString& path)
{
    struct stat info { };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

QStringList Leftovers(const QString& folder, const QString& fileName)
{
    return QDir(folder).entryList({ fileName + ".tmp-*" }, QDir::Files | QDir::Hidden);
}

} // namespace

TEST(SettingsStore, ValuesKeepTheirKindAcrossARestart)
{
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    {
        TSettingsStore store(file);
        ASSERT_TRUE(store.OpenKey(kBase, true));
        store.WriteString("Version", "1.0 (Kiosko)");
        store.WriteInteger("Left", -100);
        store.WriteString("Empty", "");
        store.WriteString("Umlaut", QStringLiteral("Paßwörter"));
        EXPECT_TRUE(store.CloseKey());
    }
    TSettingsStore store(file);
    ASSERT_TRUE(store.OpenKey(kBase, false));
    EXPECT_EQ(store.ReadString("Version"), "1.0 (Kiosko)");
    EXPECT_EQ(store.ReadInteger("Left"), -100);
    EXPECT_EQ(store.ReadString("Empty"), "");
    EXPECT_EQ(store.ReadString("Umlaut"), QStringLiteral("Paßwörter"));
    EXPECT_TRUE(store.ValueExists("Left"));
    EXPECT_FALSE(store.ValueExists("left")) << "value names are case-sensitive";
    EXPECT_TRUE(store.CloseKey());
}

TEST(SettingsStore, WrongKindOrAbsentValueRaises)
{
    TempDir dir;
    TSettingsStore store(Path(dir, "settings.json"));
    ASSERT_TRUE(store.OpenKey(kBase, true));
    store.WriteString("Left", "100");
    store.WriteInteger("TopNum", 10);
    try {
        store.ReadInteger("Left");
        FAIL() << "no error raised";
    } catch (const TSettingsError& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("Der Wert \"Left\" hat nicht den erwarteten Typ."));
    }
    EXPECT_THROW(store.ReadString("TopNum"), TSettingsError);
    EXPECT_THROW(store.ReadString("Missing"), TSettingsError);
    EXPECT_THROW(store.ReadInteger("Missing"), TSettingsError);
    store.CloseKey();
    EXPECT_THROW(store.WriteString("Left", "x"), TSettingsError) << "no key open";
    EXPECT_FALSE(store.ValueExists("Left"));
}

TEST(SettingsStore, KeysAreCreatedOnlyWhenAskedAndPathsMayBeRelative)
{
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    TSettingsStore store(file);
    EXPECT_FALSE(store.OpenKey(kBase + "Misc\\", false));
    EXPECT_FALSE(QFile::exists(file)) << "a failed open writes nothing";

    // Merely opening with creation makes the key exist for the next run.
    ASSERT_TRUE(store.OpenKey(kBase + "Misc\\", true));
    EXPECT_TRUE(store.CloseKey());
    EXPECT_TRUE(QFile::exists(file));
    ASSERT_TRUE(store.OpenKey(kBase + "Misc\\", false));
    EXPECT_FALSE(store.OpenKey(kBase + "misc\\", false)) << "key names are case-sensitive";

    ASSERT_TRUE(store.OpenKey(kBase, false));
    ASSERT_TRUE(store.OpenKey("Assist\\", true));
    EXPECT_EQ(store.CurrentPath(), kBase + "Assist\\");
    store.WriteString("UserName", "anna");
    store.CloseKey();
    TSettingsStore other(file);
    ASSERT_TRUE(other.OpenKey(kBase + "Assist\\", false));
    EXPECT_EQ(other.ReadString("UserName"), "anna");
}

TEST(SettingsStore, DeleteKeyRemovesEverythingBelow)
{
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    TSettingsStore store(file);
    ASSERT_TRUE(store.OpenKey("\\Software\\Other\\", true));
    store.WriteString("Keep", "me");
    ASSERT_TRUE(store.OpenKey(kBase + "Misc\\", true));
    store.WriteString("InitDone", "");
    ASSERT_TRUE(store.OpenKey(kBase + "History\\Deep\\Deeper\\", true));
    store.WriteString("0000", "STAT");

    ASSERT_TRUE(store.OpenKey(kBase + "Misc\\", true));
    ASSERT_TRUE(store.ValueExists("InitDone"));
    EXPECT_TRUE(store.DeleteKey(kBase));
    EXPECT_FALSE(store.HasOpenKey());

    TSettingsStore fresh(file);
    EXPECT_FALSE(fresh.OpenKey(kBase, false));
    EXPECT_FALSE(fresh.OpenKey(kBase + "History\\Deep\\", false));
    ASSERT_TRUE(fresh.OpenKey("\\Software\\Other\\", false));
    EXPECT_EQ(fresh.ReadString("Keep"), "me");
    EXPECT_FALSE(fresh.DeleteKey(kBase)) << "already gone";
    EXPECT_FALSE(fresh.DeleteKey("\\")) << "the root stays";
}

TEST(SettingsStore, FileIsPrivateAndItsNewFolderToo)
{
    TempDir dir;
    const QString file = Path(dir, "brieflotse/settings.json");
    TSettingsStore store(file);
    ASSERT_TRUE(store.OpenKey(kBase + "Assist\\", true));
    store.WriteString("PassWord", "geheim");
    ASSERT_TRUE(store.CloseKey());
    EXPECT_EQ(Mode(file), 0600);
    EXPECT_EQ(Mode(Path(dir, "brieflotse")), 0700);
    EXPECT_TRUE(Leftovers(Path(dir, "brieflotse"), "settings.json").isEmpty());
}

TEST(SettingsStore, DefaultFileLiesBelowTheUsersConfigFolder)
{
    TempDir dir;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir.path()));
    const QString expected = QString::fromStdString(dir.path()) + "/brieflotse/settings.json";
    EXPECT_EQ(TSettingsStore().FilePath(), expected);
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST(SettingsStore, CorruptFileIsPutAsideAndDefaultsApply)
{
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    const QByteArray garbage = "{\"format\": 1, \"root\": {\"values\": {\"Left\": ";
    WriteRaw(file, garbage);

    TSettingsStore store(file);
    ASSERT_TRUE(store.OpenKey(kBase, true));
    EXPECT_FALSE(store.ValueExists("Left"));
    const QString problem = store.TakeLoadProblem();
    EXPECT_TRUE(problem.contains(QStringLiteral("beschädigt"))) << problem.toStdString();
    EXPECT_TRUE(store.TakeLoadProblem().isEmpty()) << "reported once";

    const QStringList aside = QDir(Path(dir, "")).entryList({ "settings.json.defekt-*" }, QDir::Files);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(ReadAll(Path(dir, "") + aside.first()), garbage);

    store.WriteInteger("Left", 5);
    ASSERT_TRUE(store.CloseKey());
    ASSERT_TRUE(store.OpenKey(kBase, false));
    EXPECT_EQ(store.ReadInteger("Left"), 5);
    EXPECT_TRUE(store.TakeLoadProblem().isEmpty());
}

TEST(SettingsStore, FormatRejectsWhatItDidNotWrite)
{
    TSettingsStore::TNode root;
    EXPECT_FALSE(SettingsFormat::Parse("", root));
    EXPECT_FALSE(SettingsFormat::Parse("[]", root));
    EXPECT_FALSE(SettingsFormat::Parse("{\"format\": 2, \"root\": {}}", root));
    EXPECT_FALSE(SettingsFormat::Parse(
        "{\"format\":1,\"root\":{\"values\":{\"Left\":{\"type\":\"integer\",\"value\":1.5}}}}", root));
    EXPECT_FALSE(SettingsFormat::Parse(
        "{\"format\":1,\"root\":{\"values\":{\"Left\":{\"type\":\"integer\",\"value\":\"1\"}}}}", root));
    EXPECT_FALSE(SettingsFormat::Parse(
        "{\"format\":1,\"root\":{\"values\":{\"Left\":{\"type\":\"integer\",\"value\":4294967296}}}}", root));
    EXPECT_FALSE(SettingsFormat::Parse("{\"format\":1,\"root\":{\"keys\":{\"a\":5}}}", root));

    QByteArray deep = "{\"format\":1,\"root\":";
    for (int i = 0; i < 100; ++i)
        deep += "{\"keys\":{\"k\":";
    deep += "{}";
    for (int i = 0; i < 100; ++i)
        deep += "}}";
    deep += "}";
    EXPECT_FALSE(SettingsFormat::Parse(deep, root));

    ASSERT_TRUE(SettingsFormat::Parse(
        "{\"format\":1,\"root\":{\"keys\":{\"Misc\":{\"values\":{\"WinsockTimeout\":"
        "{\"type\":\"integer\",\"value\":-20},\"SaveFolder\":{\"type\":\"text\",\"value\":\"\"}}}}}}",
        root));
    EXPECT_EQ(root.Keys.at("Misc").Values.at("WinsockTimeout").Number, -20);
    EXPECT_FALSE(root.Keys.at("Misc").Values.at("SaveFolder").IsInteger);
    EXPECT_EQ(
        SettingsFormat::SplitKeyPath(kBase + "Misc\\"), (QStringList { "Software", "Ravelko", "Brieflotse", "Misc" }));
}

TEST(SettingsStore, FailedWriteReportsAndLeavesNoPartialFile)
{
    TempDir dir;
    // The folder cannot be created because a file stands in its place.
    WriteRaw(Path(dir, "blocker"), "x");
    {
        TSettingsStore store(Path(dir, "blocker/settings.json"));
        ASSERT_TRUE(store.OpenKey(kBase, true));
        store.WriteString("Version", "1.0 (Kiosko)");
        EXPECT_FALSE(store.CloseKey());
        EXPECT_TRUE(store.TakeWriteProblem().startsWith(QStringLiteral("Die Einstellungen konnten nicht")));
        EXPECT_TRUE(store.TakeWriteProblem().isEmpty());
    }
    // The file's name is taken by a folder: the rename fails, the temporary file goes.
    ASSERT_TRUE(QDir().mkpath(Path(dir, "taken/settings.json")));
    {
        TSettingsStore store(Path(dir, "taken/settings.json"));
        ASSERT_TRUE(store.OpenKey(kBase, true));
        store.WriteString("Version", "1.0 (Kiosko)");
        EXPECT_FALSE(store.CloseKey());
        EXPECT_TRUE(Leftovers(Path(dir, "taken"), "settings.json").isEmpty());
    }
}

TEST(SettingsStore, WriteThatRunsOutOfSpaceKeepsTheOldFile)
{
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    TSettingsStore store(file);
    ASSERT_TRUE(store.OpenKey(kBase, true));
    store.WriteString("Version", "1.0 (Kiosko)");
    ASSERT_TRUE(store.CloseKey());
    const QByteArray before = ReadAll(file);

    ASSERT_TRUE(store.OpenKey(kBase, true));
    store.WriteString("Big", QString(64 * 1024, QLatin1Char('x')));
    // A file size limit fails the write even for root, like a full disk.
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = store.CloseKey();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(written);
    EXPECT_FALSE(store.TakeWriteProblem().isEmpty());
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_TRUE(Leftovers(Path(dir, ""), "settings.json").isEmpty());
}

TEST(SettingsStore, ReadOnlyFolderFailsCleanly)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "file permissions do not stop root";
    TempDir dir;
    const QString folder = Path(dir, "locked");
    ASSERT_TRUE(QDir().mkpath(folder));
    ::chmod(QFile::encodeName(folder).constData(), 0500);
    TSettingsStore store(folder + "/settings.json");
    ASSERT_TRUE(store.OpenKey(kBase, true));
    store.WriteString("Version", "1.0 (Kiosko)");
    EXPECT_FALSE(store.CloseKey());
    EXPECT_FALSE(QFile::exists(folder + "/settings.json"));
    ::chmod(QFile::encodeName(folder).constData(), 0700);
}

TEST(SettingsStore, UnreadableFileIsNeverReplacedByDefaults)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "file permissions do not stop root";
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    {
        TSettingsStore store(file);
        ASSERT_TRUE(store.OpenKey(kBase, true));
        store.WriteString("Version", "1.0 (Kiosko)");
        ASSERT_TRUE(store.CloseKey());
    }
    ::chmod(QFile::encodeName(file).constData(), 0);
    TSettingsStore store(file);
    ASSERT_TRUE(store.OpenKey(kBase + "Misc\\", true));
    store.WriteInteger("WinsockTimeout", 10);
    EXPECT_FALSE(store.CloseKey());
    EXPECT_FALSE(store.TakeWriteProblem().isEmpty());
    ::chmod(QFile::encodeName(file).constData(), 0600);
    TSettingsStore check(file);
    ASSERT_TRUE(check.OpenKey(kBase, false));
    EXPECT_EQ(check.ReadString("Version"), QString("1.0 (Kiosko)"));
    check.CloseKey();
}

TEST(SettingsStore, ASymbolicLinkStaysALink)
{
    TempDir dir;
    const QString real = Path(dir, "dotfiles-settings.json");
    const QString link = Path(dir, "settings.json");
    ASSERT_TRUE(QFile::link(real, link));
    {
        TSettingsStore store(link);
        ASSERT_TRUE(store.OpenKey(kBase, true));
        store.WriteString("Version", "1.0 (Kiosko)");
        ASSERT_TRUE(store.CloseKey()) << store.TakeWriteProblem().toStdString();
    }
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFileInfo(real).isFile());
    TSettingsStore check(link);
    ASSERT_TRUE(check.OpenKey(kBase, false));
    EXPECT_EQ(check.ReadString("Version"), QString("1.0 (Kiosko)"));
    check.CloseKey();
}

TEST(SettingsStore, TwoInstancesTheOneClosingLastWins)
{
    TempDir dir;
    const QString file = Path(dir, "settings.json");
    TSettingsStore first(file);
    TSettingsStore second(file);
    ASSERT_TRUE(first.OpenKey(kBase + "Misc\\", true));
    ASSERT_TRUE(second.OpenKey(kBase + "Misc\\", true));
    first.WriteInteger("WinsockTimeout", 10);
    second.WriteInteger("WinsockTimeout", 40);
    ASSERT_TRUE(first.CloseKey());
    ASSERT_TRUE(second.CloseKey());

    TSettingsStore third(file);
    ASSERT_TRUE(third.OpenKey(kBase + "Misc\\", false));
    EXPECT_EQ(third.ReadInteger("WinsockTimeout"), 40);
    EXPECT_TRUE(third.TakeLoadProblem().isEmpty()) << "the file stayed valid";

    // Each open re-reads, so a later open sees what the other instance wrote.
    ASSERT_TRUE(first.OpenKey(kBase + "Misc\\", false));
    EXPECT_EQ(first.ReadInteger("WinsockTimeout"), 40);
}
