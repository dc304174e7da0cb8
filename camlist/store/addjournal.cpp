#include "addjournal.h"

#include "blockchecksums.h"
#include "posixfile.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr char magic[] = "CAMSJRNL";
constexpr qsizetype magicSize = sizeof(magic) - 1;
constexpr quint32 version = 1;
// Far beyond the journal of any list the program can fetch; a bigger file is not one of ours.
constexpr qint64 largestJournal = 16 << 20;

void putNumber(QByteArray& bytes, quint32 value)
{
    char little[4];
    qToLittleEndian(value, little);
    bytes.append(little, 4);
}

void putNumber(QByteArray& bytes, qint64 value)
{
    char little[8];
    qToLittleEndian(value, little);
    bytes.append(little, 8);
}

template <typename Number> Number numberAt(QByteArrayView bytes, qsizetype at)
{
    return qFromLittleEndian<Number>(bytes.data() + at);
}

// The old bytes the journal keeps a checksum of: the last chunk's worth before the block.
qint64 tailLength(qint64 oldLength)
{
    return std::min(oldLength, BlockChecksums::chunkSize);
}

// Reads exactly length bytes at offset, or fewer at the end of the file.
Result<> readAt(int fd, qint64 offset, QByteArray& into, qint64 length)
{
    into.resize(length);
    qint64 used = 0;
    while (used < length) {
        const ssize_t got = ::pread(fd, into.data() + used, static_cast<size_t>(length - used),
                                    static_cast<off_t>(offset + used));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return PosixFile::failed(errno);
        if (got == 0)
            break;
        used += got;
    }
    into.resize(used);
    return ::Done{};
}

QString bytes(qint64 count)
{
    return count == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(count);
}

class Texts final
{
public:
    explicit Texts(const QString& listPath)
        : m_list(listPath), m_journal(AddJournal::nameFor(listPath))
    {}

    QString interrupted(const QString& what) const
    {
        return QStringLiteral("An earlier add of new cams to %1 was interrupted. %2")
            .arg(m_list, what);
    }
    QString keptWhile(const QString& what) const
    {
        return interrupted(
            what + QStringLiteral(" Nothing was changed. Check the end of %1; once it is "
                                  "in order, delete %2, which keeps the details of that add.")
                       .arg(m_list, m_journal));
    }
    QString notOurs(const QString& why) const
    {
        return QStringLiteral("%1 %2, so it was left alone and %3 was not checked. Nothing was "
                              "changed; delete %1 once you know %3 is in order.")
            .arg(m_journal, why, m_list);
    }
    QString journalStays(const QString& reason) const
    {
        return QStringLiteral(" %1 could not be removed: %2.").arg(m_journal, reason);
    }
    const QString& list() const { return m_list; }

private:
    QString m_list;
    QString m_journal;
};

using Recovery = AddJournal::Recovery;
using Found = AddJournal::Found;
// Here Done is what a recovery did; ::Done is the value of a call that worked.
using Done = AddJournal::Done;

// The list needs nothing more: the journal goes.
Recovery settled(const QString& listPath, Found found, QString text)
{
    const Result<> removed = AddJournal::remove(listPath);
    if (!removed)
        return {found, Done::JournalKept, text + Texts(listPath).journalStays(removed.text())};
    return {found, Done::JournalRemoved, std::move(text)};
}

// Where the list's end stands against what the journal says was being appended.
struct Comparison
{
    qint64 written = 0;     // bytes after the old length
    qint64 asJournaled = 0; // of them, the length of the leading whole chunks that match
    bool wholeBlock = false;
    bool tornBlock = false;
    Result<> read = ::Done{};
};

