#include "camlist/format/recordmerge.h"

#include "camlist/format/keyindex.h"
#include "camlist/format/linereader.h"
#include "camlist/format/recordreader.h"

#include <QHashFunctions>
#include <algorithm>
#include <bit>
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

// A first look at the copy's lines before the index is asked: a line it lets through may be a
// wanted key, one it stops is surely none. It reads a line's length and its first and last
// eight bytes, where the index would hash the whole line and fetch its slot, so the lines that
// are no wanted key, most of a list's (detail lines, keys already held), go by at the speed of
// reading them. Two bits a key, in a table of about sixteen bits a key.
class MaybeWanted final
{
public:
    explicit MaybeWanted(qsizetype keys)
        : m_bits(
              std::bit_ceil(static_cast<quint64>(std::clamp<qsizetype>(keys, 4, mostKeys)) * 16)),
          m_words(m_bits / 64), m_seed(QHashSeed::globalSeed())
    {}

    void add(QByteArrayView key)
    {
        const quint64 print = fingerprint(key);
        set(print & (m_bits - 1));
        set((print >> 32) & (m_bits - 1));
    }
    bool mayHold(QByteArrayView line) const
    {
        const quint64 print = fingerprint(line);
        return isSet(print & (m_bits - 1)) && isSet((print >> 32) & (m_bits - 1));
    }

private:
    // Past this many keys the table stops growing: lists that long hold few different keys.
    static constexpr qsizetype mostKeys = qsizetype{1} << 21;

    quint64 fingerprint(QByteArrayView line) const
    {
        quint64 head = 0;
        quint64 tail = 0;
        const auto size = static_cast<size_t>(line.size());
        if (size > 0) // an empty line may have no bytes to point at
            std::memcpy(&head, line.data(), std::min<size_t>(size, 8));
        if (size > 8)
            std::memcpy(&tail, line.data() + size - 8, 8);
        quint64 mixed = (head ^ m_seed) * 0x9E37'79B9'7F4A'7C15ULL;
        mixed ^= (tail + size) * 0xC2B2'AE3D'27D4'EB4FULL;
        mixed ^= mixed >> 29;
        mixed *= 0xBF58'476D'1CE4'E5B9ULL;
        return mixed ^ (mixed >> 32);
    }
    void set(quint64 bit) { m_words[bit / 64] |= quint64{1} << (bit % 64); }
    bool isSet(quint64 bit) const { return m_words[bit / 64] >> (bit % 64) & 1; }

    quint64 m_bits;
    std::vector<quint64> m_words;
    quint64 m_seed;
};

// The first line equal to each wanted key among the lines that start in one part of the copy,
// and the line after it (which may start past the part); kept by the key's slot in the index.
struct Finds
{
    explicit Finds(qsizetype slots)
        : details(static_cast<size_t>(slots)), found(static_cast<size_t>(slots), false)
    {}

    void scan(const KeyIndex& wanted, const MaybeWanted& maybe, QByteArrayView copy, qsizetype from,
              qsizetype to, qsizetype missing)
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
                if (!maybe.mayHold(record.key))
                    continue;
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
    return assemble(newKeys, find(serverCopy, newKeys));
}

RecordMerge::Found RecordMerge::find(QByteArrayView serverCopy,
                                     const QList<QByteArrayView>& newKeys)
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
    MaybeWanted maybe(newKeys.size());
    qsizetype firstEqual[KeyIndex::batchSize];
    for (qsizetype from = 0; !wanted.isComplete();) {
        const qsizetype count = wanted.indexNext(KeyIndex::batchSize, firstEqual);
        for (qsizetype i = 0; i < count; ++i) {
            slotOf[size_t(from + i)] = static_cast<quint32>(firstEqual[i]);
            // Its bytes were just read to index it.
            if (firstEqual[i] == from + i)
                maybe.add(newKeys.at(from + i));
        }
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
    for (quint32& entry : slotOf)
        entry &= ~isSlot;
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
        second = std::thread(
            [&] { late.scan(wanted, maybe, serverCopy, middle, serverCopy.size(), missing); });
    early.scan(wanted, maybe, serverCopy, 0, middle, missing);
    if (second.joinable())
        second.join();
    for (size_t i = 0; i < late.found.size(); ++i) {
        if (!early.found[i] && late.found[i]) {
            early.found[i] = true;
            early.details[i] = late.details[i];
        }
    }
    return {std::move(slotOf), std::move(early.details), std::move(early.found)};
}

RecordMerge RecordMerge::assemble(const QList<QByteArrayView>& newKeys, Found found)
{
    const std::vector<quint32>& slotOf = found.slotOf;
    const std::vector<QByteArrayView>& details = found.details;
    // The records lie scattered over the copy: the ones a few keys ahead are fetched while
    // these are read.
    constexpr qsizetype ahead = 8;
    const auto eachKey = [&](auto&& record) {
        for (qsizetype i = 0; i < newKeys.size(); ++i) {
            if (i + ahead < newKeys.size()) {
                const size_t slot = slotOf[size_t(i + ahead)];
                __builtin_prefetch(newKeys.at(i + ahead).data());
                __builtin_prefetch(details[slot].data());
            }
            const size_t slot = slotOf[size_t(i)];
            if (found.found[slot])
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
    // The keys as written, so that each one's detail line is the one written with it; made only
    // once what was found is given back: over millions of keys both at once would be the run's
    // peak.
    found = {};
    QList<QByteArrayView> added;
    added.reserve(records);
    RecordReader written(merge.block, RecordReader::Walk::Pairs);
    for (RecordReader::Record record; written.next(record);)
        added.append(record.key);
    Q_ASSERT(added.size() == records);
    merge.addedKeys.addAll(merge.block, std::move(added));
    return merge;
}
