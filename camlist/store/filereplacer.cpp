#include "camlist/store/filereplacer.h"

#include "camlist/store/posixfile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// mkostemp's six characters: letters and digits.
bool isScratchNameOf(const char* entry, const QByteArray& name)
{
    constexpr size_t unique = 6;
    const size_t length = std::strlen(entry);
    if (length != size_t(name.size()) + 1 + unique ||
        std::memcmp(entry, name.constData(), size_t(name.size())) != 0 || entry[name.size()] != '.')
        return false;
    for (size_t i = size_t(name.size()) + 1; i < length; ++i) {
        const char c = entry[i];
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

// Pieces small enough that giving up waits for little.
Result<> writePieces(int fd, std::initializer_list<QByteArrayView> parts,
                     const std::atomic<bool>* stop)
{
    constexpr qsizetype piece = qsizetype{4} * 1024 * 1024;
    for (QByteArrayView part : parts) {
        while (!part.isEmpty()) {
            if (stop && stop->load())
                return PosixFile::failed(ECANCELED);
            const QByteArrayView now = part.first(std::min(part.size(), piece));
            if (Result<> written = PosixFile::writeAll(fd, now); !written)
                return written;
            part = part.sliced(now.size());
        }
    }
    return Done{};
}

} // namespace

Result<> FileReplacer::replace(const QString& path, std::initializer_list<QByteArrayView> parts,
                               const std::atomic<bool>* stop)
{
    const QByteArray finalName = QFile::encodeName(path);
    QByteArray scratchName = finalName + ".XXXXXX";
    const auto stopped = [stop] {
        return stop && stop->load();
    };

    const int fd = ::mkostemp(scratchName.data(), O_CLOEXEC);
    if (fd < 0)
        return PosixFile::failed(errno);
    // Held until the rename, so that a run starting meanwhile sees the file is in use.
    ::flock(fd, LOCK_EX);
    Result<> done = writePieces(fd, parts, stop);
    if (done && stopped())
        done = PosixFile::failed(ECANCELED);
    if (done && ::fsync(fd) != 0)
        done = PosixFile::failed(errno);
    if (::close(fd) != 0 && done)
        done = PosixFile::failed(errno);
    if (done && stopped())
        done = PosixFile::failed(ECANCELED);
    if (done && ::rename(scratchName.constData(), finalName.constData()) != 0)
        done = PosixFile::failed(errno);
    if (!done) {
        ::unlink(scratchName.constData());
        return done;
    }
    PosixFile::syncFolderOf(path);
    return done;
}

int FileReplacer::removeLeftovers(const QString& path)
{
    const QFileInfo info(path);
    const QByteArray folder = QFile::encodeName(info.path());
    const QByteArray name = QFile::encodeName(info.fileName());
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return 0;
    DIR* entries = ::fdopendir(folderFd);
    if (!entries) {
        ::close(folderFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(entries)) {
        if (!isScratchNameOf(entry->d_name, name))
            continue;
        FileStatus named{};
        if (::fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(named.st_mode) || named.st_uid != ::geteuid())
            continue;
        const int fd =
            ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        FileStatus opened{};
        // Still the file looked at, and no replace is writing it.
        if (::fstat(fd, &opened) == 0 && PosixFile::sameFile(opened, named) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(folderFd, entry->d_name, 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(entries);
    if (removed > 0)
        PosixFile::syncFolderOf(path);
    return removed;
}
