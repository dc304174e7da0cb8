#pragma once

#include "keylist.h"

#include <QByteArray>
#include <QByteArrayList>
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

// The whole file, or nothing if it is missing or cannot be read.
std::optional<QByteArray> readAll(const QString& path);

// Creates or truncates the file and writes the server's text followed by CR LF.
bool writeServerCopy(const QString& path, const QByteArray& serverText);

// The key lines of a file, in file order, holding the file's bytes; a missing or unreadable
// file has none.
KeyList pickKeysFromFile(const QString& path);

// Deletes the file; a file that is already gone is fine.
void remove(const QString& path);

} // namespace ListFiles
