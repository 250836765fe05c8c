// Per-user settings store.
#include "app/settings/SettingsStore.h"

#include "app/settings/SafeFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kText = "text";
const char* const kInteger = "integer";

QJsonObject NodeToJson(const TSettingsStore::Node& node)
{
    QJsonObject keys;
    for (const auto& [name, child] : node.keys)
        keys.insert(name, NodeToJson(child));
    QJsonObject values;
    for (const auto& [name, value] : node.values) {
        QJsonObject entry;
        if (value.isInteger) {
            entry.insert("type", kInteger);
            entry.insert("value", value.number);
        } else {
            entry.insert("type", kText);
            entry.insert("value", value.text);
        }
        values.insert(name, entry);
    }
    QJsonObject result;
    result.insert("keys", keys);
    result.insert("values", values);
    return result;
}

bool NodeFromJson(const QJsonObject& object, TSettingsStore::Node& node, int depth)
{
    // A hand-edited file must not be able to recurse us off the stack.
    if (depth > 64)
        return false;
    const QJsonValue keys = object.value("keys");
    const QJsonValue values = object.value("values");
    if ((!keys.isUndefined() && !keys.isObject()) || (!values.isUndefined() && !values.isObject()))
        return false;
    const QJsonObject keyObject = keys.toObject();
    for (auto it = keyObject.begin(); it != keyObject.end(); ++it) {
        if (it.key().isEmpty() || it.key().contains(QLatin1Char('\\')) || !it.value().isObject())
            return false;
        if (!NodeFromJson(it.value().toObject(), node.keys[it.key()], depth + 1))
            return false;
    }
    const QJsonObject valueObject = values.toObject();
    for (auto it = valueObject.begin(); it != valueObject.end(); ++it) {
        if (!it.value().isObject())
            return false;
        const QJsonObject entry = it.value().toObject();
        const QString type = entry.value("type").toString();
        const QJsonValue content = entry.value("value");
        TSettingsStore::Value value;
        if (type == QLatin1String(kText) && content.isString()) {
            value.text = content.toString();
        } else if (type == QLatin1String(kInteger) && content.isDouble()) {
            const double number = content.toDouble();
            if (number != std::floor(number) || number < std::numeric_limits<int>::min()
                || number > std::numeric_limits<int>::max())
                return false;
            value.isInteger = true;
            value.number = static_cast<int>(number);
        } else {
            return false;
        }
        node.values[it.key()] = value;
    }
    return true;
}

} // namespace

TSettingsError::TSettingsError(const QString& message)
    : std::runtime_error(message.toStdString())
{
}

QString TSettingsError::Message() const { return QString::fromUtf8(what()); }

namespace SettingsFormat {

QByteArray Serialize(const TSettingsStore::Node& root)
{
    QJsonObject document;
    document.insert("format", 1);
    document.insert("root", NodeToJson(root));
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}

bool Parse(const QByteArray& data, TSettingsStore::Node& root)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    if (object.value("format").toInt() != 1 || !object.value("root").isObject())
        return false;
    TSettingsStore::Node parsed;
    if (!NodeFromJson(object.value("root").toObject(), parsed, 0))
        return false;
    root = std::move(parsed);
    return true;
}

QStringList SplitKeyPath(const QString& path) { return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts); }

} // namespace SettingsFormat

namespace {

TSettingsStore::TFileStamp StampOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

} // namespace

TSettingsStore::TSettingsStore(const QString& filePath)
    : filePath_(filePath.isEmpty() ? DefaultFilePath() : filePath)
{
}

TSettingsStore::~TSettingsStore()
{
    if (open_)
        CloseKey();
}

QString TSettingsStore::DefaultFilePath()
{
    // Honours XDG_CONFIG_HOME, falls back to ~/.config.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/brieflotse/settings.json");
}

QString TSettingsStore::CurrentPath() const
{
    return QLatin1Char('\\') + currentParts_.join(QLatin1Char('\\')) + (currentParts_.isEmpty() ? "" : "\\");
}

QStringList TSettingsStore::Resolve(const QString& path) const
{
    const QStringList parts = SettingsFormat::SplitKeyPath(path);
    if (path.startsWith(QLatin1Char('\\')) || !open_)
        return parts;
    return currentParts_ + parts;
}

TSettingsStore::Node* TSettingsStore::Find(const QStringList& parts, bool create)
{
    Node* node = &root_;
    for (const QString& part : parts) {
        auto it = node->keys.find(part);
        if (it == node->keys.end()) {
            if (!create)
                return nullptr;
            it = node->keys.emplace(part, Node()).first;
            dirty_ = true;
        }
        node = &it->second;
    }
    return node;
}

bool TSettingsStore::OpenKey(const QString& path, bool canCreate)
{
    const QStringList parts = Resolve(path);
    if (open_)
        CloseKey();
    Load();
    dirty_ = false;
    Node* node = Find(parts, canCreate);
    if (!node)
        return false;
    open_ = true;
    current_ = node;
    currentParts_ = parts;
    return true;
}

bool TSettingsStore::CloseKey()
{
    const bool changed = open_ && dirty_;
    open_ = false;
    current_ = nullptr;
    currentParts_.clear();
    dirty_ = false;
    return changed ? Save() : true;
}

bool TSettingsStore::ValueExists(const QString& name) const
{
    return open_ && current_->values.count(name) > 0;
}

const TSettingsStore::Value& TSettingsStore::Lookup(const QString& name) const
{
    if (!open_)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    const auto it = current_->values.find(name);
    if (it == current_->values.end())
        throw TSettingsError(QStringLiteral("Der Wert \"%1\" ist nicht vorhanden.").arg(name));
    return it->second;
}

