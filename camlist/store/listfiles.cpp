#include "camlist/store/listfiles.h"

#include "camlist/store/filereplacer.h"
#include "camlist/store/posixfile.h"

#include <QFile>
#include <QLocale>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace ListFiles {

namespace {

// Why the file was not read, naming it, as the user reads it in the box. size is what the file
// said it had, -1 if unknown.
QString refusal(const QString& path, qint64 limit, int error, qint64 size)
{
    const QLocale english(QLocale::English);
    const QString most = english.formattedDataSize(limit, 0);
    if (error == EFBIG) {
        if (size > limit)
            return QStringLiteral("%1 is %2 (%3 bytes), more than the %4 this program reads.")
                .arg(path, english.formattedDataSize(size, 1), english.toString(size), most);
        return QStringLiteral("%1 grew past the %2 this program reads while it was read.")
            .arg(path, most);
    }
    if (error == ENOMEM)
        return QStringLiteral("There is not enough memory to read %1.").arg(path);
    return QStringLiteral("%1 could not be read: %2").arg(path, PosixFile::reason(error));
}

} // namespace

Result<QByteArray> read(const QString& path, qint64 limit)
{
    const Result<int> opened = PosixFile::openRegularForReading(path);
    if (!opened)
        return Failure<int>{opened.code(), refusal(path, limit, opened.code(), -1)};
    const int fd = opened.value();
    FileStatus info{};
    const qint64 size = ::fstat(fd, &info) == 0 ? qint64{info.st_size} : -1;
    QByteArray content;
    const Result<> done = PosixFile::readFromStart(fd, content, limit);
    ::close(fd);
    if (!done)
        return Failure<int>{done.code(), refusal(path, limit, done.code(), size)};
    return content;
}

Result<> writeServerCopy(const QString& path, const QByteArray& serverText,
                         const std::atomic<bool>* stop)
{
    return FileReplacer::replace(path, {serverText, "\r\n"}, stop);
}

void remove(const QString& path)
{
    QFile::remove(path);
}

} // namespace ListFiles
