#include "camlist/store/journalrecovery.h"

#include "camlist/store/blockchecksums.h"
#include "camlist/store/posixfile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Far beyond the journal of any list the program can fetch; a bigger file is not one of ours.
constexpr qint64 largestJournal = 16 << 20;

QString bytes(qint64 count)
{
    return count == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(count);
}

} // namespace

JournalRecovery::Recovery JournalRecovery::recover(const QString& listPath)
{
    const QByteArray journalName = QFile::encodeName(AddJournal::nameFor(listPath));
    FileStatus journal{};
    if (::lstat(journalName.constData(), &journal) != 0)
        return {};
    const JournalRecovery texts(listPath, -1);
    const QByteArray listName = QFile::encodeName(listPath);
    const int fd = ::open(listName.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (!S_ISREG(journal.st_mode) || journal.st_uid != ::geteuid())
            return {Found::Unusable, Action::JournalKept,
                    texts.notOurs(QStringLiteral("is not a file of yours"))};
        return texts.settled(Found::ListGone,
                             texts.interrupted(QStringLiteral("%1 is not there any more, so there "
                                                              "was nothing to repair.")
                                                   .arg(listPath)));
    }
    if (fd < 0) {
        return {Found::Unusable, Action::JournalKept,
                texts.keptWhile(QStringLiteral("%1 could not be opened to check it: %2.")
                                    .arg(listPath, PosixFile::reason(errno)))};
    }
    Recovery recovery;
    FileStatus opened{};
    FileStatus named{};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        recovery = {Found::Unusable, Action::JournalKept,
                    texts.keptWhile(QStringLiteral("%1 is not a regular file.").arg(listPath))};
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::stat(listName.constData(), &named) != 0 ||
               !PosixFile::sameFile(named, opened)) {
        // Another run is adding, or replacing the list right now: it settles its own journal.
        recovery = {Found::InUse, Action::Nothing, {}};
    } else {
        recovery = recoverLocked(listPath, fd);
    }
    ::close(fd);
    return recovery;
}

JournalRecovery::Recovery JournalRecovery::recoverLocked(const QString& listPath, int listFd)
{
    JournalRecovery recovery(listPath, listFd);
    if (std::optional<Recovery> ended = recovery.readJournal())
        return *std::move(ended);
    if (std::optional<Recovery> ended = recovery.checkOldBytes())
        return *std::move(ended);
    const Comparison found = recovery.compare();
    if (!found.read)
        return {Found::Unusable, Action::JournalKept, recovery.unreadable(found.read.text())};
    if (found.wholeBlock)
        return recovery.keepWholeBlock(found);
    if (!found.tornBlock)
        return recovery.keepOtherBytes(found);
    return recovery.cutTornBlock(found);
}

JournalRecovery::JournalRecovery(const QString& listPath, int listFd)
    : m_list(listPath), m_journal(AddJournal::nameFor(listPath)), m_listFd(listFd)
{}

