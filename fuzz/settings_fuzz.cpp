// Arbitrary bytes as the settings file: reading must not crash, and whatever
// it makes of them must be what a fresh start writes and reads back. A file
// that is not a well-formed store gives the defaults and one clear message.
// fuzz-sources: settings/SettingsStore.cpp settings/SafeFile.cpp
// fuzz-pkg: Qt6Core
#include "settings/SettingsStore.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool Condition)
{
    if (!Condition)
        std::abort();
}

bool SameTree(const TSettingsStore::TNode& A, const TSettingsStore::TNode& B)
{
    if (A.Values.size() != B.Values.size() || A.Keys.size() != B.Keys.size())
        return false;
    for (auto I = A.Values.begin(), J = B.Values.begin(); I != A.Values.end(); ++I, ++J) {
        if (I->first != J->first || I->second.IsInteger != J->second.IsInteger)
            return false;
        if (I->second.IsInteger ? I->second.Number != J->second.Number : I->second.Text != J->second.Text)
            return false;
    }
    for (auto I = A.Keys.begin(), J = B.Keys.begin(); I != A.Keys.end(); ++I, ++J)
        if (I->first != J->first || !SameTree(I->second, J->second))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    static QTemporaryDir Folder;
    Check(Folder.isValid());
    const QByteArray Bytes(reinterpret_cast<const char*>(Data), static_cast<qsizetype>(Size));

    // The format alone: what it accepts survives a round trip unchanged.
    TSettingsStore::TNode Parsed;
    const bool Valid = SettingsFormat::Parse(Bytes, Parsed);
    if (Valid) {
        TSettingsStore::TNode Again;
        Check(SettingsFormat::Parse(SettingsFormat::Serialize(Parsed), Again));
        Check(SameTree(Parsed, Again));
    }

    // The store reading the same bytes from its file, as at a program start.
    const QString Path = Folder.filePath(QStringLiteral("settings.json"));
    {
        QFile File(Path);
        Check(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
        Check(File.write(Bytes) == Bytes.size());
    }
    {
        TSettingsStore Store(Path);
        // Without creating keys nothing is written back, which keeps the runs fast.
        const bool Found = Store.OpenKey(QStringLiteral("\\Software\\Ravelko\\Brieflotse\\Misc\\"), false);
        const QString Problem = Store.TakeLoadProblem();
        Check(Valid == Problem.isEmpty());
        Check(Store.TakeLoadProblem().isEmpty());
        if (!Valid)
            Check(!Found); // defaults: an empty tree
        try {
            if (Store.ValueExists(QStringLiteral("WinsockTimeout")))
                Store.ReadInteger(QStringLiteral("WinsockTimeout"));
        } catch (const TSettingsError&) {
            // A text where a number belongs: the window reports it and keeps the default.
        }
        Check(Store.CloseKey());
    }
    // Broken files are set aside beside the store; start each input afresh.
    for (const QString& Name : QDir(Folder.path()).entryList(QDir::Files | QDir::Hidden))
        QFile::remove(Folder.filePath(Name));
    return 0;
}
