#pragma once

// Reading and writing the program's own files (settings, saved logs) so that
// nothing another user or a stray file can do turns them against the user:
// reads take regular files of bounded size only and never block on a pipe;
// writes go through a private temporary file beside the target that gets its
// final mode before any data, then replace the target in one rename.

#include <QByteArray>
#include <QString>
#include <functional>
#include <sys/types.h>

namespace SafeFile {

struct TReadResult {
    bool Exists = false; // false: no such file (nor a link to one)
    QByteArray Data;
    QString Problem; // German; empty when the file was read whole
};

TReadResult ReadRegularFile(const QString& Path, qint64 MaxBytes);

enum class TModeRule {
    Fixed, // always Mode (private files)
    KeepExisting, // an existing file keeps its mode; a new one gets Mode
};

// Puts Data under Path; returns an empty string on success, else the German
// reason. A symbolic link of the user's own is followed (the link stays); one
// that belongs to another user or lies in a folder that anyone may write to
// (such as /tmp) is refused, as are pipes, devices and sockets.
QString WriteFile(const QString& Path, const QByteArray& Data, mode_t Mode, TModeRule Rule);

// The same for data too large to hold at once: Write puts it on the private
// file's descriptor and returns 0, or the errno that stopped it.
using TFdWriter = std::function<int(int Fd)>;
QString WriteFileWith(const QString& Path, const TFdWriter& Write, mode_t Mode, TModeRule Rule);

// The mode a new file gets from the process's umask, from 0666.
mode_t DefaultFileMode();

} // namespace SafeFile
