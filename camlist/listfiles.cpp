#include "listfiles.h"

#include "posixfile.h"

#include <QFile>
#include <unistd.h>

namespace ListFiles {

std::optional<QByteArray> readAll(const QString& path)
{
    int error = 0;
    const int fd = PosixFile::openRegularForReading(path, &error);
    if (fd < 0)
        return std::nullopt;
    QByteArray content;
    error = PosixFile::readFromStart(fd, content);
    ::close(fd);
    if (error != 0)
        return std::nullopt;
    return content;
}

FileReplacer::Outcome writeServerCopy(const QString& path, const QByteArray& serverText)
{
    return FileReplacer::replace(path, {serverText, "\r\n"});
}

void remove(const QString& path)
{
    QFile::remove(path);
}

} // namespace ListFiles
