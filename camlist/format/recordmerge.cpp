#include "recordmerge.h"

#include "keyindex.h"
#include "linereader.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Where the first line that starts at or after the given place begins.
qsizetype lineStartNear(QByteArrayView bytes, qsizetype place)
{
    if (place >= bytes.size())
        return bytes.size();
    const auto* cr = static_cast<const char*>(
        std::memchr(bytes.data() + place, '\r', static_cast<size_t>(bytes.size() - place)));
    if (!cr)
        return bytes.size();
    qsizetype start = cr - bytes.data() + 1;
    if (start < bytes.size() && bytes[start] == '\n')
        ++start;
    return start;
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
        LineReader reader(copy.sliced(from));
        const qsizetype partSize = to - from;
        const char* const partStart = copy.data() + from;
        const auto inPart = [&](QByteArrayView line) {
            return line.data() - partStart < partSize;
        };
        // The lines go by in batches for the index; one more line is read ahead, the detail
        // line of the batch's last.
        QByteArrayView lines[KeyIndex::batchSize + 1];
        qsizetype have = 0;
        bool partEnded = false;
        while (missing > 0) {
            while (have <= KeyIndex::batchSize && !partEnded && reader.next(lines[have])) {
                // Only lines that start in the part are looked up; the first past it is read
                // as a detail line only.
                partEnded = !inPart(lines[have]);
                ++have;
            }
            const qsizetype lookups = have - (partEnded ? 1 : 0);
            if (lookups <= 0)
                break;
            const qsizetype count = std::min(lookups, KeyIndex::batchSize);
            qsizetype slots[KeyIndex::batchSize];
            wanted.findSlots(lines, count, slots);
            for (qsizetype i = 0; i < count; ++i) {
                const auto at = static_cast<size_t>(slots[i]);
                if (slots[i] < 0 || found[at])
                    continue;
                found[at] = true;
                details[at] = i + 1 < have ? lines[i + 1] : QByteArrayView();
                --missing;
            }
            std::copy(lines + count, lines + have, lines);
            have -= count;
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
        twoHalves ? lineStartNear(serverCopy, serverCopy.size() / 2) : serverCopy.size();
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
    // given back: over millions of keys both at once would be the run's peak. No key or
    // detail line holds a CR, so each record is a key, CR LF, a detail line, CR LF.
    wanted.reset({});
    std::vector<quint32>().swap(slotOf);
    QList<QByteArrayView> added;
    added.reserve(records);
    const char* at = merge.block.constData();
    const char* const end = at + size;
    while (at < end) {
        const auto* keyEnd = static_cast<const char*>(std::memchr(at, '\r', size_t(end - at)));
        added.append(QByteArrayView(at, keyEnd));
        const char* detail = keyEnd + 2;
        at = static_cast<const char*>(std::memchr(detail, '\r', size_t(end - detail))) + 2;
    }
    merge.addedKeys.addAll(merge.block, std::move(added));
    return merge;
}
