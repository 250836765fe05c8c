#pragma once

// The per-user settings store: a small tree of keys holding named text and
// integer values, kept in one JSON file below the user's configuration folder.
// The accessor works like a registry key: open a key, read or write its values,
// close it. OpenKey re-reads the file when it changed on disk and every
// CloseKey that changed something rewrites it atomically, so two running
// instances never leave a broken file behind; the one that closes last wins.
// Only a regular file of at most MaxFileBytes is read.

#include <QString>
#include <QStringList>

#include <map>
#include <stdexcept>
#include <sys/types.h>

class TSettingsError : public std::runtime_error {
public:
    explicit TSettingsError(const QString& Message);
    QString Message() const;
};

class TSettingsStore {
public:
    // An empty path selects the per-user file $XDG_CONFIG_HOME/brieflotse/settings.json.
    explicit TSettingsStore(const QString& FilePath = QString());
    ~TSettingsStore();
    TSettingsStore(const TSettingsStore&) = delete;
    TSettingsStore& operator=(const TSettingsStore&) = delete;

    static QString DefaultFilePath();

    // A path beginning with a backslash starts at the root, any other path below
    // the key that is open. Closes the open key first and re-reads the file.
    // With CanCreate missing keys are created; without it a missing key gives false.
    bool OpenKey(const QString& Path, bool CanCreate);
    // Writes the file when anything changed since OpenKey. False when that write
    // failed; TakeWriteProblem then has the German explanation.
    bool CloseKey();
    bool HasOpenKey() const { return FOpen; }
    QString CurrentPath() const;

    bool ValueExists(const QString& Name) const;
    // Both throw TSettingsError when the value is absent or of the other kind,
    // or when no key is open.
    QString ReadString(const QString& Name) const;
    int ReadInteger(const QString& Name) const;
    // Throw TSettingsError when no key is open.
    void WriteString(const QString& Name, const QString& Value);
    void WriteInteger(const QString& Name, int Value);
    // False when absent; the kinds are as ReadString and ReadInteger expect.
    bool IsText(const QString& Name) const;
    // Removes the value; false when it did not exist. Throws without an open key.
    bool DeleteValue(const QString& Name);

    // Deletes the key with all its values and subkeys and writes the file. Closes
    // the open key first. False when the key did not exist or the write failed.
    bool DeleteKey(const QString& Path);

    QString FilePath() const { return FFilePath; }

    // A German message, once, when the file could not be parsed and was put aside.
    QString TakeLoadProblem();
    // A German message, once, when the file could not be written.
    QString TakeWriteProblem();

    struct TValue {
        bool IsInteger = false;
        QString Text;
        int Number = 0;
    };
    struct TNode {
        std::map<QString, TNode> Keys;
        std::map<QString, TValue> Values;
    };

    // Identifies one version of the file on disk.
    struct TFileStamp {
        bool Exists = false;
        dev_t Device = 0;
        ino_t Inode = 0;
        off_t Size = 0;
        time_t Seconds = 0;
        long Nanoseconds = 0;
        bool operator==(const TFileStamp& Other) const
        {
            return Exists == Other.Exists && Device == Other.Device && Inode == Other.Inode && Size == Other.Size
                && Seconds == Other.Seconds && Nanoseconds == Other.Nanoseconds;
        }
    };

    // A settings file larger than this is not read (and never overwritten).
    static constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;

private:
    void Load();
    bool Save();
    QStringList Resolve(const QString& Path) const;
    TNode* Find(const QStringList& Parts, bool Create);
    const TValue& Lookup(const QString& Name) const;

    QString FFilePath;
    TNode FRoot;
    bool FOpen = false;
    bool FDirty = false;
    QStringList FCurrentParts;
    TNode* FCurrent = nullptr;
    QString FLoadProblem;
    QString FWriteProblem;
    // The file exists but could not be read: never replace it with defaults.
    bool FUnreadable = false;
    // FRoot holds the file as it was at FStamp.
    bool FLoaded = false;
    TFileStamp FStamp;
};

// The file format, apart from the file handling so tests can call it directly.
// Parse returns false for anything that is not a well-formed store.
namespace SettingsFormat {
QByteArray Serialize(const TSettingsStore::TNode& Root);
bool Parse(const QByteArray& Data, TSettingsStore::TNode& Root);
// Splits "\Software\Ravelko\" into its key names; empty parts are dropped.
QStringList SplitKeyPath(const QString& Path);
}
