#pragma once

#include "filereplacer.h"

#include <QByteArray>
#include <QString>
#include <optional>

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

// The whole file, or nothing if it is missing, cannot be read, or is not a regular file (a
// link to one is fine). A FIFO or a device is never read, so this never blocks.
std::optional<QByteArray> readAll(const QString& path);

// Puts the server's text followed by CR LF under the name, as a new file: whatever stood
// there before (a link, someone else's file) is replaced, never written through.
FileReplacer::Outcome writeServerCopy(const QString& path, const QByteArray& serverText);

// Deletes the name (never what a link points to); a name that is already gone is fine.
void remove(const QString& path);

} // namespace ListFiles
