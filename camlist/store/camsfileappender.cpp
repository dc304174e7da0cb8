#include "camlist/store/camsfileappender.h"

#include "camlist/format/keyindex.h"
#include "camlist/format/keypicking.h"
#include "camlist/format/recordreader.h"
#include "camlist/store/addjournal.h"
#include "camlist/store/journaledblock.h"
#include "camlist/store/lockedlist.h"
#include "camlist/store/posixfile.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
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

// The records whose key the file does not hold yet. Duplicates among the new records are kept:
// only what is already in the file is left out. Keys within what was read before need no look,
// as long as the file still begins with it.
Selection recordsNotIn(QByteArrayView content, QByteArrayView records, QByteArrayView readBefore)
{
    QList<QByteArrayView> heldKeys;
    if (content.data() != readBefore.data() &&
        (content.size() != readBefore.size() || content != readBefore)) {
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
    if (const Result<Done, Refusal> opened = list.open(lockWait, readBefore); !opened)
        return withNews(opened.failure(), list);
    QByteArray reread = list.takeContent();
    const QByteArrayView content = list.holdsWhatWasRead() ? readBefore : QByteArrayView(reread);
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
    reread.clear();

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