Comparison compare(int listFd, qint64 listSize, const AddJournal::Entry& entry)
{
    Comparison result;
    result.written = listSize - entry.oldLength;
    const qint64 checked = std::min(result.written, entry.blockLength);
    BlockChecksums checksums(entry.oldLength);
    constexpr qint64 piece = 1 << 20;
    QByteArray buffer;
    for (qint64 done = 0; done < checked;) {
        result.read =
            readAt(listFd, entry.oldLength + done, buffer, std::min(piece, checked - done));
        if (!result.read)
            return result;
        if (buffer.isEmpty()) {
            result.read = PosixFile::failed(EIO); // the file shrank while it was read
            return result;
        }
        checksums.add(buffer);
        done += buffer.size();
    }
    if (checked == entry.blockLength)
        checksums.finish();
    const std::vector<quint32>& seen = checksums.chunks();
    const auto matching = static_cast<qint64>(
        std::mismatch(seen.cbegin(), seen.cend(), entry.chunkCrcs.cbegin(), entry.chunkCrcs.cend())
            .first -
        seen.cbegin());
    const bool allMatch = matching == static_cast<qint64>(seen.size());
    const qint64 firstChunk =
        BlockChecksums::chunkSize - entry.oldLength % BlockChecksums::chunkSize;
    result.asJournaled =
        matching == 0 ? 0
                      : std::min(checked, firstChunk + (matching - 1) * BlockChecksums::chunkSize);
    result.wholeBlock =
        checked == entry.blockLength && allMatch && checksums.whole() == entry.blockCrc;
    // A tear inside a chunk is not one a crash leaves, and cannot be checked.
    result.tornBlock = checked < entry.blockLength && allMatch && checksums.endsOnBoundary();
    return result;
}

} // namespace

QString AddJournal::nameFor(const QString& listPath)
{
    return listPath + QStringLiteral("-journal");
}

AddJournal::Entry AddJournal::describe(QByteArrayView oldContent,
                                       const QList<QByteArrayView>& pieces)
{
    Entry entry;
    entry.oldLength = oldContent.size();
    entry.oldTailCrc = crc32(0, oldContent.last(tailLength(oldContent.size())));
    BlockChecksums checksums(entry.oldLength);
    for (const QByteArrayView piece : pieces)
        checksums.add(piece);
    checksums.finish();
    entry.blockLength = checksums.length();
    entry.blockCrc = checksums.whole();
    entry.chunkCrcs = checksums.chunks();
    return entry;
}

QByteArray AddJournal::encode(const Entry& entry)
{
    QByteArray encoded;
    encoded.reserve(headerSize + 4 * static_cast<qsizetype>(entry.chunkCrcs.size()) + 4);
    encoded.append(magic, magicSize);
    putNumber(encoded, version);
    putNumber(encoded, static_cast<quint32>(BlockChecksums::chunkSize));
    putNumber(encoded, static_cast<quint32>(entry.chunkCrcs.size()));
    putNumber(encoded, entry.oldLength);
    putNumber(encoded, entry.blockLength);
    putNumber(encoded, entry.oldTailCrc);
    putNumber(encoded, entry.blockCrc);
    for (const quint32 crc : entry.chunkCrcs)
        putNumber(encoded, crc);
    putNumber(encoded, crc32(0, encoded));
    return encoded;
}

AddJournal::Decoded AddJournal::decode(QByteArrayView bytes, Entry& entry)
{
    // A journal cut short, or one whose pages never reached the disk (zeros), is torn.
    if (bytes.size() < magicSize + 4 || !bytes.startsWith(QByteArrayView(magic, magicSize)))
        return Decoded::Torn;
    if (numberAt<quint32>(bytes, 8) != version)
        return Decoded::Unknown;
    if (bytes.size() < headerSize + 4)
        return Decoded::Torn;
    const quint32 count = numberAt<quint32>(bytes, 16);
    if (bytes.size() != headerSize + 4 * static_cast<qint64>(count) + 4 ||
        numberAt<quint32>(bytes, bytes.size() - 4) != crc32(0, bytes.first(bytes.size() - 4)))
        return Decoded::Torn;
    entry.oldLength = numberAt<qint64>(bytes, 20);
    entry.blockLength = numberAt<qint64>(bytes, 28);
    entry.oldTailCrc = numberAt<quint32>(bytes, 36);
    entry.blockCrc = numberAt<quint32>(bytes, 40);
    if (numberAt<quint32>(bytes, 12) != BlockChecksums::chunkSize || entry.oldLength < 0 ||
        entry.blockLength < 0 ||
        BlockChecksums::chunkCount(entry.oldLength, entry.blockLength) != count)
        return Decoded::Unknown;
    entry.chunkCrcs.resize(count);
    for (quint32 i = 0; i < count; ++i)
        entry.chunkCrcs[i] = numberAt<quint32>(bytes, headerSize + 4 * i);
    return Decoded::Whole;
}

