#include "camlist/store/posixfile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

// A transfer call, made again for as long as a signal breaks it off before it moved a byte.
template <typename Call> ssize_t uninterrupted(Call call)
{
    ssize_t done;
    do {
        done = call();
    } while (done < 0 && errno == EINTR);
    return done;
}

} // namespace

namespace PosixFile {

QString reason(int error)
{
    if (error == notARegularFile)
        return QStringLiteral("Not a regular file");
    return QString::fromLocal8Bit(std::strerror(error));
}

Failure<int> failed(int error)
{
    return {error, reason(error)};
}

Result<> writeAll(int fd, QByteArrayView bytes)
{
    qint64 written = 0;
    return writeAll(fd, std::span<const QByteArrayView>(&bytes, 1), written);
}

Result<> writeAll(int fd, std::span<const QByteArrayView> parts, qint64& written)
{
    constexpr size_t mostAtOnce = 64;
    size_t first = 0;   // the first part not written whole
    qsizetype skip = 0; // how much of it is written
    for (;;) {
        while (first < parts.size() && parts[first].size() == skip) {
            ++first;
            skip = 0;
        }
        if (first == parts.size())
            return Done{};
        iovec vectors[mostAtOnce];
        int count = 0;
        for (size_t i = first; i < parts.size() && count < int(mostAtOnce); ++i) {
            const QByteArrayView part = i == first ? parts[i].sliced(skip) : parts[i];
            if (!part.isEmpty())
                vectors[count++] = {const_cast<char*>(part.data()), size_t(part.size())};
        }
        const ssize_t done = uninterrupted([&] { return ::writev(fd, vectors, count); });
        if (done < 0)
            return failed(errno);
        if (done == 0)
            return failed(EIO);
        written += done;
        for (qint64 left = done; left > 0;) {
            const qint64 rest = parts[first].size() - skip;
            if (left < rest) {
                skip += left;
                break;
            }
            left -= rest;
            ++first;
            skip = 0;
        }
    }
}

bool sameFile(const FileStatus& a, const FileStatus& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Result<qint64> readAt(int fd, qint64 offset, char* into, qint64 length)
{
    qint64 used = 0;
    while (used < length) {
        const ssize_t got = uninterrupted([&] {
            return ::pread(fd, into + used, static_cast<size_t>(length - used),
                           static_cast<off_t>(offset + used));
        });
        if (got < 0)
            return failed(errno);
        if (got == 0)
            break;
        used += got;
    }
    return used;
}

Result<> readAt(int fd, qint64 offset, QByteArray& into, qint64 length)
{
    into.resize(length);
    const Result<qint64> got = readAt(fd, offset, into.data(), length);
    if (!got) {
        into.clear();
        return got.failure();
    }
    into.resize(got.value());
    return Done{};
}

Result<> readFromStart(int fd, QByteArray& content, qint64 limit)
{
    content.clear();
    FileStatus info{};
    if (::fstat(fd, &info) != 0)
        return failed(errno);
    if (info.st_size > limit)
        return failed(EFBIG);
    // Room for the whole file and one byte more, which tells its end without a second buffer;
    // the size is only a hint, as the file may grow while it is read (or claim none at all).
    constexpr qsizetype chunk = 1 << 16;
    try {
        content.resize(std::max<qsizetype>(info.st_size, 0) + 1);
    } catch (const std::bad_alloc&) {
        return failed(ENOMEM);
    }
    qsizetype used = 0;
    for (;;) {
        if (used > limit) {
            content.clear();
            return failed(EFBIG);
        }
        if (used == content.size()) {
            const qsizetype grown =
                std::min<qint64>(content.size() + std::max(content.size() / 2, chunk), limit + 1);
            try {
                content.resize(std::max(grown, used + 1));
            } catch (const std::bad_alloc&) {
                content.clear();
                return failed(ENOMEM);
            }
        }
        const qint64 room = content.size() - used;
        const Result<qint64> got = readAt(fd, used, content.data() + used, room);
        if (!got) {
            content.clear();
            return got.failure();
        }
        used += got.value();
        if (got.value() < room)
            break;
    }
    content.resize(used);
    return Done{};
}

Result<bool> holdsExactly(int fd, QByteArrayView expected)
{
    FileStatus info{};
    if (::fstat(fd, &info) != 0)
        return failed(errno);
    if (info.st_size != expected.size())
        return false;
    constexpr qint64 piece = 1 << 20;
    std::vector<char> buffer(static_cast<size_t>(piece));
    for (qint64 done = 0;;) {
        const Result<qint64> got = readAt(fd, done, buffer.data(), piece);
        if (!got)
            return got.failure();
        const qint64 length = got.value();
        if (length == 0)
            return done == expected.size();
        if (done + length > expected.size() ||
            std::memcmp(buffer.data(), expected.data() + done, static_cast<size_t>(length)) != 0)
            return false;
        done += length;
    }
}

Result<int> openRegularForReading(const QString& path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed(errno);
    FileStatus info{};
    int error = 0;
    if (::fstat(fd, &info) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (!S_ISREG(info.st_mode))
        error = notARegularFile;
    else
        return fd;
    ::close(fd);
    return failed(error);
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
