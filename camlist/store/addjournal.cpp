#include "camlist/store/addjournal.h"

#include "camlist/store/blockchecksums.h"
#include "camlist/store/posixfile.h"

#include <QFile>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace {

constexpr char magic[] = "CAMSJRNL";
constexpr qsizetype magicSize = sizeof(magic) - 1;
constexpr quint32 version = 1;

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

} // namespace

qint64 AddJournal::oldTailLength(qint64 oldLength)
{
    return std::min<qint64>(oldLength, 4096);
}

QString AddJournal::nameFor(const QString& listPath)
{
    return listPath + QStringLiteral("-journal");
}

AddJournal::Entry AddJournal::describe(QByteArrayView oldContent,
                                       const QList<QByteArrayView>& pieces)
{
    Entry entry;
    entry.oldLength = oldContent.size();
    entry.oldTailCrc = crc32(0, oldContent.last(oldTailLength(oldContent.size())));
    BlockChecksums checksums(entry.oldLength);
    for (const QByteArrayView piece : pieces)
        checksums.add(piece);
    checksums.finish();
    entry.blockLength = checksums.length();
    entry.blockCrc = checksums.whole();
    entry.chunkSize = BlockChecksums::chunkSize;
    entry.chunkCrcs = checksums.chunks();
    return entry;
}

QByteArray AddJournal::encode(const Entry& entry)
{
    QByteArray encoded;
    encoded.reserve(headerSize + 4 * static_cast<qsizetype>(entry.chunkCrcs.size()) + 4);
    encoded.append(magic, magicSize);
    putNumber(encoded, version);
    putNumber(encoded, static_cast<quint32>(entry.chunkSize));
    putNumber(encoded, static_cast<quint32>(entry.chunkCrcs.size()));
    putNumber(encoded, entry.oldLength);
    putNumber(encoded, entry.blockLength);
    putNumber(encoded, entry.oldTailCrc);
    putNumber(encoded, entry.blockCrc);
    // Many of them (one per 512 bytes): copied as a whole.
    const qsizetype crcsAt = encoded.size();
    encoded.resize(crcsAt + 4 * static_cast<qsizetype>(entry.chunkCrcs.size()));
    if (!entry.chunkCrcs.empty())
        qToLittleEndian<quint32>(entry.chunkCrcs.data(),
                                 static_cast<qsizetype>(entry.chunkCrcs.size()),
                                 encoded.data() + crcsAt);
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
    // The entry is filled only from a journal whose numbers make sense together: a file
    // whose end lies past what a file offset can hold is not one an add wrote.
    Entry read;
    read.oldLength = numberAt<qint64>(bytes, 20);
    read.blockLength = numberAt<qint64>(bytes, 28);
    read.oldTailCrc = numberAt<quint32>(bytes, 36);
    read.blockCrc = numberAt<quint32>(bytes, 40);
    read.chunkSize = numberAt<quint32>(bytes, 12);
    if ((read.chunkSize != BlockChecksums::chunkSize && read.chunkSize != pageChunkSize) ||
        read.oldLength < 0 || read.blockLength < 0 ||
        read.blockLength > std::numeric_limits<qint64>::max() - read.oldLength ||
        BlockChecksums::chunkCount(read.oldLength, read.blockLength, read.chunkSize) != count)
        return Decoded::Unknown;
    read.chunkCrcs.resize(count);
    if (count > 0) // an empty vector has no storage to copy into
        qFromLittleEndian<quint32>(bytes.data() + headerSize, count, read.chunkCrcs.data());
    entry = std::move(read);
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
    return Done{};
}