// The journal, if there is one of ours, read and decoded into m_entry. A torn one is settled
// here: nothing had been appended.
std::optional<JournalRecovery::Recovery> JournalRecovery::readJournal()
{
    const QByteArray journalName = QFile::encodeName(m_journal);
    FileStatus journal{};
    if (::lstat(journalName.constData(), &journal) != 0)
        return Recovery{};
    // Whoever else can write the folder must not make this program cut the user's list.
    if (!S_ISREG(journal.st_mode) || journal.st_uid != ::geteuid() ||
        journal.st_size > largestJournal)
        return Recovery{Found::Unusable, Action::JournalKept,
                        notOurs(QStringLiteral("is not a journal this program wrote"))};
    QByteArray encoded;
    Result<> read = Done{};
    const int journalFd =
        ::open(journalName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (journalFd < 0) {
        read = PosixFile::failed(errno);
    } else {
        read = PosixFile::readAt(journalFd, 0, encoded, largestJournal + 1);
        ::close(journalFd);
    }
    if (!read)
        return Recovery{Found::Unusable, Action::JournalKept,
                        notOurs(QStringLiteral("could not be read (%1)").arg(read.text()))};
    switch (AddJournal::decode(encoded, m_entry)) {
    case AddJournal::Decoded::Torn:
        return settled(Found::TornJournal,
                       interrupted(QStringLiteral("It had not written anything yet, so %1 was "
                                                  "not changed.")
                                       .arg(m_list)));
    case AddJournal::Decoded::Unknown:
        return Recovery{Found::Unusable, Action::JournalKept,
                        notOurs(QStringLiteral("is not in a form this program knows"))};
    case AddJournal::Decoded::Whole:
        break;
    }
    return std::nullopt;
}

// The list's old bytes, as far as the journal keeps a checksum of them, must be there as they
// were; if nothing follows them, nothing had been appended.
std::optional<JournalRecovery::Recovery> JournalRecovery::checkOldBytes()
{
    const qint64 oldLength = m_entry.oldLength;
    FileStatus list{};
    Result<> read = Done{};
    if (::fstat(m_listFd, &list) != 0)
        read = PosixFile::failed(errno);
    QByteArray tail;
    const qint64 tailLength = AddJournal::oldTailLength(oldLength);
    if (read && list.st_size >= oldLength)
        read = PosixFile::readAt(m_listFd, oldLength - tailLength, tail, tailLength);
    if (!read)
        return Recovery{Found::Unusable, Action::JournalKept, unreadable(read.text())};
    m_size = list.st_size;
    if (m_size < oldLength || crc32(0, tail) != m_entry.oldTailCrc)
        return Recovery{Found::OtherBytes, Action::JournalKept,
                        keptWhile(before() +
                                  QStringLiteral(" Now it holds %1, and its old bytes "
                                                 "are not all there as they were. ")
                                      .arg(bytes(m_size)) +
                                  powerCutOrOthers())};
    if (m_size == oldLength)
        return settled(Found::NothingWritten,
                       interrupted(QStringLiteral("It had not written anything yet: %1 holds its "
                                                  "old %2, as before.")
                                       .arg(m_list, bytes(m_size))));
    return std::nullopt;
}

// Chunk by chunk, as the journal has them, what follows the old bytes is the block's own bytes
// or zeros, until it is neither. A power cut can leave zeros: the list's new length reached the
// disk, but some pages of the block did not. A chunk cut short is proven only if it is zeros.
JournalRecovery::Comparison JournalRecovery::compare() const
{
    const AddJournal::Entry& entry = m_entry;
    Comparison result;
    result.written = m_size - entry.oldLength;
    const qint64 checked = std::min(result.written, entry.blockLength);
    const qint64 blockEnd = entry.oldLength + entry.blockLength;
    constexpr qint64 piece = 1 << 20; // read so, ending where chunks meet
    QByteArray buffer;
    size_t chunk = 0;
    while (result.asJournaled < checked) {
        const qint64 at = entry.oldLength + result.asJournaled;
        const qint64 end =
            std::min(entry.oldLength + checked, (at + piece) / entry.chunkSize * entry.chunkSize);
        result.read = PosixFile::readAt(m_listFd, at, buffer, end - at);
        if (result.read && buffer.size() != end - at)
            result.read = PosixFile::failed(EIO); // the file shrank while it was read
        if (!result.read)
            return result;
        for (QByteArrayView rest = buffer; !rest.isEmpty(); ++chunk) {
            const qint64 offset = entry.oldLength + result.asJournaled;
            const qint64 length =
                std::min(entry.chunkSize - offset % entry.chunkSize, blockEnd - offset);
            const QByteArrayView bytes = rest.first(std::min<qint64>(length, rest.size()));
            const bool own = bytes.size() == length && crc32(0, bytes) == entry.chunkCrcs[chunk];
            if (!own && !std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return c == 0; }))
                return result;
            result.zeros += own ? 0 : bytes.size();
            result.asJournaled += bytes.size();
            rest = rest.sliced(bytes.size());
        }
    }
    // Each chunk matching its checksum, the block's checksum matches too.
    result.wholeBlock = checked == entry.blockLength && result.zeros == 0;
    result.tornBlock = !result.wholeBlock && result.written <= entry.blockLength;
    return result;
}

