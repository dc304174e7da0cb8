#include "listfiles.h"

#include "posixfile.h"

#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

namespace ListFiles {

ReadOutcome read(const QString& path, qint64 limit)
{
    ReadOutcome outcome;
    const Result<int> opened = PosixFile::openRegularForReading(path);
    if (!opened) {
        outcome.error = opened.code();
        return outcome;
    }
    const int fd = opened.value();
    FileStatus info{};
    if (::fstat(fd, &info) == 0)
        outcome.size = info.st_size;
    outcome.error = PosixFile::readFromStart(fd, outcome.content, limit).code();
    ::close(fd);
    return outcome;
}

std::optional<QByteArray> readAll(const QString& path)
{
    ReadOutcome outcome = read(path, ownListLimit);
    if (outcome.error != 0)
        return std::nullopt;
    return std::move(outcome.content);
}

Result<> writeServerCopy(const QString& path, const QByteArray& serverText)
{
    return FileReplacer::replace(path, {serverText, "\r\n"});
}

void remove(const QString& path)
{
    QFile::remove(path);
}

} // namespace ListFiles
