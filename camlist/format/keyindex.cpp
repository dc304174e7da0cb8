#include "camlist/format/keyindex.h"

#include <QHashFunctions>
#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

namespace {

// At most two thirds of the slots in use keeps the runs of probing short.
size_t slotsFor(size_t keys)
{
    return std::bit_ceil(keys + keys / 2 + 2);
}

} // namespace

void KeyIndex::reset(QList<QByteArrayView> keys, Room room)
{
    // Positions are kept in 32 bits: a list of four billion keys would not fit in memory anyway.
    Q_ASSERT(keys.size() < std::numeric_limits<quint32>::max());
    m_keys = std::move(keys);
    m_room = room;
    const size_t slots =
        slotsFor(room == Room::ForAll ? static_cast<size_t>(m_keys.size()) : size_t{0});
    // A new table, so that a reset to no keys gives the old one's memory back.
    m_slots = std::vector<Slot>(slots);
    m_mask = slots - 1;
    m_seed = QHashSeed::globalSeed();
    m_indexed = 0;
    m_distinct = 0;
    m_lastFirst = 0;
}

void KeyIndex::makeRoom(qsizetype more)
{
    const auto needed = static_cast<size_t>(m_distinct + more);
    if (m_room == Room::ForAll || slotsFor(needed) <= m_slots.size())
        return;
    std::vector<Slot> old = std::exchange(m_slots, std::vector<Slot>(slotsFor(needed) * 2));
    m_mask = m_slots.size() - 1;
    for (const Slot& entry : old) {
        if (entry.positionPlusOne == 0)
            continue;
        size_t slot = slotOf(entry.hashBits);
        while (m_slots[slot].positionPlusOne != 0)
            slot = (slot + 1) & m_mask;
        m_slots[slot] = entry;
    }
}

qsizetype KeyIndex::indexNext(qsizetype count, qsizetype* firstEqual)
{
    count = std::min({count, batchSize, m_keys.size() - m_indexed});
    makeRoom(count);
    // A key equal to the one before it (sorted lists hold their duplicates side by side) is
    // settled without hashing it again.
    bool asBefore[batchSize];
    quint32 hashes[batchSize];
    // The next batch's keys are on their way while these are hashed: a big list's keys lie
    // scattered over its bytes.
    for (qsizetype ahead = m_indexed + batchSize;
         ahead < std::min(m_indexed + 2 * batchSize, m_keys.size()); ++ahead)
        __builtin_prefetch(m_keys.at(ahead).data());
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype position = m_indexed + i;
        asBefore[i] = position > 0 && m_keys.at(position) == m_keys.at(position - 1);
        if (asBefore[i])
            continue;
        hashes[i] = bitsOf(qHash(m_keys.at(position), m_seed));
        __builtin_prefetch(&m_slots[slotOf(hashes[i])], 1);
    }
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype position = m_indexed + i;
        if (asBefore[i]) {
            if (firstEqual)
                firstEqual[i] = m_lastFirst;
            continue;
        }
        const QByteArrayView key = m_keys.at(position);
        const quint32 hashBits = hashes[i];
        qsizetype first = position;
        for (size_t slot = slotOf(hashes[i]);; slot = (slot + 1) & m_mask) {
            Slot& entry = m_slots[slot];
            if (entry.positionPlusOne == 0) {
                entry = {hashBits, static_cast<quint32>(position + 1)};
                ++m_distinct;
                break;
            }
            if (entry.hashBits == hashBits && m_keys.at(entry.positionPlusOne - 1) == key) {
                first = entry.positionPlusOne - 1;
                break;
            }
        }
        m_lastFirst = first;
        if (firstEqual)
            firstEqual[i] = first;
    }
    m_indexed += count;
    return count;
}

template <typename Found>
void KeyIndex::lookUp(const QByteArrayView* keys, qsizetype count, Found found) const
{
    Q_ASSERT(count <= batchSize);
    if (m_distinct == 0) {
        for (qsizetype i = 0; i < count; ++i)
            found(i, qsizetype{-1});
        return;
    }
    // Equal keys side by side are looked up once.
    bool asBefore[batchSize];
    quint32 hashes[batchSize];
    for (qsizetype i = 0; i < count; ++i) {
        asBefore[i] = i > 0 && keys[i] == keys[i - 1];
        if (asBefore[i])
            continue;
        hashes[i] = bitsOf(qHash(keys[i], m_seed));
        __builtin_prefetch(&m_slots[slotOf(hashes[i])]);
    }
    qsizetype at = -1;
    for (qsizetype i = 0; i < count; ++i) {
        if (asBefore[i]) {
            found(i, at);
            continue;
        }
        const quint32 hashBits = hashes[i];
        at = -1;
        for (size_t slot = slotOf(hashes[i]);; slot = (slot + 1) & m_mask) {
            const Slot& entry = m_slots[slot];
            if (entry.positionPlusOne == 0)
                break;
            if (entry.hashBits == hashBits && m_keys.at(entry.positionPlusOne - 1) == keys[i]) {
                at = static_cast<qsizetype>(slot);
                break;
            }
        }
        found(i, at);
    }
}

void KeyIndex::find(const QByteArrayView* keys, qsizetype count, qsizetype* positions) const
{
    lookUp(keys, count, [&](qsizetype i, qsizetype slot) {
        positions[i] = slot < 0 ? -1 : qsizetype{m_slots[size_t(slot)].positionPlusOne} - 1;
    });
}

void KeyIndex::findSlots(const QByteArrayView* keys, qsizetype count, qsizetype* slots) const
{
    lookUp(keys, count, [&](qsizetype i, qsizetype slot) { slots[i] = slot; });
}
