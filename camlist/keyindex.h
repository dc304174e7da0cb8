#pragma once

#include <QByteArrayView>
#include <QList>
#include <vector>

// An index of keys for exact lookups, built a key at a time so that a timer can drive it.
// Each slot holds a key's position in the list and part of its hash, so a lookup of a key
// that is not there seldom reads any key's bytes: over a million keys that is most of the
// time a lookup takes. Holds the views only: the bytes must outlive the index.
class KeyIndex final
{
public:
    // Starts over with these keys, none indexed yet.
    void reset(QList<QByteArrayView> keys);
    bool isComplete() const { return m_indexed == m_keys.size(); }
    // Indexes the next key. A key equal to one indexed before is not indexed again; returns
    // the position of the first equal key (the key's own when it is new).
    qsizetype indexNext();
    // The position of the first indexed key equal to this one, or -1 when there is none.
    qsizetype find(QByteArrayView key) const;

private:
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
