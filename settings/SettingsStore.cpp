// Per-user settings store.
#include "settings/SettingsStore.h"

#include "settings/SafeFile.h"

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

const char* const TextKind = "text";
const char* const IntegerKind = "integer";

QJsonObject NodeToJson(const TSettingsStore::TNode& Node)
{
    QJsonObject Keys;
    for (const auto& [name, child] : Node.Keys)
        Keys.insert(name, NodeToJson(child));
    QJsonObject Values;
    for (const auto& [name, value] : Node.Values) {
        QJsonObject Entry;
        if (value.IsInteger) {
            Entry.insert("type", IntegerKind);
            Entry.insert("value", value.Number);
        } else {
            Entry.insert("type", TextKind);
            Entry.insert("value", value.Text);
        }
        Values.insert(name, Entry);
    }
    QJsonObject Result;
    Result.insert("keys", Keys);
    Result.insert("values", Values);
    return Result;
}

bool NodeFromJson(const QJsonObject& Object, TSettingsStore::TNode& Node, int Depth)
{
    // A hand-edited file must not be able to recurse us off the stack.
    if (Depth > 64)
        return false;
    const QJsonValue Keys = Object.value("keys");
    const QJsonValue Values = Object.value("values");
    if ((!Keys.isUndefined() && !Keys.isObject()) || (!Values.isUndefined() && !Values.isObject()))
        return false;
    const QJsonObject KeyObject = Keys.toObject();
    for (auto It = KeyObject.begin(); It != KeyObject.end(); ++It) {
        if (It.key().isEmpty() || It.key().contains(QLatin1Char('\\')) || !It.value().isObject())
            return false;
        if (!NodeFromJson(It.value().toObject(), Node.Keys[It.key()], Depth + 1))
            return false;
    }
    const QJsonObject ValueObject = Values.toObject();
    for (auto It = ValueObject.begin(); It != ValueObject.end(); ++It) {
        if (!It.value().isObject())
            return false;
        const QJsonObject Entry = It.value().toObject();
        const QString Type = Entry.value("type").toString();
        const QJsonValue Content = Entry.value("value");
        TSettingsStore::TValue Value;
        if (Type == QLatin1String(TextKind) && Content.isString()) {
            Value.Text = Content.toString();
        } else if (Type == QLatin1String(IntegerKind) && Content.isDouble()) {
            const double Number = Content.toDouble();
            if (Number != std::floor(Number) || Number < std::numeric_limits<int>::min()
                || Number > std::numeric_limits<int>::max())
                return false;
            Value.IsInteger = true;
            Value.Number = static_cast<int>(Number);
        } else {
            return false;
        }
        Node.Values[It.key()] = Value;
    }
    return true;
}

} // namespace

TSettingsError::TSettingsError(const QString& Message)
    : std::runtime_error(Message.toStdString())
{
}

QString TSettingsError::Message() const
{
    return QString::fromUtf8(what());
}

