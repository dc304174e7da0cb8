#include "camsfileappender.h"

#include "addjournal.h"
#include "blockchecksums.h"
#include "keyindex.h"
#include "keypicking.h"
#include "listfiles.h"
#include "posixfile.h"
#include "recordreader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <numeric>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
    // The records that go in, as runs of records that follow each other in those given: no
    // copy of their bytes is made.
    QList<QByteArrayView> runs;
    qsizetype count = 0;
    QList<qsizetype> someWritten; // as in Appended
};

// The records whose key the file does not hold yet. Duplicates among the new records are kept:
// only what is already in the file is left out. Keys within what was read before need no look,
// as long as the file still begins with it.
Selection recordsNotIn(QByteArrayView content, QByteArrayView records, QByteArrayView readBefore)
{
    QList<QByteArrayView> heldKeys;
    if (content.size() != readBefore.size() || content != readBefore) {
        const qsizetype known = content.startsWith(readBefore) ? readBefore.size() : 0;
        RecordReader reader(content);
        for (RecordReader::Record record; reader.next(record);) {
            // A key reaching the end of what was known may have been written on since.
            if (record.begin + record.key.size() >= known)
                heldKeys.append(record.key);
        }
    }
    Selection selection;
    if (heldKeys.isEmpty()) {
        selection.runs.append(records);
        selection.count = RecordReader::pairCount(records);
        return selection;
    }
    KeyIndex held;
    held.reset(std::move(heldKeys));
    while (!held.isComplete())
        held.indexNext(KeyIndex::batchSize);
    QList<qsizetype>& written = selection.someWritten;
    RecordReader reader(records, RecordReader::Walk::Pairs);
    qsizetype runStart = 0;
    qsizetype runEnd = 0;
    const auto endRun = [&] {
        if (runEnd != runStart)
            selection.runs.append(records.sliced(runStart, runEnd - runStart));
    };
    QByteArrayView keys[KeyIndex::batchSize];
    qsizetype ends[KeyIndex::batchSize];
    qsizetype positions[KeyIndex::batchSize];
    qsizetype index = 0;
    for (bool more = true; more;) {
        // Keys are looked up a batch at a time, as the index is quickest that way.
        qsizetype inBatch = 0;
        RecordReader::Record record;
        for (; inBatch < KeyIndex::batchSize && (more = reader.next(record)); ++inBatch) {
            keys[inBatch] = record.key;
            ends[inBatch] = record.end;
        }
        held.find(keys, inBatch, positions);
        for (qsizetype i = 0; i < inBatch; ++i, ++index) {
            if (positions[i] >= 0) {
                endRun();
                runStart = runEnd = ends[i];
                continue;
            }
            runEnd = ends[i];
            written.append(index);
        }
    }
    endRun();
    selection.count = written.size();
    if (written.size() == index)
        written = {};
    return selection;
}

// Walks through the pieces of a block, handing out consecutive stretches of it.
class PieceCursor final
{
public:
    explicit PieceCursor(const QList<QByteArrayView>& pieces) : m_pieces(pieces) {}

    // The next length bytes, as parts of the pieces.
    std::vector<QByteArrayView> take(qint64 length)
    {
        std::vector<QByteArrayView> parts;
        while (length > 0 && m_piece < m_pieces.size()) {
            const QByteArrayView rest = m_pieces[m_piece].sliced(m_offset);
            const qsizetype part = std::min<qint64>(rest.size(), length);
            parts.push_back(rest.first(part));
            length -= part;
            m_offset += part;
            if (m_offset == m_pieces[m_piece].size()) {
                ++m_piece;
                m_offset = 0;
            }
        }
        return parts;
    }

private:
    const QList<QByteArrayView>& m_pieces;
    qsizetype m_piece = 0;
    qsizetype m_offset = 0;
};

// The block goes in stretches of about this much, each ending on a chunk boundary, so that a
// test can stop an add in the middle of it.
constexpr qint64 writeStretch = 1 << 20;

