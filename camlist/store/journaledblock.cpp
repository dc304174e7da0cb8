#include "camlist/store/journaledblock.h"

#include "camlist/store/piececursor.h"
#include "camlist/store/posixfile.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace {

// The block goes in stretches of about this much, each ending where pages meet, so that a
// test can stop an add in the middle of it.
constexpr qint64 writeStretch = 1 << 20;
constexpr qint64 page = 4096;

} // namespace

JournaledBlock::JournaledBlock(const QString& path, int fd, QByteArrayView oldContent,
                               const QList<QByteArrayView>& pieces)
    : m_path(path), m_fd(fd), m_pieces(pieces), m_entry(AddJournal::describe(oldContent, pieces))
{}

JournaledBlock::Ended JournaledBlock::write(const StopAt& stopAt)
{
    bool stopped = false;
    if (!writeJournal(stopAt, stopped))
        return stopped ? Ended::Stopped : Ended::JournalNotWritten;
    if (!writeBlock(stopAt, stopped))
        return stopped ? Ended::Stopped : Ended::BlockNotWritten;
    return Ended::Written;
}

bool JournaledBlock::writeJournal(const StopAt& stopAt, bool& stopped)
{
    const auto stopsAt = [&](Step step) {
        return stopAt && stopAt(step);
    };
    const Result<> journaled = AddJournal::write(
        m_path, AddJournal::encode(m_entry), [&] { return stopsAt(Step::JournalHeaderWritten); },
        stopped);
    if (stopped)
        return false;
    if (!journaled) {
        m_reason = journaled.text();
        return false;
    }
    stopped = stopsAt(Step::JournalWritten);
    return !stopped;
}

bool JournaledBlock::writeBlock(const StopAt& stopAt, bool& stopped)
{
    const qint64 oldSize = m_entry.oldLength;
    const qint64 length = m_entry.blockLength;
    // O_APPEND: each stretch goes to the end as it is then.
    PieceCursor cursor(m_pieces);
    while (m_written < length) {
        const qint64 at = oldSize + m_written;
        const qint64 end = std::min<qint64>(oldSize + length, (at + writeStretch) / page * page);
        const std::vector<QByteArrayView> parts = cursor.take(end - at);
        const Result<> wrote = PosixFile::writeAll(m_fd, parts, m_written);
        if (!wrote) {
            m_reason = wrote.text();
            return false;
        }
        if (m_written < length && stopAt && stopAt(Step::PartOfBlockWritten)) {
            stopped = true;
            return false;
        }
    }
    if (::fsync(m_fd) != 0) {
        m_reason = PosixFile::reason(errno);
        return false;
    }
    stopped = stopAt && stopAt(Step::BlockWritten);
    return !stopped;
}
