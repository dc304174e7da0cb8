#include "camlist/format/recordmerge.h"

#include "camlist/format/keyindex.h"
#include "camlist/format/linereader.h"
#include "camlist/format/recordreader.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Where the first line that starts after the given place begins.
qsizetype lineStartAfter(QByteArrayView bytes, qsizetype place)
{
    LineReader rest(bytes.sliced(place));
    QByteArrayView line;
    rest.next(line);
    return place + rest.position();
}

// The first line equal to each wanted key among the lines that start in one part of the copy,
// and the line after it (which may start past the part); kept by the key's slot in the index.
struct Finds
{
    explicit Finds(qsizetype slots)
        : details(static_cast<size_t>(slots)), found(static_cast<size_t>(slots), false)
    {}

    void scan(const KeyIndex& wanted, QByteArrayView copy, qsizetype from, qsizetype to,
              qsizetype missing)
    {
        // Any line may be the one looked for, a detail line too.
        RecordReader reader(copy.sliced(from), RecordReader::Walk::EveryLine);
        const qsizetype partSize = to - from;
        // The lines go by in batches for the index.
        QByteArrayView keys[KeyIndex::batchSize];
        QByteArrayView following[KeyIndex::batchSize];
        RecordReader::Record record;
        bool more = true;
        while (more && missing > 0) {
            qsizetype count = 0;
            while (count < KeyIndex::batchSize && (more = reader.next(record))) {
                // Only lines that start in the part are looked up.
                more = record.begin < partSize;
                if (!more)
                    break;
                keys[count] = record.key;
                following[count] = record.detail;
                ++count;
            }
            qsizetype slots[KeyIndex::batchSize];
            wanted.findSlots(keys, count, slots);
            for (qsizetype i = 0; i < count; ++i) {
                const auto at = static_cast<size_t>(slots[i]);
                if (slots[i] < 0 || found[at])
                    continue;
                found[at] = true;
                details[at] = following[i];
                --missing;
            }
        }
    }

    std::vector<QByteArrayView> details; // empty when the key is the last line
    std::vector<bool> found;
};

} // namespace

RecordMerge RecordMerge::build(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys)
{
    // Index only the wanted keys, each distinct key once, then read the copy once: a line is
    // looked up in the index, so the pass costs one lookup per line whatever the number of new
    // keys. What is kept per key grows with the distinct keys, not with all of them: a list of
    // millions of records may hold only a few thousand keys.
    KeyIndex wanted;
    wanted.reset(newKeys, KeyIndex::Room::AsNeeded);
    // Each key's slot in the index once it is whole, found without hashing the keys again:
    // first the position of the first key equal to it, then that key's slot.
    std::vector<quint32> slotOf(static_cast<size_t>(newKeys.size()));
    qsizetype firstEqual[KeyIndex::batchSize];
    for (qsizetype from = 0; !wanted.isComplete();) {
        const qsizetype count = wanted.indexNext(KeyIndex::batchSize, firstEqual);
        for (qsizetype i = 0; i < count; ++i)
            slotOf[size_t(from + i)] = static_cast<quint32>(firstEqual[i]);
        from += count;
    }
    constexpr quint32 isSlot = 0x8000'0000;
    Q_ASSERT(wanted.slotCount() < isSlot && newKeys.size() < isSlot);
    for (qsizetype slot = 0; slot < wanted.slotCount(); ++slot) {
        if (const qsizetype position = wanted.positionIn(slot); position >= 0)
            slotOf[size_t(position)] = static_cast<quint32>(slot) | isSlot;
    }
    // A first equal key comes before the keys equal to it, so its slot is known by then.
    for (quint32& entry : slotOf) {
        if (!(entry & isSlot))
            entry = slotOf[entry];
    }
    const qsizetype missing = wanted.distinctCount();

    // The copy is read in two halves side by side, each finding the first line equal to each
    // key within its half; the first half's finds come first. Each half's finds take 16 bytes
    // a slot: past a few million keys memory counts for more than the second core.
    constexpr qsizetype mostKeysForTwoHalves = 2'000'000;
    const bool twoHalves = missing <= mostKeysForTwoHalves;
    const qsizetype middle =
        twoHalves ? lineStartAfter(serverCopy, serverCopy.size() / 2) : serverCopy.size();
    Finds early(wanted.slotCount());
    Finds late(twoHalves ? wanted.slotCount() : 0);
    std::thread second;
    if (twoHalves)
        second =
            std::thread([&] { late.scan(wanted, serverCopy, middle, serverCopy.size(), missing); });
    early.scan(wanted, serverCopy, 0, middle, missing);
    if (second.joinable())
        second.join();
    std::vector<QByteArrayView>& details = early.details;
    std::vector<bool>& found = early.found;
    for (size_t i = 0; i < late.found.size(); ++i) {
        if (!found[i] && late.found[i]) {
            found[i] = true;
            details[i] = late.details[i];
        }
    }
    late = Finds(0);

    const auto eachKey = [&](auto&& record) {
        for (qsizetype i = 0; i < newKeys.size(); ++i) {
            const size_t slot = slotOf[size_t(i)] & ~isSlot;
            if (found[slot])
                record(newKeys.at(i), details[slot]);
        }
    };
    // The block is sized first, so that it is written in place, once.
    qsizetype size = 0;
    qsizetype records = 0;
    eachKey([&](QByteArrayView key, QByteArrayView detail) {
        size += key.size() + detail.size() + 4;
        ++records;
    });
    RecordMerge merge;
    merge.block = QByteArray(size, Qt::Uninitialized); // exactly its size, no room to grow
    char* out = merge.block.data();
    const auto put = [&out](QByteArrayView bytes) {
        // An empty detail line may have no bytes to point at at all.
        if (bytes.isEmpty())
            return;
        std::memcpy(out, bytes.data(), static_cast<size_t>(bytes.size()));
        out += bytes.size();
    };
    eachKey([&](QByteArrayView key, QByteArrayView detail) {
        put(key);
        put("\r\n");
        put(detail);
        put("\r\n");
    });
    Q_ASSERT(out == merge.block.constData() + size);
    // The keys' views into the block are made only once the room for finding the records is
    // given back: over millions of keys both at once would be the run's peak.
    wanted.reset({});
    std::vector<quint32>().swap(slotOf);
    QList<QByteArrayView> added;
    added.reserve(records);
    RecordReader written(merge.block, RecordReader::Walk::Pairs);
    for (RecordReader::Record record; written.next(record);)
        added.append(record.key);
    Q_ASSERT(added.size() == records);
    merge.addedKeys.addAll(merge.block, std::move(added));
    return merge;
}
