// The program's own files against what another user or a stray file can do:
// links planted where anyone may write, pipes and devices in a file's place,
// and a temporary file that must be private before it holds a byte.

#include <QFile>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/BrieflotseMain.h"
#include "dialogs/MessageBox.h"
#include "settings/SafeFile.h"
#include "settings/SettingsStore.h"
#include "tests/support/TempDir.h"

namespace {

QString Q(const std::string& Path)
{
    return QString::fromStdString(Path);
}

QByteArray ReadAll(const std::string& Path)
{
    QFile File(Q(Path));
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

void WriteAll(const std::string& Path, const QByteArray& Data)
{
    QFile File(Q(Path));
    ASSERT_TRUE(File.open(QIODevice::WriteOnly));
    File.write(Data);
}

} // namespace

TEST(SafeFile, LinksSomeoneElseMayHavePlantedAreNotWrittenThrough)
{
    TempDir Dir;
    const std::string Victim = Dir.file("victim.txt");
    WriteAll(Victim, "mine");

    // A folder like /tmp: anyone may write, only owners may delete.
    const std::string Shared = Dir.file("shared");
    ASSERT_EQ(::mkdir(Shared.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(Shared.c_str(), 01777), 0);
    ASSERT_EQ(::symlink(Victim.c_str(), (Shared + "/log.txt").c_str()), 0);
    const QString Refused = SafeFile::WriteFile(Q(Shared + "/log.txt"), "log", 0644, SafeFile::TModeRule::KeepExisting);
    EXPECT_TRUE(Refused.contains(QStringLiteral("symbolische Verknüpfung"))) << Refused.toStdString();
    EXPECT_EQ(ReadAll(Victim), QByteArray("mine"));

    // A link that belongs to another user, in a private folder.
    const passwd* Nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !Nobody)
        GTEST_SKIP() << "giving a link to another user needs root";
    const std::string Foreign = Dir.file("foreign.txt");
    ASSERT_EQ(::symlink(Victim.c_str(), Foreign.c_str()), 0);
    ASSERT_EQ(::lchown(Foreign.c_str(), Nobody->pw_uid, Nobody->pw_gid), 0);
    EXPECT_FALSE(SafeFile::WriteFile(Q(Foreign), "log", 0644, SafeFile::TModeRule::KeepExisting).isEmpty());
    EXPECT_EQ(ReadAll(Victim), QByteArray("mine"));
}

TEST(SafeFile, PipesAndDevicesAreRefusedAtOnce)
{
    TempDir Dir;
    const std::string Fifo = Dir.file("settings.json");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(SafeFile::WriteFile(Q(Fifo), "x", 0600, SafeFile::TModeRule::Fixed).isEmpty());
    EXPECT_FALSE(SafeFile::ReadRegularFile(Q(Fifo), 1024).Problem.isEmpty());

    // A settings file that is a pipe or an endless device: the window opens
    // with the defaults, tells why, and leaves the file alone at close.
    const std::string Zero = Dir.file("zero.json");
    ASSERT_EQ(::symlink("/dev/zero", Zero.c_str()), 0);
    for (const std::string& Path : { Fifo, Zero }) {
        SCOPED_TRACE(Path);
        TMessageBox::ResetRecord();
        TSettingsStore Store(Q(Path));
        {
            TPOP3Main Main(Store);
            EXPECT_TRUE(Store.TakeLoadProblem().contains(QStringLiteral("keine gewöhnliche Datei")));
            TMessageBox::SetNextAnswer(QMessageBox::Ok);
            EXPECT_TRUE(Main.close());
        }
        EXPECT_TRUE(TMessageBox::LastText().contains(QStringLiteral("nicht überschrieben")));
    }
    struct stat Info { };
    ASSERT_EQ(::stat(Fifo.c_str(), &Info), 0);
    EXPECT_TRUE(S_ISFIFO(Info.st_mode));
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
}

// Another user must never be able to read a private file through the
// temporary copy: it is private from the moment it exists.
TEST(SafeFile, TemporaryFileIsPrivateBeforeItHoldsData)
{
    TempDir Dir;
    const std::string Target = Dir.file("log.txt");
    WriteAll(Target, "old");
    ASSERT_EQ(::chmod(Target.c_str(), 0600), 0);

    const int Watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(Watch, 0);
    ASSERT_GE(::inotify_add_watch(Watch, Dir.path().c_str(), IN_CREATE), 0);
    const QByteArray Big(64 << 20, 'p');
    auto Writing = std::async(std::launch::async,
        [&] { return SafeFile::WriteFile(Q(Target), Big, 0644, SafeFile::TModeRule::KeepExisting); });
    pollfd Ready { Watch, POLLIN, 0 };
    ASSERT_EQ(::poll(&Ready, 1, 5000), 1);
    alignas(inotify_event) char Buffer[4096];
    const ssize_t Got = ::read(Watch, Buffer, sizeof Buffer);
    ASSERT_GT(Got, 0);
    const auto* Event = reinterpret_cast<const inotify_event*>(Buffer);
    struct stat Info { };
    if (::stat(Dir.file(Event->name).c_str(), &Info) == 0) { // gone already when the write was quick
        EXPECT_EQ(Info.st_mode & 077, 0u) << std::oct << Info.st_mode;
    }
    EXPECT_EQ(Writing.get(), QString());
    ::close(Watch);
    ASSERT_EQ(::stat(Target.c_str(), &Info), 0);
    EXPECT_EQ(Info.st_mode & 07777, 0600u);
    EXPECT_EQ(Info.st_size, Big.size());
}
