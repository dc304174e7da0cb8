#include "camsfileappender.h"

#include "addjournal.h"
#include "journaledblock.h"
#include "keyindex.h"
#include "keypicking.h"
#include "linereader.h"
#include "lockedlist.h"
#include "posixfile.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Selection
{
    // The records that go in, as runs of records that follow each other in those given: no
    // copy of their bytes is made.
    QList<QByteArrayView> runs;
    qsizetype count = 0;
    QList<qsizetype> someWritten; // as in Appended
};

// How often the byte occurs, eight bytes at a time: millions of records are counted in a few
// milliseconds.
qsizetype countOf(char byte, QByteArrayView bytes)
{
    constexpr quint64 low7 = 0x7f7f7f7f7f7f7f7fULL;
    const quint64 pattern = 0x0101010101010101ULL * static_cast<uchar>(byte);
    qsizetype count = 0;
    qsizetype at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        quint64 word;
        std::memcpy(&word, bytes.data() + at, 8);
        const quint64 equal = word ^ pattern; // a zero byte where the byte is
        // The top bit of each zero byte, and of no other.
        const quint64 zeros = ~(((equal & low7) + low7) | equal | low7);
        count += static_cast<qsizetype>(((zeros >> 7) * 0x0101010101010101ULL) >> 56);
    }
    for (; at < bytes.size(); ++at)
        count += bytes[at] == byte ? 1 : 0;
    return count;
}

// How many records LineReader finds in whole two-line records: a last key line without its
// detail line counts too.
qsizetype recordCount(QByteArrayView records)
{
    if (records.isEmpty())
        return 0;
    qsizetype lines = countOf('\r', records);
    if (!records.endsWith('\r') && !records.endsWith("\r\n"))
        ++lines;
    return (lines + 1) / 2;
}

// The records whose key the file does not hold yet. Duplicates among the new records are kept:
// only what is already in the file is left out. Keys within what was read before need no look,
// as long as the file still begins with it.
Selection recordsNotIn(QByteArrayView content, QByteArrayView records, QByteArrayView readBefore)
{
    QList<QByteArrayView> heldKeys;
    if (content.size() != readBefore.size() || content != readBefore) {
        const qsizetype known = content.startsWith(readBefore) ? readBefore.size() : 0;
        LineReader reader(content);
        QByteArrayView line;
        while (reader.next(line)) {
            if (line.isEmpty())
                continue;
            // A key reaching the end of what was known may have been written on since.
            if (line.data() + line.size() - content.data() >= known)
                heldKeys.append(line);
            QByteArrayView detail;
            reader.next(detail);
        }
    }
    Selection selection;
    const qsizetype count = recordCount(records);
    if (heldKeys.isEmpty()) {
        selection.runs.append(records);
        selection.count = count;
        return selection;
    }
    KeyIndex held;
    held.reset(std::move(heldKeys));
    while (!held.isComplete())
        held.indexNext(KeyIndex::batchSize);
    QList<qsizetype>& written = selection.someWritten;
    written.reserve(count);
    LineReader reader(records);
    const char* runStart = records.data();
    const char* runEnd = runStart;
    QByteArrayView keys[KeyIndex::batchSize];
    const char* ends[KeyIndex::batchSize];
    qsizetype positions[KeyIndex::batchSize];
    for (qsizetype index = 0; !reader.atEnd();) {
        // Keys are looked up a batch at a time, as the index is quickest that way.
        qsizetype inBatch = 0;
        for (; inBatch < KeyIndex::batchSize && reader.next(keys[inBatch]); ++inBatch) {
            QByteArrayView detail;
            reader.next(detail);
            ends[inBatch] = records.data() + reader.position();
        }
        held.find(keys, inBatch, positions);
        for (qsizetype i = 0; i < inBatch; ++i, ++index) {
            if (positions[i] >= 0) {
                if (runEnd != runStart)
                    selection.runs.append(QByteArrayView(runStart, runEnd));
                runStart = runEnd = ends[i];
                continue;
            }
            runEnd = ends[i];
            written.append(index);
        }
    }
    if (runEnd != runStart)
        selection.runs.append(QByteArrayView(runStart, runEnd));
    selection.count = written.size();
    if (written.size() == count)
        written = {};
    return selection;
}

using Refusal = CamsFileAppender::Refusal;

