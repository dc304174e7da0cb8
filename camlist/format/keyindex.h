#pragma once

#include <QByteArrayView>
#include <QList>
#include <vector>

// An index of keys for exact lookups, built a few keys at a time so that a timer can drive it.
// Each slot holds a key's position in the list and part of its hash, so a lookup of a key
// that is not there seldom reads any key's bytes. Over a million keys, waiting for memory is
// most of what a lookup costs, so keys are taken in batches whose slots are fetched together.
// Holds the views only: the bytes must outlive the index.
class KeyIndex final
{
public:
    static constexpr qsizetype batchSize = 16;

    enum class Room {
        ForAll,   // room for every key from the start: indexing never stops to regrow
        AsNeeded, // room for the distinct keys indexed so far, regrown as they come
    };

    // Starts over with these keys, none indexed yet.
    void reset(QList<QByteArrayView> keys, Room room = Room::ForAll);
    bool isComplete() const { return m_indexed == m_keys.size(); }
    // Whether these are the keys it was reset with: the same views, not just equal ones.
    bool indexes(const QList<QByteArrayView>& keys) const
    {
        return m_keys.constData() == keys.constData() && m_keys.size() == keys.size();
    }
    // How many different keys are indexed.
    qsizetype distinctCount() const { return m_distinct; }
    // Slots are numbered below this; they stay put while no key is indexed.
    qsizetype slotCount() const { return static_cast<qsizetype>(m_slots.size()); }
    // The position of the key a slot holds, or -1 for an empty slot.
    qsizetype positionIn(qsizetype slot) const
    {
        return qsizetype{m_slots[static_cast<size_t>(slot)].positionPlusOne} - 1;
    }
    // Indexes the next keys, at most batchSize, and returns how many. A key equal to one
    // indexed before is not indexed again; firstEqual, when given, receives for each key the
    // position of the first equal key (the key's own when it is new).
    qsizetype indexNext(qsizetype count, qsizetype* firstEqual = nullptr);
    // For each of count keys (at most batchSize), the position of the first indexed key equal
    // to it, or -1 when there is none.
    void find(const QByteArrayView* keys, qsizetype count, qsizetype* positions) const;
    // The same, giving the slot of the indexed key instead, or -1: a place for what a caller
    // keeps per distinct key, beside the index.
    void findSlots(const QByteArrayView* keys, qsizetype count, qsizetype* slots) const;

private:
    // A key's hash is kept in 32 bits, which also place it: a table that grows places its keys
    // again without hashing them again. Under four billion slots the mask takes the low bits.
    static quint32 bitsOf(size_t hash)
    {
        return static_cast<quint32>(quint64{hash} >> 32) ^ static_cast<quint32>(hash);
    }
    size_t slotOf(quint32 hashBits) const { return hashBits & m_mask; }
    // Calls found(i, slot) for each key that is indexed, slot -1 for each that is not.
    template <typename Found>
    void lookUp(const QByteArrayView* keys, qsizetype count, Found found) const;
    void makeRoom(qsizetype more);

    struct Slot
    {
        quint32 hashBits = 0;
        quint32 positionPlusOne = 0; // 0: an empty slot
    };

    QList<QByteArrayView> m_keys;
    std::vector<Slot> m_slots;
    size_t m_mask = 0;
    size_t m_seed = 0;
    qsizetype m_indexed = 0;
    qsizetype m_distinct = 0;
    qsizetype m_lastFirst = 0; // what the last key indexed was settled as
    Room m_room = Room::ForAll;
};
