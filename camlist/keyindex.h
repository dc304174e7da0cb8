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

    // Starts over with these keys, none indexed yet.
    void reset(QList<QByteArrayView> keys);
    bool isComplete() const { return m_indexed == m_keys.size(); }
    // Indexes the next keys, at most batchSize, and returns how many. A key equal to one
    // indexed before is not indexed again; firstEqual, when given, receives for each key the
    // position of the first equal key (the key's own when it is new).
    qsizetype indexNext(qsizetype count, qsizetype* firstEqual = nullptr);
    // For each of count keys (at most batchSize), the position of the first indexed key equal
    // to it, or -1 when there is none.
    void find(const QByteArrayView* keys, qsizetype count, qsizetype* positions) const;

private:
    size_t slotOf(size_t hash) const { return hash & m_mask; }

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
};
