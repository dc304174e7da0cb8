#pragma once

#include "camlist/result.h"

#include <QByteArray>
#include <QString>
#include <atomic>

// The two local list files, named without a folder so they live in the working directory.
namespace ListFiles {

inline QString tempFile()
{
    return QStringLiteral("temp.tmp");
}
inline QString ownFile()
{
    return QStringLiteral("Cams.inf");
}

// The most of the own list that is read. A million cams make about 100 MiB, and each run adds
// at most the server's 64 MiB; past this the keys alone would take gigabytes.
inline constexpr qint64 ownListLimit = qint64{256} * 1024 * 1024;

// The whole file, only if it is a regular file (a link to one is fine) of at most limit bytes.
// A FIFO or a device is never read, so this never blocks. A failure's code is the system's
// error number: ENOENT when missing, EFBIG when over the limit, ENOMEM when there is no room for
// it, PosixFile::notARegularFile or EISDIR for what is not a list file. Its text names the file
// and says why it was not read, for the user.
Result<QByteArray> read(const QString& path, qint64 limit);

// Puts the server's text followed by CR LF under the name, as a new file: whatever stood
// there before (a link, someone else's file) is replaced, never written through. A failure
// gives the system's reason. A stop that becomes true gives the writing up (see FileReplacer).
Result<> writeServerCopy(const QString& path, const QByteArray& serverText,
                         const std::atomic<bool>* stop = nullptr);

// Deletes the name (never what a link points to); a name that is already gone is fine.
void remove(const QString& path);

} // namespace ListFiles
