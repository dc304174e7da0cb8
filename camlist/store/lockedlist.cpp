#include "camlist/store/lockedlist.h"

#include "camlist/store/journalrecovery.h"
#include "camlist/store/listfiles.h"
#include "camlist/store/posixfile.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

LockedList::LockedList(const QString& path) : m_path(path), m_name(QFile::encodeName(path)) {}

LockedList::~LockedList()
{
    close();
}

Result<Done, LockedList::Refusal> LockedList::open(std::chrono::milliseconds lockWait,
                                                   QByteArrayView readBefore)
{
    int error = 0;
    Opened opened = Opened::Replaced;
    // A name that keeps changing under us is not worth more than a few tries.
    for (int attempt = 0; attempt < 5 && opened == Opened::Replaced; ++attempt)
        opened = openOnce(lockWait, error);
    if (opened == Opened::Busy) {
        // A file just created is left in place, empty: whoever holds its lock may be writing.
        return Failure<Refusal>{Refusal::Busy,
                                QStringLiteral("%1 is being updated by another program, so no "
                                               "cams were added. Try again in a moment.")
                                    .arg(m_path)};
    }
    // Not removed even if created: the name stands for another file now.
    if (opened == Opened::Replaced)
        return Failure<Refusal>{
            Refusal::LeftAsItWas,
            couldNotUpdate(QStringLiteral("it kept being replaced by another program"))};
    if (opened != Opened::Ok)
        return refused(couldNotUpdate(PosixFile::reason(error)));

    // Another run may have been killed in the middle of an add since this one started.
    const JournalRecovery::Recovery earlier = JournalRecovery::recoverLocked(m_path, m_fd);
    if (earlier.done == JournalRecovery::Action::JournalKept)
        return refused(QStringLiteral("%1 could not be updated, as an earlier add was "
                                      "interrupted and could not be settled.\n%2")
                           .arg(m_path, earlier.text));
    m_settledBefore = earlier.text;

    // Mostly the list is as the run read it: compared, it need not be held twice.
    const Result<bool> same = PosixFile::holdsExactly(m_fd, readBefore);
    if (!same)
        return refused(couldNotUpdate(same.text()));
    m_holdsWhatWasRead = same.value();
    if (m_holdsWhatWasRead)
        return Done{};
    // Never more than the run would read itself: a list grown past that is no list to add to.
    const Result<> read = PosixFile::readFromStart(m_fd, m_content, ListFiles::ownListLimit);
    if (!read)
        return refused(couldNotUpdate(read.text()));
    return Done{};
}

LockedList::Opened LockedList::openOnce(std::chrono::milliseconds lockWait, int& error)
{
    close();
    m_created = false;
    constexpr int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(m_name.constData(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(m_name.constData(), flags | O_CREAT | O_EXCL, 0666);
        m_created = fd >= 0;
    }
    if (fd < 0) {
        error = errno;
        if (error != EEXIST)
            return Opened::Failed;
        // A link to nowhere: the list it names is not there, and is not made through it.
        FileStatus link{};
        if (::lstat(m_name.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
            error = ENOENT;
            return Opened::Failed;
        }
        return Opened::Replaced;
    }
    m_fd = fd;
    FileStatus opened{};
    if (::fstat(fd, &opened) != 0) {
        error = errno;
        return Opened::Failed;
    }
    if (!S_ISREG(opened.st_mode)) {
        error = PosixFile::notARegularFile;
        return Opened::Failed;
    }
    const Opened locked = lock(lockWait, error);
    if (locked != Opened::Ok)
        return locked;
    // Another run may have removed or replaced the list while this one waited: the caller
    // opens it again.
    return stillNamed() ? Opened::Ok : Opened::Replaced;
}

LockedList::Opened LockedList::lock(std::chrono::milliseconds lockWait, int& error)
{
    QElapsedTimer waited;
    waited.start();
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = errno;
            return Opened::Failed;
        }
        if (waited.elapsed() >= lockWait.count())
            return Opened::Busy;
        QThread::msleep(20);
    }
    return Opened::Ok;
}

bool LockedList::stillNamed() const
{
    FileStatus opened{};
    FileStatus named{};
    return ::fstat(m_fd, &opened) == 0 && ::stat(m_name.constData(), &named) == 0 &&
           PosixFile::sameFile(opened, named);
}

bool LockedList::removeCreated()
{
    if (::unlink(m_name.constData()) != 0)
        return false;
    m_created = false;
    PosixFile::syncFolderOf(m_path);
    return true;
}

QString LockedList::couldNotUpdate(const QString& reason) const
{
    return QStringLiteral("%1 could not be updated: %2").arg(m_path, reason);
}

Failure<LockedList::Refusal> LockedList::refused(const QString& text)
{
    // The name was this file when it was opened; one this add made goes again.
    if (m_created && ::unlink(m_name.constData()) == 0)
        m_created = false;
    return {Refusal::LeftAsItWas, text};
}

void LockedList::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
