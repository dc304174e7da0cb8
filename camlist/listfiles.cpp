#include "listfiles.h"

#include "keypicking.h"

#include <QFile>

namespace ListFiles {

std::optional<QByteArray> readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return content;
}

bool writeServerCopy(const QString& path, const QByteArray& serverText)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(serverText) == serverText.size() && file.write("\r\n") == 2;
    return written && file.flush();
}

KeyList pickKeysFromFile(const QString& path)
{
    const std::optional<QByteArray> content = readAll(path);
    return content ? keysOfListFile(*content) : KeyList(KeyList::Order::AsAdded);
}

void remove(const QString& path)
{
    QFile::remove(path);
}

} // namespace ListFiles
