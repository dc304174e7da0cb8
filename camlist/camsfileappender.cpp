#include "camsfileappender.h"

#include "keypicking.h"
#include "linereader.h"
#include "posixfile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString failure(const QString& path, const QString& reason)
{
    return QStringLiteral("%1 could not be updated: %2").arg(path, reason);
}

// Closes the descriptor on every way out; closing also drops the lock.
class Descriptor final
{
public:
    Descriptor() = default;
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

enum class Opened { Ok, Failed, Busy, Replaced };

// Opens the list for appending, creating it only where no name stands (a dangling link is not
// followed), and takes the lock. Replaced: the name now means another file than the one locked
// (another run removed or replaced it meanwhile), so the caller opens it again.
Opened openLocked(const QByteArray& name, std::chrono::milliseconds lockWait, Descriptor& file,
                  bool& created, int& error)
{
    constexpr int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    created = false;
    int fd = ::open(name.constData(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(name.constData(), flags | O_CREAT | O_EXCL, 0666);
        created = fd >= 0;
    }
    if (fd < 0) {
        error = errno;
        if (error != EEXIST)
            return Opened::Failed;
        // A link to nowhere: the list it names is not there, and is not made through it.
        FileStatus link{};
        if (::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
            error = ENOENT;
            return Opened::Failed;
        }
        return Opened::Replaced;
    }
    file.reset(fd);
    FileStatus opened{};
    if (::fstat(fd, &opened) != 0) {
        error = errno;
        return Opened::Failed;
    }
    if (!S_ISREG(opened.st_mode)) {
        error = PosixFile::notARegularFile;
        return Opened::Failed;
    }

    QElapsedTimer waited;
    waited.start();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = errno;
            return Opened::Failed;
        }
        if (waited.elapsed() >= lockWait.count())
            return Opened::Busy;
        QThread::msleep(20);
    }
    FileStatus named{};
    if (::stat(name.constData(), &named) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino)
        return Opened::Replaced;
    return Opened::Ok;
}

struct Selection
{
    bool allGoIn = true; // every record goes in as it is; otherwise block holds those that do
    QByteArray block;
    QList<qsizetype> written;
};

// The records whose key the file does not hold yet. Duplicates among the new records are kept:
// only what is already in the file is left out. Keys within what was read before need no look,
// as long as the file still begins with it.
Selection recordsNotIn(QByteArrayView content, QByteArrayView records, QByteArrayView readBefore)
{
    QSet<QByteArrayView> heldKeys;
    if (content.size() != readBefore.size() || content != readBefore) {
        const qsizetype known = content.startsWith(readBefore) ? readBefore.size() : 0;
        for (const QByteArrayView key : pickKeys(content)) {
            // A key reaching the end of what was known may have been written on since.
            if (key.data() + key.size() - content.data() >= known)
                heldKeys.insert(key);
        }
    }
    Selection selection;
    LineReader reader(records);
    QByteArrayView key;
    for (qsizetype index = 0; reader.next(key); ++index) {
        QByteArrayView detail;
        reader.next(detail);
        if (!heldKeys.isEmpty() && heldKeys.contains(key)) {
            if (selection.allGoIn) {
                // The records before this one go in unchanged.
                selection.block = QByteArray(records.data(), key.data() - records.data());
                selection.allGoIn = false;
            }
            continue;
        }
        if (!selection.allGoIn)
            selection.block.append(key).append("\r\n").append(detail).append("\r\n");
        selection.written.append(index);
    }
    return selection;
}

} // namespace

CamsFileAppender::Outcome CamsFileAppender::append(const QString& path, QByteArrayView records,
                                                   QByteArrayView readBefore,
                                                   std::chrono::milliseconds lockWait)
{
    Outcome outcome;
    if (records.isEmpty()) {
        outcome.ok = true;
        return outcome;
    }
    const QByteArray name = QFile::encodeName(path);
    Descriptor file;
    bool created = false;
    int error = 0;
    Opened opened = Opened::Replaced;
    // A name that keeps changing under us is not worth more than a few tries.
    for (int attempt = 0; attempt < 5 && opened == Opened::Replaced; ++attempt)
        opened = openLocked(name, lockWait, file, created, error);
    if (opened == Opened::Busy) {
        // A file just created is left in place, empty: whoever holds its lock may be writing.
        outcome.busy = true;
        outcome.error = QStringLiteral("%1 is being updated by another program, so no cams were "
                                       "added. Try again in a moment.")
                            .arg(path);
        return outcome;
    }
    if (opened == Opened::Replaced) {
        outcome.error = failure(path, QStringLiteral("it kept being replaced by another program"));
        return outcome;
    }
    if (opened != Opened::Ok) {
        if (created)
            ::unlink(name.constData());
        outcome.error = failure(path, PosixFile::reason(error));
        return outcome;
    }

    QByteArray content;
    error = PosixFile::readFromStart(file.get(), content);
    if (error != 0) {
        outcome.error = failure(path, PosixFile::reason(error));
        return outcome;
    }
    const Selection selection = recordsNotIn(content, records, readBefore);
    const QByteArrayView block = selection.allGoIn ? records : QByteArrayView(selection.block);
    if (block.isEmpty()) {
        outcome.ok = true;
        return outcome;
    }
    const QByteArray boundary = recordBoundaryAfter(content, block);
    const auto oldSize = static_cast<off_t>(content.size());
    content.clear();

    error = PosixFile::writeAll(file.get(), boundary);
    if (error == 0)
        error = PosixFile::writeAll(file.get(), block);
    if (error == 0 && ::fsync(file.get()) != 0)
        error = errno;
    if (error == 0) {
        if (created)
            PosixFile::syncFolderOf(path);
        outcome.ok = true;
        outcome.written = selection.written;
        return outcome;
    }

    outcome.error = failure(path, PosixFile::reason(error));
    if (created) {
        if (::unlink(name.constData()) == 0) {
            PosixFile::syncFolderOf(path);
        } else {
            outcome.leftAsItWas = false;
            outcome.error += QStringLiteral("\nThe new, incomplete file could not be removed "
                                            "again: %1")
                                 .arg(PosixFile::reason(errno));
        }
    } else if (::ftruncate(file.get(), oldSize) == 0) {
        ::fsync(file.get());
    } else {
        const int cutError = errno;
        outcome.leftAsItWas = false;
        FileStatus now{};
        const qint64 extra =
            ::fstat(file.get(), &now) == 0 ? static_cast<qint64>(now.st_size - oldSize) : -1;
        outcome.error += QStringLiteral("\nIt could not be cut back to its old length (%1): ")
                             .arg(PosixFile::reason(cutError));
        outcome.error += extra >= 0 ? QStringLiteral("%1 bytes of incomplete new records are "
                                                     "left at its end.")
                                          .arg(extra)
                                    : QStringLiteral("incomplete new records may be left at its "
                                                     "end.");
    }
    return outcome;
}