// The failure, with what settling an earlier add did under the lock: that stays news whatever
// this add comes to.
Failure<Refusal> withNews(Failure<Refusal> failure, const LockedList& list)
{
    if (!list.settledBefore().isEmpty() && !failure.text.isEmpty())
        failure.text += QLatin1Char('\n') + list.settledBefore();
    return failure;
}

// Takes back what a failed add wrote: the file is cut back to its old length, or removed if
// the add created it, but only while it is the length the add left it. Any other length means
// another program wrote after the add's bytes, and cutting would lose them.
Failure<Refusal> undone(LockedList& list, qint64 oldSize, qint64 written, QString text)
{
    const qint64 leftAt = oldSize + written;
    FileStatus now{};
    const qint64 size = ::fstat(list.fd(), &now) == 0 ? static_cast<qint64>(now.st_size) : -1;
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
        return {Refusal::NotUndone, text};
    }
    // A journal that cannot be removed after the undo is settled by the next start, which
    // finds nothing of this add in the list.
    if (list.created()) {
        if (list.removeCreated()) {
            [[maybe_unused]] const Result<> removed = AddJournal::remove(list.path());
            return {Refusal::LeftAsItWas, text};
        }
        text += QStringLiteral("\nThe new, incomplete file could not be removed again: %1")
                    .arg(PosixFile::reason(errno));
        return {Refusal::NotUndone, text};
    }
    if (::ftruncate(list.fd(), static_cast<off_t>(oldSize)) == 0 && ::fsync(list.fd()) == 0) {
        [[maybe_unused]] const Result<> removed = AddJournal::remove(list.path());
        return {Refusal::LeftAsItWas, text};
    }
    const int cutError = errno;
    text += QStringLiteral("\nIt could not be cut back to its old length (%1): %2 bytes of "
                           "incomplete new records are left at its end.")
                .arg(PosixFile::reason(cutError))
                .arg(written);
    return {Refusal::NotUndone, text};
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
    if (records.isEmpty())
        return Appended{};
    LockedList list(path);
    if (const Result<Done, Refusal> opened = list.open(lockWait); !opened)
        return withNews(opened.failure(), list);
    QByteArray content = list.takeContent();
    Selection selection = recordsNotIn(content, records, readBefore);
    if (selection.runs.isEmpty())
        return Appended{0, {}, list.settledBefore()};
    const QByteArray boundary = recordBoundaryAfter(content, selection.runs.first());
    QList<QByteArrayView> pieces;
    pieces.reserve(selection.runs.size() + 1);
    if (!boundary.isEmpty())
        pieces.append(boundary);
    pieces.append(selection.runs);
    JournaledBlock block(path, list.fd(), content, pieces);
    content.clear();

    switch (block.write(stopAt)) {
    case JournaledBlock::Ended::Stopped:
        return Failure<Refusal>{Refusal::Stopped, {}};
    case JournaledBlock::Ended::JournalNotWritten:
        if (list.created())
            list.removeCreated();
        return withNews({Refusal::LeftAsItWas,
                         list.couldNotUpdate(block.reason()) +
                             QStringLiteral("\nThe note kept while cams are added, %1, could not "
                                            "be written.")
                                 .arg(AddJournal::nameFor(path))},
                        list);
    case JournaledBlock::Ended::BlockNotWritten:
        return withNews(
            undone(list, block.oldSize(), block.written(), list.couldNotUpdate(block.reason())),
            list);
    case JournaledBlock::Ended::Written:
        break;
    }

    // Written and on disk; but the name may have been given to another file meanwhile.
    const bool stillNamed = list.stillNamed();
    if (list.created())
        PosixFile::syncFolderOf(path);
    // The journal says nothing of the file now under the name, whatever that is.
    const Result<> removed = AddJournal::remove(path);
    if (stopAt && stopAt(Step::JournalRemoved))
        return Failure<Refusal>{Refusal::Stopped, {}};
    if (!stillNamed)
        return withNews({Refusal::Replaced,
                         QStringLiteral("%1 was replaced by another program while the new cams "
                                        "were added: they went into the file that was "
                                        "replaced, not into the %1 there is now, so they are "
                                        "still on offer.")
                             .arg(path)},
                        list);
    QString settledBefore = list.settledBefore();
    if (!removed) {
        if (!settledBefore.isEmpty())
            settledBefore += QLatin1Char('\n');
        settledBefore += QStringLiteral("%1 could not be removed: %2")
                             .arg(AddJournal::nameFor(path), removed.text());
    }
    return Appended{selection.count, std::move(selection.someWritten), std::move(settledBefore),
                    !removed};
}
