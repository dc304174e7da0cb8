#include "posixfile.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PosixFile {

QString reason(int error)
{
    if (error == notARegularFile)
        return QStringLiteral("Not a regular file");
    return QString::fromLocal8Bit(std::strerror(error));
}

int writeAll(int fd, QByteArrayView bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::write(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        if (written == 0)
            return EIO;
        done += written;
    }
    return 0;
}

int readFromStart(int fd, QByteArray& content)
{
    content.clear();
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return errno;
    // The size is a hint only: the file may grow or shrink while it is read.
    content.reserve(static_cast<qsizetype>(info.st_size) + 1);
    constexpr qsizetype chunk = 1 << 16;
    off_t offset = 0;
    for (;;) {
        if (content.capacity() - content.size() < chunk)
            content.reserve(content.size() * 2 + chunk);
        const qsizetype before = content.size();
        content.resize(before + chunk);
        const ssize_t got = ::pread(fd, content.data() + before, chunk, offset);
        if (got < 0 && errno == EINTR) {
            content.resize(before);
            continue;
        }
        if (got < 0) {
            const int error = errno;
            content.clear();
            return error;
        }
        content.resize(before + got);
        if (got == 0)
            return 0;
        offset += got;
    }
}

int openRegularForReading(const QString& path, int* error)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        *error = errno;
    else if (S_ISDIR(info.st_mode))
        *error = EISDIR;
    else if (!S_ISREG(info.st_mode))
        *error = notARegularFile;
    else
        return fd;
    ::close(fd);
    return -1;
}

void syncFolderOf(const QString& path)
{
    const QByteArray folder = QFile::encodeName(QFileInfo(path).path());
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace PosixFile