namespace SettingsFormat {

QByteArray Serialize(const TSettingsStore::TNode& Root)
{
    QJsonObject Document;
    Document.insert("format", 1);
    Document.insert("root", NodeToJson(Root));
    return QJsonDocument(Document).toJson(QJsonDocument::Indented);
}

bool Parse(const QByteArray& Data, TSettingsStore::TNode& Root)
{
    QJsonParseError Error {};
    const QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
    if (Error.error != QJsonParseError::NoError || !Document.isObject())
        return false;
    const QJsonObject Object = Document.object();
    if (Object.value("format").toInt() != 1 || !Object.value("root").isObject())
        return false;
    TSettingsStore::TNode Parsed;
    if (!NodeFromJson(Object.value("root").toObject(), Parsed, 0))
        return false;
    Root = std::move(Parsed);
    return true;
}

QStringList SplitKeyPath(const QString& Path)
{
    return Path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

} // namespace SettingsFormat

namespace {

TSettingsStore::TFileStamp StampOf(const QString& Path)
{
    struct stat Info { };
    if (::stat(QFile::encodeName(Path).constData(), &Info) != 0)
        return {};
    return { true, Info.st_dev, Info.st_ino, Info.st_size, Info.st_mtim.tv_sec, Info.st_mtim.tv_nsec };
}

} // namespace

TSettingsStore::TSettingsStore(const QString& FilePath)
    : FFilePath(FilePath.isEmpty() ? DefaultFilePath() : FilePath)
{
}

TSettingsStore::~TSettingsStore()
{
    if (FOpen)
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
    return QLatin1Char('\\') + FCurrentParts.join(QLatin1Char('\\')) + (FCurrentParts.isEmpty() ? "" : "\\");
}

QStringList TSettingsStore::Resolve(const QString& Path) const
{
    const QStringList Parts = SettingsFormat::SplitKeyPath(Path);
    if (Path.startsWith(QLatin1Char('\\')) || !FOpen)
        return Parts;
    return FCurrentParts + Parts;
}

TSettingsStore::TNode* TSettingsStore::Find(const QStringList& Parts, bool Create)
{
    TNode* Node = &FRoot;
    for (const QString& Part : Parts) {
        auto It = Node->Keys.find(Part);
        if (It == Node->Keys.end()) {
            if (!Create)
                return nullptr;
            It = Node->Keys.emplace(Part, TNode()).first;
            FDirty = true;
        }
        Node = &It->second;
    }
    return Node;
}

bool TSettingsStore::OpenKey(const QString& Path, bool CanCreate)
{
    const QStringList Parts = Resolve(Path);
    if (FOpen)
        CloseKey();
    Load();
    FDirty = false;
    TNode* Node = Find(Parts, CanCreate);
    if (!Node)
        return false;
    FOpen = true;
    FCurrent = Node;
    FCurrentParts = Parts;
    return true;
}

bool TSettingsStore::CloseKey()
{
    const bool Changed = FOpen && FDirty;
    FOpen = false;
    FCurrent = nullptr;
    FCurrentParts.clear();
    FDirty = false;
    return Changed ? Save() : true;
}

bool TSettingsStore::ValueExists(const QString& Name) const
{
    return FOpen && FCurrent->Values.count(Name) > 0;
}

const TSettingsStore::TValue& TSettingsStore::Lookup(const QString& Name) const
{
    if (!FOpen)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    const auto It = FCurrent->Values.find(Name);
    if (It == FCurrent->Values.end())
        throw TSettingsError(QStringLiteral("Der Wert \"%1\" ist nicht vorhanden.").arg(Name));
    return It->second;
}

QString TSettingsStore::ReadString(const QString& Name) const
{
    const TValue& Value = Lookup(Name);
    if (Value.IsInteger)
        throw TSettingsError(QStringLiteral("Der Wert \"%1\" hat nicht den erwarteten Typ.").arg(Name));
    return Value.Text;
}

int TSettingsStore::ReadInteger(const QString& Name) const
{
    const TValue& Value = Lookup(Name);
    if (!Value.IsInteger)
        throw TSettingsError(QStringLiteral("Der Wert \"%1\" hat nicht den erwarteten Typ.").arg(Name));
    return Value.Number;
}

void TSettingsStore::WriteString(const QString& Name, const QString& Value)
{
    if (!FOpen)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    TValue Entry;
    Entry.Text = Value;
    FCurrent->Values[Name] = Entry;
    FDirty = true;
}

void TSettingsStore::WriteInteger(const QString& Name, int Value)
{
    if (!FOpen)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    TValue Entry;
    Entry.IsInteger = true;
    Entry.Number = Value;
    FCurrent->Values[Name] = Entry;
    FDirty = true;
}

bool TSettingsStore::IsText(const QString& Name) const
{
    if (!FOpen)
        return false;
    const auto It = FCurrent->Values.find(Name);
    return It != FCurrent->Values.end() && !It->second.IsInteger;
}

bool TSettingsStore::DeleteValue(const QString& Name)
{
    if (!FOpen)
        throw TSettingsError(QStringLiteral("Es ist kein Schlüssel der Einstellungen geöffnet."));
    if (FCurrent->Values.erase(Name) == 0)
        return false;
    FDirty = true;
    return true;
}

bool TSettingsStore::DeleteKey(const QString& Path)
{
    const QStringList Parts = Resolve(Path);
    if (FOpen)
        CloseKey();
    // The root itself is not a key one can delete.
    if (Parts.isEmpty())
        return false;
    Load();
    TNode* Parent = Find(Parts.mid(0, Parts.size() - 1), false);
    if (!Parent || Parent->Keys.erase(Parts.last()) == 0)
        return false;
    return Save();
}

QString TSettingsStore::TakeLoadProblem()
{
    QString Problem;
    Problem.swap(FLoadProblem);
    return Problem;
}

QString TSettingsStore::TakeWriteProblem()
{
    QString Problem;
    Problem.swap(FWriteProblem);
    return Problem;
}

void TSettingsStore::Load()
{
    // Re-read only what changed on disk since the last read or write: a load
    // opens many keys, and another instance may have written in between.
    const TFileStamp Stamp = StampOf(FFilePath);
    if (FLoaded && Stamp == FStamp)
        return;
    FLoaded = false;
    FRoot = TNode();
    FUnreadable = false;
    const SafeFile::TReadResult Read = SafeFile::ReadRegularFile(FFilePath, MaxFileBytes);
    // A missing file, or a link to one, is a first run.
    if (!Read.Exists) {
        FStamp = Stamp;
        FLoaded = true;
        return;
    }
    if (!Read.Problem.isEmpty()) {
        FUnreadable = true;
        FLoadProblem = QStringLiteral("Die Einstellungen konnten nicht aus \"%1\" gelesen werden: %2\r\n\r\n"
                                      "Brieflotse startet mit den Voreinstellungen.")
                           .arg(FFilePath, Read.Problem);
        return;
    }
    const QByteArray& Data = Read.Data;
    if (SettingsFormat::Parse(Data, FRoot)) {
        FStamp = Stamp;
        FLoaded = true;
        return;
    }
    FRoot = TNode();
    // Keep the broken file for the user instead of overwriting it at the next close.
    const QString Aside
        = FFilePath + QStringLiteral(".defekt-") + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss-zzz");
    if (QFile::rename(FFilePath, Aside)) {
        FLoadProblem = QStringLiteral("Die Einstellungsdatei \"%1\" ist beschädigt und wurde unter \"%2\" "
                                      "beiseitegelegt.\r\n\r\nBrieflotse startet mit den Voreinstellungen.")
                           .arg(FFilePath, Aside);
    } else {
        FLoadProblem = QStringLiteral("Die Einstellungsdatei \"%1\" ist beschädigt und konnte nicht "
                                      "beiseitegelegt werden.\r\n\r\nBrieflotse startet mit den Voreinstellungen.")
                           .arg(FFilePath);
    }
}

bool TSettingsStore::Save()
{
    // A settings file that is a symbolic link (kept with the user's other
    // dotfiles, say) stays one: the file it names is replaced, not the link.
    const QFileInfo Link(FFilePath);
    const bool ViaLink = Link.isSymLink();
    const QString Target = ViaLink ? Link.symLinkTarget() : FFilePath;
    const QFileInfo Info(Target);
    const QString Folder = Info.absolutePath();
    const QByteArray FolderName = QFile::encodeName(Folder);
    auto Fail = [this](const QString& Reason) {
        FWriteProblem
            = QStringLiteral("Die Einstellungen konnten nicht in \"%1\" gespeichert werden: %2").arg(FFilePath, Reason);
        FLoaded = false; // what is in memory was not written: read the file again next time
        return false;
    };
    if (FUnreadable)
        return Fail(QStringLiteral("Die vorhandene Datei ist nicht lesbar und wird nicht überschrieben."));

    // The file holds a password and the command history: private folder, private file.
    if (!QFileInfo(Folder).isDir()) {
        if (!QDir().mkpath(Folder))
            return Fail(QStringLiteral("Der Ordner \"%1\" kann nicht angelegt werden.").arg(Folder));
        ::chmod(FolderName.constData(), 0700);
    } else if (FFilePath == DefaultFilePath() && !ViaLink) {
        ::chmod(FolderName.constData(), 0700);
    }

    // Through a link of the user's own the file it names is replaced; a link
    // someone else may have planted is refused.
    const QString Problem
        = SafeFile::WriteFile(FFilePath, SettingsFormat::Serialize(FRoot), 0600, SafeFile::TModeRule::Fixed);
    if (!Problem.isEmpty())
        return Fail(Problem);
    FStamp = StampOf(FFilePath);
    FLoaded = true;
    return true;
}
