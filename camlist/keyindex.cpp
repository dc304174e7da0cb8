#include "keyindex.h"

#include <QHashFunctions>
#include <algorithm>
#include <bit>
#include <limits>

void KeyIndex::reset(QList<QByteArrayView> keys)
{
    // Positions are kept in 32 bits: a list of four billion keys would not fit in memory anyway.
    Q_ASSERT(keys.size() < std::numeric_limits<quint32>::max());
    m_keys = std::move(keys);
    // At most two thirds of the slots in use keeps the runs of probing short.
    const auto count = static_cast<size_t>(m_keys.size());
    const size_t slots = std::bit_ceil(count + count / 2 + 2);
    // A new table, so that a reset to no keys gives the old one's memory back.
    m_slots = std::vector<Slot>(slots);
    m_mask = slots - 1;
    m_seed = QHashSeed::globalSeed();
    m_indexed = 0;
}

qsizetype KeyIndex::indexNext(qsizetype count, qsizetype* firstEqual)
{
    count = std::min({count, batchSize, m_keys.size() - m_indexed});
    size_t hashes[batchSize];
    for (qsizetype i = 0; i < count; ++i) {
        hashes[i] = qHash(m_keys.at(m_indexed + i), m_seed);
        __builtin_prefetch(&m_slots[slotOf(hashes[i])], 1);
    }
    for (qsizetype i = 0; i < count; ++i) {
        const qsizetype position = m_indexed + i;
        const QByteArrayView key = m_keys.at(position);
        const auto hashBits = static_cast<quint32>(quint64{hashes[i]} >> 32);
        qsizetype first = position;
        for (size_t slot = slotOf(hashes[i]);; slot = (slot + 1) & m_mask) {
            Slot& entry = m_slots[slot];
            if (entry.positionPlusOne == 0) {
                entry = {hashBits, static_cast<quint32>(position + 1)};
                break;
            }
            if (entry.hashBits == hashBits && m_keys.at(entry.positionPlusOne - 1) == key) {
                first = entry.positionPlusOne - 1;
                break;
            }
        }
        if (firstEqual)
            firstEqual[i] = first;
    }
    m_indexed += count;
    return count;
}

void KeyIndex::find(const QByteArrayView* keys, qsizetype count, qsizetype* positions) const
{
    Q_ASSERT(count <= batchSize);
    if (m_slots.empty()) {
        std::fill_n(positions, count, -1);
        return;
    }
    size_t hashes[batchSize];
    for (qsizetype i = 0; i < count; ++i) {
        hashes[i] = qHash(keys[i], m_seed);
        __builtin_prefetch(&m_slots[slotOf(hashes[i])]);
    }
    for (qsizetype i = 0; i < count; ++i) {
        const auto hashBits = static_cast<quint32>(quint64{hashes[i]} >> 32);
        positions[i] = -1;
        for (size_t slot = slotOf(hashes[i]);; slot = (slot + 1) & m_mask) {
            const Slot& entry = m_slots[slot];
            if (entry.positionPlusOne == 0)
                break;
            if (entry.hashBits == hashBits && m_keys.at(entry.positionPlusOne - 1) == keys[i]) {
                positions[i] = entry.positionPlusOne - 1;
                break;
            }
        }
    }
}
