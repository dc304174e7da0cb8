#include "keyindex.h"

#include <QHashFunctions>
#include <bit>
#include <limits>

void KeyIndex::reset(QList<QByteArrayView> keys)
{
    // Positions are kept in 32 bits: a list of four billion keys would not fit in memory anyway.
    Q_ASSERT(keys.size() < std::numeric_limits<quint32>::max());
    m_keys = std::move(keys);
    // At most half the slots in use keeps the runs of probing short.
    const size_t slots = std::bit_ceil(static_cast<size_t>(m_keys.size()) * 2 + 2);
    m_slots.assign(slots, Slot{});
    m_mask = slots - 1;
    m_seed = QHashSeed::globalSeed();
    m_indexed = 0;
}

qsizetype KeyIndex::indexNext()
{
    Q_ASSERT(!isComplete());
    const qsizetype position = m_indexed++;
    const QByteArrayView key = m_keys.at(position);
    const size_t hash = qHash(key, m_seed);
    const auto hashBits = static_cast<quint32>(hash >> 32);
    for (size_t slot = hash & m_mask;; slot = (slot + 1) & m_mask) {
        Slot& entry = m_slots[slot];
        if (entry.positionPlusOne == 0) {
            entry = {hashBits, static_cast<quint32>(position + 1)};
            return position;
        }
        if (entry.hashBits == hashBits && m_keys.at(entry.positionPlusOne - 1) == key)
            return entry.positionPlusOne - 1;
    }
}

qsizetype KeyIndex::find(QByteArrayView key) const
{
    if (m_slots.empty())
        return -1;
    const size_t hash = qHash(key, m_seed);
    const auto hashBits = static_cast<quint32>(hash >> 32);
    for (size_t slot = hash & m_mask;; slot = (slot + 1) & m_mask) {
        const Slot& entry = m_slots[slot];
        if (entry.positionPlusOne == 0)
            return -1;
        if (entry.hashBits == hashBits && m_keys.at(entry.positionPlusOne - 1) == key)
            return entry.positionPlusOne - 1;
    }
}