bool sameFile(const FileStatus& a, const FileStatus& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

QList<qsizetype> CamsFileAppender::Appended::written() const
{
    if (someWritten.size() == count)
        return someWritten;
    QList<qsizetype> all(count);
    std::iota(all.begin(), all.end(), qsizetype{0});
    return all;
}

Result<CamsFileAppender::Appended, CamsFileAppender::Refusal>
CamsFileAppender::append(const QString& path, QByteArrayView records, QByteArrayView readBefore,
                         std::chrono::milliseconds lockWait, const StopAt& stopAt)
{
    using Refused = Failure<Refusal>;
    if (records.isEmpty())
        return Appended{};
    const auto stopsAt = [&](Step step) {
        return stopAt && stopAt(step);
    };
    const Refused stopped{Refusal::Stopped, {}};
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
        return Refused{Refusal::Busy,
                       QStringLiteral("%1 is being updated by another program, so no cams were "
                                      "added. Try again in a moment.")
                           .arg(path)};
    }
    if (opened == Opened::Replaced)
        return Refused{Refusal::LeftAsItWas,
                       failure(path, QStringLiteral("it kept being replaced by another program"))};
    if (opened != Opened::Ok) {
        if (created)
            ::unlink(name.constData());
        return Refused{Refusal::LeftAsItWas, failure(path, PosixFile::reason(error))};
    }

    // Another run may have been killed in the middle of an add since this one started: what
    // it left is settled before anything is read, or nothing is added after it.
    const AddJournal::Recovery earlier = AddJournal::recoverLocked(path, file.get());
    if (earlier.done == AddJournal::Done::JournalKept) {
        if (created)
            ::unlink(name.constData());
        return Refused{Refusal::LeftAsItWas,
                       QStringLiteral("%1 could not be updated, as an earlier add was "
                                      "interrupted and could not be settled.\n%2")
                           .arg(path, earlier.text)};
    }
    QString settledBefore = earlier.text;

    QByteArray content;
    // Never more than the run would read itself: a list grown past that is no list to add to.
    const Result<> read = PosixFile::readFromStart(file.get(), content, ListFiles::ownListLimit);
    if (!read)
        return Refused{Refusal::LeftAsItWas, failure(path, read.text())};
    const Selection selection = recordsNotIn(content, records, readBefore);
    if (selection.runs.isEmpty())
        return Appended{0, {}, std::move(settledBefore)};
    const QByteArray boundary = recordBoundaryAfter(content, selection.runs.first());
    QList<QByteArrayView> pieces;
    pieces.reserve(selection.runs.size() + 1);
    if (!boundary.isEmpty())
        pieces.append(boundary);
    pieces.append(selection.runs);
    const AddJournal::Entry entry = AddJournal::describe(content, pieces);
    const auto oldSize = static_cast<off_t>(content.size());
    content.clear();

    bool stoppedAfterHeader = false;
    const Result<> journaled = AddJournal::write(
        path, AddJournal::encode(entry), [&] { return stopsAt(Step::JournalHeaderWritten); },
        stoppedAfterHeader);
    if (stoppedAfterHeader || (journaled && stopsAt(Step::JournalWritten)))
        return stopped;
    if (!journaled) {
        if (created)
            ::unlink(name.constData());
        return Refused{
            Refusal::LeftAsItWas,
            failure(path, journaled.text()) +
                QStringLiteral("\nThe note kept while cams are added, %1, could not be written.")
                    .arg(AddJournal::nameFor(path))};
    }

    // O_APPEND: each stretch goes to the end as it is then.
    PieceCursor cursor(pieces);
    qint64 written = 0;
    Result<> wrote = Done{};
    while (wrote && written < entry.blockLength) {
        const qint64 at = oldSize + written;
        const qint64 end = std::min<qint64>(oldSize + entry.blockLength,
                                            (at + writeStretch) / BlockChecksums::chunkSize *
                                                BlockChecksums::chunkSize);
        const std::vector<QByteArrayView> parts = cursor.take(end - at);
        wrote = PosixFile::writeAll(file.get(), parts, written);
        if (wrote && written < entry.blockLength && stopsAt(Step::PartOfBlockWritten))
            return stopped;
    }
    if (wrote && ::fsync(file.get()) != 0)
        wrote = PosixFile::failed(errno);
    if (wrote) {
        if (stopsAt(Step::BlockWritten))
            return stopped;
        // Written and on disk; but the name may have been given to another file meanwhile.
        FileStatus wroteTo{};
        FileStatus named{};
        const bool stillNamed = ::fstat(file.get(), &wroteTo) == 0 &&
                                ::stat(name.constData(), &named) == 0 && sameFile(wroteTo, named);
        if (created)
            PosixFile::syncFolderOf(path);
        // The journal says nothing of the file now under the name, whatever that is.
        const Result<> removed = AddJournal::remove(path);
        if (stopsAt(Step::JournalRemoved))
            return stopped;
        if (!stillNamed)
            return Refused{Refusal::Replaced,
                           QStringLiteral("%1 was replaced by another program while the new "
                                          "cams were added: they went into the file that was "
                                          "replaced, not into the %1 there is now, so they "
                                          "are still on offer.")
                               .arg(path)};
        if (!removed)
            settledBefore += QStringLiteral("\n%1 could not be removed: %2")
                                 .arg(AddJournal::nameFor(path), removed.text());
        return Appended{selection.count, std::move(selection.someWritten),
                        std::move(settledBefore)};
    }

    QString text = failure(path, wrote.text());
    // Only this add's own bytes are taken back: if the file has grown beyond them, another
    // program wrote after them, and cutting would lose its bytes.
    const qint64 leftAt = oldSize + written;
    FileStatus now{};
    const qint64 size = ::fstat(file.get(), &now) == 0 ? static_cast<qint64>(now.st_size) : -1;
    if (size != leftAt) {
        text += size < 0 ? QStringLiteral("\nIts length could not be checked, so nothing was "
                                          "cut: incomplete new records may be left at its end.")
                         : QStringLiteral("\nAnother program has written to it meanwhile, so "
                                          "nothing was cut: after its old %1 bytes come %2 "
                                          "bytes of incomplete new records, then %3 bytes the "
                                          "other program wrote.")
                               .arg(oldSize)
                               .arg(written)
                               .arg(size - leftAt);
        return Refused{Refusal::NotUndone, text};
    }
    // A journal that cannot be removed after the undo is settled by the next start, which
    // finds nothing of this add in the list.
    if (created) {
        if (::unlink(name.constData()) == 0) {
            PosixFile::syncFolderOf(path);
            [[maybe_unused]] const Result<> removed = AddJournal::remove(path);
            return Refused{Refusal::LeftAsItWas, text};
        }
        text += QStringLiteral("\nThe new, incomplete file could not be removed again: %1")
                    .arg(PosixFile::reason(errno));
        return Refused{Refusal::NotUndone, text};
    }
    if (::ftruncate(file.get(), oldSize) == 0 && ::fsync(file.get()) == 0) {
        [[maybe_unused]] const Result<> removed = AddJournal::remove(path);
        return Refused{Refusal::LeftAsItWas, text};
    }
    const int cutError = errno;
    text += QStringLiteral("\nIt could not be cut back to its old length (%1): %2 bytes of "
                           "incomplete new records are left at its end.")
                .arg(PosixFile::reason(cutError))
                .arg(written);
    return Refused{Refusal::NotUndone, text};
}