Result<> AddJournal::write(const QString& listPath, const QByteArray& encoded,
                           const std::function<bool()>& stopAfterHeader, bool& stopped)
{
    stopped = false;
    const QByteArray name = QFile::encodeName(nameFor(listPath));
    const int fd =
        ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return PosixFile::failed(errno);
    // Two writes: the header, then the checksums; the point between them is a torn journal.
    Result<> done = PosixFile::writeAll(fd, QByteArrayView(encoded).first(headerSize));
    if (done && stopAfterHeader && stopAfterHeader()) {
        stopped = true;
        ::close(fd);
        return done;
    }
    if (done)
        done = PosixFile::writeAll(fd, QByteArrayView(encoded).sliced(headerSize));
    if (done && ::fsync(fd) != 0)
        done = PosixFile::failed(errno);
    if (::close(fd) != 0 && done)
        done = PosixFile::failed(errno);
    if (!done) {
        ::unlink(name.constData());
        return done;
    }
    PosixFile::syncFolderOf(nameFor(listPath));
    return done;
}

Result<> AddJournal::remove(const QString& listPath)
{
    if (::unlink(QFile::encodeName(nameFor(listPath)).constData()) != 0 && errno != ENOENT)
        return PosixFile::failed(errno);
    PosixFile::syncFolderOf(nameFor(listPath));
    return ::Done{};
}

AddJournal::Recovery AddJournal::recover(const QString& listPath)
{
    const QByteArray journalName = QFile::encodeName(nameFor(listPath));
    FileStatus journal{};
    if (::lstat(journalName.constData(), &journal) != 0)
        return {};
    const Texts texts(listPath);
    const QByteArray listName = QFile::encodeName(listPath);
    const int fd = ::open(listName.constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (!S_ISREG(journal.st_mode) || journal.st_uid != ::geteuid())
            return {Found::Unusable, Done::JournalKept,
                    texts.notOurs(QStringLiteral("is not a file of yours"))};
        return settled(listPath, Found::ListGone,
                       texts.interrupted(QStringLiteral("%1 is not there any more, so there was "
                                                        "nothing to repair.")
                                             .arg(listPath)));
    }
    if (fd < 0) {
        return {Found::Unusable, Done::JournalKept,
                texts.keptWhile(QStringLiteral("%1 could not be opened to check it: %2.")
                                    .arg(listPath, PosixFile::reason(errno)))};
    }
    Recovery recovery;
    FileStatus opened{};
    FileStatus named{};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        recovery = {Found::Unusable, Done::JournalKept,
                    texts.keptWhile(QStringLiteral("%1 is not a regular file.").arg(listPath))};
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::stat(listName.constData(), &named) != 0 ||
               named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
        // Another run is adding, or replacing the list right now: it settles its own journal.
        recovery = {Found::InUse, Done::Nothing, {}};
    } else {
        recovery = recoverLocked(listPath, fd);
    }
    ::close(fd);
    return recovery;
}

