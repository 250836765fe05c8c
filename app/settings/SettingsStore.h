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
#include <sys/types.h>
#include <stdexcept>

class TSettingsError : public std::runtime_error {
public:
    explicit TSettingsError(const QString& message);
    QString Message() const;
};

class TSettingsStore {
public:
    // An empty path selects the per-user file $XDG_CONFIG_HOME/brieflotse/settings.json.
    explicit TSettingsStore(const QString& filePath = QString());
    ~TSettingsStore();
    TSettingsStore(const TSettingsStore&) = delete;
    TSettingsStore& operator=(const TSettingsStore&) = delete;

    static QString DefaultFilePath();

    // A path beginning with a backslash starts at the root, any other path below
    // the key that is open. Closes the open key first and re-reads the file.
    // With canCreate missing keys are created; without it a missing key gives false.
    bool OpenKey(const QString& path, bool canCreate);
    // Writes the file when anything changed since OpenKey. False when that write
    // failed; TakeWriteProblem then has the German explanation.
    bool CloseKey();
    bool HasOpenKey() const { return open_; }
    QString CurrentPath() const;

    bool ValueExists(const QString& name) const;
    // Both throw TSettingsError when the value is absent or of the other kind,
    // or when no key is open.
    QString ReadString(const QString& name) const;
    int ReadInteger(const QString& name) const;
    // Throw TSettingsError when no key is open.
    void WriteString(const QString& name, const QString& value);
    void WriteInteger(const QString& name, int value);
    // False when absent; the kinds are as ReadString and ReadInteger expect.
    bool IsText(const QString& name) const;
    // Removes the value; false when it did not exist. Throws without an open key.
    bool DeleteValue(const QString& name);

    // Deletes the key with all its values and subkeys and writes the file. Closes
    // the open key first. False when the key did not exist or the write failed.
    bool DeleteKey(const QString& path);

    QString FilePath() const { return filePath_; }

    // A German message, once, when the file could not be parsed and was put aside.
    QString TakeLoadProblem();
    // A German message, once, when the file could not be written.
    QString TakeWriteProblem();

    struct Value {
        bool isInteger = false;
        QString text;
        int number = 0;
    };
    struct Node {
        std::map<QString, Node> keys;
        std::map<QString, Value> values;
    };

    // Identifies one version of the file on disk.
    struct TFileStamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        time_t seconds = 0;
        long nanoseconds = 0;
        bool operator==(const TFileStamp& other) const
        {
            return exists == other.exists && device == other.device && inode == other.inode && size == other.size
                && seconds == other.seconds && nanoseconds == other.nanoseconds;
        }
    };

    // A settings file larger than this is not read (and never overwritten).
    static constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;

private:
    void Load();
    bool Save();
    QStringList Resolve(const QString& path) const;
    Node* Find(const QStringList& parts, bool create);
    const Value& Lookup(const QString& name) const;

    QString filePath_;
    Node root_;
    bool open_ = false;
    bool dirty_ = false;
    QStringList currentParts_;
    Node* current_ = nullptr;
    QString loadProblem_;
    QString writeProblem_;
    // The file exists but could not be read: never replace it with defaults.
    bool unreadable_ = false;
    // root_ holds the file as it was at stamp_.
    bool loaded_ = false;
    TFileStamp stamp_;
};

// The file format, apart from the file handling so tests can call it directly.
// Parse returns false for anything that is not a well-formed store.
namespace SettingsFormat {
QByteArray Serialize(const TSettingsStore::Node& root);
bool Parse(const QByteArray& data, TSettingsStore::Node& root);
// Splits "\Software\Ravelko\" into its key names; empty parts are dropped.
QStringList SplitKeyPath(const QString& path);
}