QString TSettingsStore::ReadString(const QString& name) const
{
    const Value& value = Lookup(name);
    if (value.isInteger)
        throw TSettingsError(QStringLiteral("Der Wert \"%1\" hat nicht den erwarteten Typ.").arg(name));
    return value.text;
}

int TSettingsStore::ReadInteger(const QString& name) const
{
    const Value& value = Lookup(name);
    if (!value.isInteger)
        throw TSettingsError(QStringLiteral("Der Wert \"%1\" hat nicht den erwarteten Typ.").arg(name));
    return value.number;
}

void TSettingsStore::WriteString(const QString& name, const QString& value)
{
    if (!open_)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    Value entry;
    entry.text = value;
    current_->values[name] = entry;
    dirty_ = true;
}

void TSettingsStore::WriteInteger(const QString& name, int value)
{
    if (!open_)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    Value entry;
    entry.isInteger = true;
    entry.number = value;
    current_->values[name] = entry;
    dirty_ = true;
}

bool TSettingsStore::IsText(const QString& name) const
{
    if (!open_)
        return false;
    const auto it = current_->values.find(name);
    return it != current_->values.end() && !it->second.isInteger;
}

bool TSettingsStore::DeleteValue(const QString& name)
{
    if (!open_)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    if (current_->values.erase(name) == 0)
        return false;
    dirty_ = true;
    return true;
}

bool TSettingsStore::DeleteKey(const QString& path)
{
    const QStringList parts = Resolve(path);
    if (open_)
        CloseKey();
    // The root itself is not a key one can delete.
    if (parts.isEmpty())
        return false;
    Load();
    Node* parent = Find(parts.mid(0, parts.size() - 1), false);
    if (!parent || parent->keys.erase(parts.last()) == 0)
        return false;
    return Save();
}

QString TSettingsStore::TakeLoadProblem()
{
    QString problem;
    problem.swap(loadProblem_);
    return problem;
}

QString TSettingsStore::TakeWriteProblem()
{
    QString problem;
    problem.swap(writeProblem_);
    return problem;
}

void TSettingsStore::Load()
{
    // Re-read only what changed on disk since the last read or write: a load
    // opens many keys, and another instance may have written in between.
    const TFileStamp stamp = StampOf(filePath_);
    if (loaded_ && stamp == stamp_)
        return;
    loaded_ = false;
    root_ = Node();
    unreadable_ = false;
    const SafeFile::TReadResult read = SafeFile::ReadRegularFile(filePath_, MaxFileBytes);
    // A missing file, or a link to one, is a first run.
    if (!read.Exists) {
        stamp_ = stamp;
        loaded_ = true;
        return;
    }
    if (!read.Problem.isEmpty()) {
        unreadable_ = true;
        loadProblem_ = QStringLiteral("Die Einstellungen konnten nicht aus \"%1\" gelesen werden: %2\r\n\r\n"
                                      "Brieflotse startet mit den Voreinstellungen.")
                           .arg(filePath_, read.Problem);
        return;
    }
    const QByteArray& data = read.Data;
    if (SettingsFormat::Parse(data, root_)) {
        stamp_ = stamp;
        loaded_ = true;
        return;
    }
    root_ = Node();
    // Keep the broken file for the user instead of overwriting it at the next close.
    const QString aside
        = filePath_ + QStringLiteral(".defekt-") + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss-zzz");
    if (QFile::rename(filePath_, aside)) {
        loadProblem_ = QStringLiteral("Die Einstellungsdatei \"%1\" ist beschädigt und wurde unter \"%2\" "
                                      "beiseitegelegt.\r\n\r\nBrieflotse startet mit den Voreinstellungen.")
                           .arg(filePath_, aside);
    } else {
        loadProblem_ = QStringLiteral("Die Einstellungsdatei \"%1\" ist beschädigt und konnte nicht "
                                      "beiseitegelegt werden.\r\n\r\nBrieflotse startet mit den Voreinstellungen.")
                           .arg(filePath_);
    }
}

bool TSettingsStore::Save()
{
    // A settings file that is a symbolic link (kept with the user's other
    // dotfiles, say) stays one: the file it names is replaced, not the link.
    const QFileInfo link(filePath_);
    const bool viaLink = link.isSymLink();
    const QString target = viaLink ? link.symLinkTarget() : filePath_;
    const QFileInfo info(target);
    const QString folder = info.absolutePath();
    const QByteArray folderName = QFile::encodeName(folder);
    auto fail = [this](const QString& reason) {
        writeProblem_ = QStringLiteral("Die Einstellungen konnten nicht in \"%1\" gespeichert werden: %2")
                            .arg(filePath_, reason);
        loaded_ = false; // what is in memory was not written: read the file again next time
        return false;
    };
    if (unreadable_)
        return fail(QStringLiteral("Die vorhandene Datei ist nicht lesbar und wird nicht überschrieben."));

    // The file holds a password and the command history: private folder, private file.
    if (!QFileInfo(folder).isDir()) {
        if (!QDir().mkpath(folder))
            return fail(QStringLiteral("Der Ordner \"%1\" kann nicht angelegt werden.").arg(folder));
        ::chmod(folderName.constData(), 0700);
    } else if (filePath_ == DefaultFilePath() && !viaLink) {
        ::chmod(folderName.constData(), 0700);
    }

    // Through a link of the user's own the file it names is replaced; a link
    // someone else may have planted is refused.
    const QString problem
        = SafeFile::WriteFile(filePath_, SettingsFormat::Serialize(root_), 0600, SafeFile::TModeRule::Fixed);
    if (!problem.isEmpty())
        return fail(problem);
    stamp_ = StampOf(filePath_);
    loaded_ = true;
    return true;
}