// The whole block is there: it is kept, and flushed, as the add never got to say it was.
JournalRecovery::Recovery JournalRecovery::keepWholeBlock(const Comparison& found) const
{
    const int error = ::fsync(m_listFd) == 0 ? 0 : errno;
    QString text = QStringLiteral("It had written all its new records (%1) after the old %2 of "
                                  "%3, so they are there whole and nothing had to be repaired.")
                       .arg(bytes(m_entry.blockLength), bytes(m_entry.oldLength), m_list);
    if (found.written > m_entry.blockLength)
        text += QStringLiteral(" The %1 after them were written by another program since and "
                               "were left as they are.")
                    .arg(bytes(found.written - m_entry.blockLength));
    if (error != 0)
        return {Found::WholeBlock, Action::JournalKept,
                interrupted(text) + QStringLiteral(" They could not be flushed to disk: %1.")
                                        .arg(PosixFile::reason(error))};
    return settled(Found::WholeBlock, interrupted(text));
}

// What follows the old bytes is not what the add was writing: none of it is cut.
JournalRecovery::Recovery JournalRecovery::keepOtherBytes(const Comparison& found) const
{
    QString what = QStringLiteral(" Now it holds %1 more, which are not the %2 that add was "
                                  "writing")
                       .arg(bytes(found.written), bytes(m_entry.blockLength));
    if (found.asJournaled > 0)
        what += QStringLiteral(" (only the first %1 are)").arg(bytes(found.asJournaled));
    return {Found::OtherBytes, Action::JournalKept,
            keptWhile(before() + what + QStringLiteral(". ") + powerCutOrOthers())};
}

// Chunks of the block, or zeros in their place, and nothing else: the add's own unfinished
// write, cut back to the old length.
JournalRecovery::Recovery JournalRecovery::cutTornBlock(const Comparison& found) const
{
    const Found what = found.zeros > 0 ? Found::LostPages : Found::TornBlock;
    if (::ftruncate(m_listFd, static_cast<off_t>(m_entry.oldLength)) != 0 || ::fsync(m_listFd) != 0)
        return {what, Action::JournalKept,
                keptWhile(before() + QStringLiteral(" The %1 of incomplete new records after "
                                                    "them could not be cut off: %2.")
                                         .arg(bytes(found.written), PosixFile::reason(errno)))};
    QString text = QStringLiteral("It had written %1 of the %2 of new records it was adding")
                       .arg(bytes(found.written), bytes(m_entry.blockLength));
    if (what == Found::LostPages)
        text += QStringLiteral(", but %1 of them never reached the disk (a power cut leaves "
                               "zeros in their place)")
                    .arg(bytes(found.zeros));
    text += QStringLiteral("; they were cut off, so %1 holds its old %2 again.")
                .arg(m_list, bytes(m_entry.oldLength));
    Recovery recovery = settled(what, interrupted(text));
    if (recovery.done == Action::JournalRemoved)
        recovery.done = Action::BlockCut;
    return recovery;
}

JournalRecovery::Recovery JournalRecovery::settled(Found found, QString text) const
{
    const Result<> removed = AddJournal::remove(m_list);
    if (!removed)
        return {found, Action::JournalKept,
                text +
                    QStringLiteral(" %1 could not be removed: %2.").arg(m_journal, removed.text())};
    return {found, Action::JournalRemoved, std::move(text)};
}

QString JournalRecovery::interrupted(const QString& what) const
{
    return QStringLiteral("An earlier add of new cams to %1 was interrupted. %2").arg(m_list, what);
}

QString JournalRecovery::keptWhile(const QString& what) const
{
    return interrupted(what + QStringLiteral(" Nothing was changed. Check the end of %1; once it "
                                             "is in order, delete %2, which keeps the details of "
                                             "that add. No cams can be added until then.")
                                  .arg(m_list, QFileInfo(m_journal).absoluteFilePath()));
}

QString JournalRecovery::powerCutOrOthers()
{
    return QStringLiteral("A power cut during the add or another program since can leave that.");
}

QString JournalRecovery::notOurs(const QString& why) const
{
    return QStringLiteral("%1 %2, so it was left alone and %3 was not checked. Nothing was "
                          "changed; delete %1 once you know %3 is in order.")
        .arg(m_journal, why, m_list);
}

QString JournalRecovery::unreadable(const QString& reason) const
{
    return keptWhile(QStringLiteral("%1 could not be read: %2.").arg(m_list, reason));
}

QString JournalRecovery::before() const
{
    return QStringLiteral("Before it, %1 held %2.").arg(m_list, bytes(m_entry.oldLength));
}