AddJournal::Recovery AddJournal::recoverLocked(const QString& listPath, int listFd)
{
    const QByteArray journalName = QFile::encodeName(nameFor(listPath));
    const Texts texts(listPath);
    FileStatus journal{};
    if (::lstat(journalName.constData(), &journal) != 0)
        return {};
    // Whoever else can write the folder must not make this program cut the user's list.
    if (!S_ISREG(journal.st_mode) || journal.st_uid != ::geteuid() ||
        journal.st_size > largestJournal)
        return {Found::Unusable, Done::JournalKept,
                texts.notOurs(QStringLiteral("is not a journal this program wrote"))};
    QByteArray encoded;
    Result<> read = ::Done{};
    const int journalFd =
        ::open(journalName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (journalFd < 0) {
        read = PosixFile::failed(errno);
    } else {
        read = readAt(journalFd, 0, encoded, largestJournal + 1);
        ::close(journalFd);
    }
    if (!read)
        return {Found::Unusable, Done::JournalKept,
                texts.notOurs(QStringLiteral("could not be read (%1)").arg(read.text()))};
    Entry entry;
    switch (decode(encoded, entry)) {
    case Decoded::Torn:
        return settled(listPath, Found::TornJournal,
                       texts.interrupted(QStringLiteral("It had not written anything yet, so %1 "
                                                        "was not changed.")
                                             .arg(listPath)));
    case Decoded::Unknown:
        return {Found::Unusable, Done::JournalKept,
                texts.notOurs(QStringLiteral("is not in a form this program knows"))};
    case Decoded::Whole:
        break;
    }

    FileStatus list{};
    if (::fstat(listFd, &list) != 0)
        read = PosixFile::failed(errno);
    QByteArray tail;
    if (read && list.st_size >= entry.oldLength)
        read = readAt(listFd, entry.oldLength - tailLength(entry.oldLength), tail,
                      tailLength(entry.oldLength));
    if (!read)
        return {Found::Unusable, Done::JournalKept,
                texts.keptWhile(
                    QStringLiteral("%1 could not be read: %2.").arg(listPath, read.text()))};
    const qint64 size = list.st_size;
    const QString before =
        QStringLiteral("Before it, %1 held %2.").arg(listPath, bytes(entry.oldLength));
    if (size < entry.oldLength || crc32(0, tail) != entry.oldTailCrc)
        return {Found::OtherBytes, Done::JournalKept,
                texts.keptWhile(before + QStringLiteral(" Now it holds %1, and its old bytes "
                                                        "are not all there as they were: "
                                                        "another program has changed it since.")
                                             .arg(bytes(size)))};
    if (size == entry.oldLength)
        return settled(listPath, Found::NothingWritten,
                       texts.interrupted(QStringLiteral("It had not written anything yet: %1 "
                                                        "holds its old %2, as before.")
                                             .arg(listPath, bytes(size))));

    const Comparison found = compare(listFd, size, entry);
    if (!found.read)
        return {Found::Unusable, Done::JournalKept,
                texts.keptWhile(
                    QStringLiteral("%1 could not be read: %2.").arg(listPath, found.read.text()))};
    if (found.wholeBlock) {
        const int error = ::fsync(listFd) == 0 ? 0 : errno;
        QString text = QStringLiteral("It had written all its new records (%1) after the old %2 "
                                      "of %3, so they are there whole and nothing had to be "
                                      "repaired.")
                           .arg(bytes(entry.blockLength), bytes(entry.oldLength), listPath);
        if (found.written > entry.blockLength)
            text += QStringLiteral(" The %1 after them were written by another program since "
                                   "and were left as they are.")
                        .arg(bytes(found.written - entry.blockLength));
        if (error != 0)
            return {Found::WholeBlock, Done::JournalKept,
                    texts.interrupted(text) + QStringLiteral(" They could not be flushed to "
                                                             "disk: %1.")
                                                  .arg(PosixFile::reason(error))};
        return settled(listPath, Found::WholeBlock, texts.interrupted(text));
    }
    if (!found.tornBlock) {
        QString what = QStringLiteral(" Now it holds %1 more, which are not the %2 that add was "
                                      "writing")
                           .arg(bytes(found.written), bytes(entry.blockLength));
        if (found.asJournaled > 0)
            what += QStringLiteral(" (only the first %1 are)").arg(bytes(found.asJournaled));
        return {Found::OtherBytes, Done::JournalKept,
                texts.keptWhile(before + what +
                                QStringLiteral(": another program has written to it since."))};
    }
    if (::ftruncate(listFd, static_cast<off_t>(entry.oldLength)) != 0 || ::fsync(listFd) != 0)
        return {Found::TornBlock, Done::JournalKept,
                texts.keptWhile(before + QStringLiteral(" The %1 of incomplete new records "
                                                        "after them could not be cut off: %2.")
                                             .arg(bytes(found.written), PosixFile::reason(errno)))};
    Recovery recovery = settled(
        listPath, Found::TornBlock,
        texts.interrupted(QStringLiteral("It had written %1 of the %2 of new records it was "
                                         "adding; they were cut off, so %3 holds its old %4 "
                                         "again.")
                              .arg(bytes(found.written), bytes(entry.blockLength), listPath,
                                   bytes(entry.oldLength))));
    if (recovery.done == Done::JournalRemoved)
        recovery.done = Done::BlockCut;
    return recovery;
}
