#include "camlist/format/keylist.h"

#include "camlist/format/recordreader.h"

#include <QtEndian>
#include <algorithm>
#include <functional>
#include <vector>

namespace {

constexpr quint64 eachByte = 0x0101010101010101ULL;

// Folds the ASCII capitals among eight bytes to small letters, all at once; bytes past ASCII
// keep their value. A byte is a capital when its low seven bits lie in 'A'..'Z' and its top
// bit is clear; the sums below cannot carry into the next byte.
constexpr quint64 foldEight(quint64 bytes)
{
    const quint64 low = bytes & (0x7f * eachByte);
    const quint64 fromA = low + (0x80 - 'A') * eachByte;
    const quint64 pastZ = low + (0x80 - 'Z' - 1) * eachByte;
    const quint64 capitals = fromA & ~pastZ & ~bytes & (0x80 * eachByte);
    return bytes | (capitals >> 2);
}
static_assert(foldEight(0x4041'5A5B'6061'7A7BULL) == 0x4061'7A5B'6061'7A7BULL);
static_assert(foldEight(0xC1C2'DADB'0000'0000ULL) == 0xC1C2'DADB'0000'0000ULL);

// Up to eight bytes as a big-endian number, padded with zero bytes: numbers compare as the
// bytes do, and a shorter key pads with bytes no larger than any real one.
quint64 loadEight(const char* bytes, qsizetype count)
{
    if (count >= 8)
        return qFromBigEndian<quint64>(bytes);
    quint64 value = 0;
    for (qsizetype i = 0; i < count; ++i)
        value |= quint64{static_cast<unsigned char>(bytes[i])} << (56 - 8 * i);
    return value;
}

quint64 foldedEight(QByteArrayView key, qsizetype from)
{
    return key.size() > from ? foldEight(loadEight(key.data() + from, key.size() - from)) : 0;
}

// A key and its folded first sixteen bytes: most compares of a sort end on the numbers,
// without reaching into the key's bytes (cam names often share their first eight).
struct Ranked
{
    quint64 high;
    quint64 low;
    QByteArrayView key;
};

// Below, equal or above zero as a comes before, with or after b.
int compareFolded(QByteArrayView a, QByteArrayView b)
{
    const qsizetype common = std::min(a.size(), b.size());
    qsizetype i = 0;
    for (; i + 8 <= common; i += 8) {
        const quint64 ca = foldEight(qFromBigEndian<quint64>(a.data() + i));
        const quint64 cb = foldEight(qFromBigEndian<quint64>(b.data() + i));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (i < common) {
        const quint64 ca = foldEight(loadEight(a.data() + i, common - i));
        const quint64 cb = foldEight(loadEight(b.data() + i, common - i));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int compareRanked(const Ranked& a, const Ranked& b)
{
    if (a.high != b.high)
        return a.high < b.high ? -1 : 1;
    if (a.low != b.low)
        return a.low < b.low ? -1 : 1;
    // Equal prefixes: a key of at most sixteen bytes is all prefix, padded with zero bytes, so
    // it is the other key's beginning; only longer keys need their bytes read.
    if (a.key.size() <= 16 || b.key.size() <= 16)
        return a.key.size() < b.key.size() ? -1 : (a.key.size() > b.key.size() ? 1 : 0);
    return compareFolded(a.key.sliced(16), b.key.sliced(16));
}

bool rankedLess(const Ranked& a, const Ranked& b)
{
    return compareRanked(a, b) < 0;
}

const std::less<const char*> earlierByte;

// Keys in the order of their bytes (those of one file, in file order) need no stable sort:
// among equal keys, the one whose bytes come first came first. That sort needs no buffer.
bool rankedLessOrEarlier(const Ranked& a, const Ranked& b)
{
    const int order = compareRanked(a, b);
    return order < 0 || (order == 0 && earlierByte(a.key.data(), b.key.data()));
}

bool viewLess(QByteArrayView a, QByteArrayView b)
{
    return KeyList::lessIgnoringCase(a, b);
}

// Keys that compare equal keep the order they came in.
QList<QByteArrayView> sortedKeys(QList<QByteArrayView> keys)
{
    // Keys that come in order already (new cams found in a sorted server list) stay as they are.
    if (std::is_sorted(keys.cbegin(), keys.cend(), viewLess))
        return keys;
    const bool inByteOrder =
        std::is_sorted(keys.cbegin(), keys.cend(), [](QByteArrayView a, QByteArrayView b) {
            return earlierByte(a.data(), b.data());
        });
    std::vector<Ranked> ranked;
    ranked.reserve(static_cast<size_t>(keys.size()));
    for (const QByteArrayView key : std::as_const(keys))
        ranked.push_back({foldedEight(key, 0), foldedEight(key, 8), key});
    keys = {};
    if (inByteOrder)
        std::sort(ranked.begin(), ranked.end(), rankedLessOrEarlier);
    else
        std::stable_sort(ranked.begin(), ranked.end(), rankedLess);
    QList<QByteArrayView> sorted;
    sorted.reserve(static_cast<qsizetype>(ranked.size()));
    for (const Ranked& entry : ranked)
        sorted.append(entry.key);
    return sorted;
}

} // namespace

bool KeyList::lessIgnoringCase(QByteArrayView a, QByteArrayView b)
{
    return compareFolded(a, b) < 0;
}

QByteArrayView KeyList::item(qsizetype index) const
{
    if (index < 0 || index >= m_keys.size())
        return {};
    return m_keys.at(index);
}

QByteArrayList KeyList::toByteArrayList() const
{
    QByteArrayList copies;
    copies.reserve(m_keys.size());
    for (const QByteArrayView key : m_keys)
        copies.append(key.toByteArray());
    return copies;
}

std::optional<QByteArrayView> KeyList::detail(qsizetype index) const
{
    const QByteArrayView key = item(index);
    if (!key.data())
        return std::nullopt;
    const char* keyEnd = key.data() + key.size();
    const std::less_equal<const char*> notAfter;
    for (const QByteArray& source : m_sources) {
        if (!notAfter(source.constBegin(), key.data()) || !notAfter(keyEnd, source.constEnd()))
            continue;
        // The record that the key's line begins; the key must be that whole line.
        RecordReader reader(QByteArrayView(key.data(), source.constEnd()),
                            RecordReader::Walk::EveryLine);
        RecordReader::Record record;
        if (!reader.next(record) || record.key.size() != key.size() || !record.hasDetail)
            return std::nullopt;
        return record.detail;
    }
    return std::nullopt;
}

qsizetype KeyList::placeFor(QByteArrayView key) const
{
    if (m_order == Order::AsAdded)
        return m_keys.size();
    return std::upper_bound(m_keys.cbegin(), m_keys.cend(), key, viewLess) - m_keys.cbegin();
}

qsizetype KeyList::add(const QByteArray& key)
{
    const qsizetype index = placeFor(key);
    // A key of its own is a buffer of its own: no search for it among the held ones.
    if (!key.isEmpty())
        m_sources.append(key);
    m_keys.insert(index, QByteArrayView(key));
    return index;
}

void KeyList::addAll(const QByteArray& bytes, QList<QByteArrayView> keys)
{
    Q_ASSERT(std::all_of(keys.cbegin(), keys.cend(), [&bytes](QByteArrayView key) {
        const std::less_equal<const char*> notAfter;
        return key.isEmpty() || (notAfter(bytes.constBegin(), key.data()) &&
                                 notAfter(key.data() + key.size(), bytes.constEnd()));
    }));
    holdSource(bytes);
    mergeIn(std::move(keys));
}

void KeyList::addAll(KeyList keys)
{
    for (const QByteArray& source : std::as_const(keys.m_sources))
        holdSource(source);
    // A sorted list's keys are already in the order adding them one by one would give.
    if (m_order == Order::Sorted && keys.m_order == Order::Sorted && m_keys.isEmpty()) {
        m_keys = std::move(keys.m_keys);
        return;
    }
    mergeIn(std::move(keys.m_keys));
}

KeyList KeyList::withSameBytes(Order order, QList<QByteArrayView> keys) const
{
    KeyList list(order);
    list.m_sources = m_sources;
    list.mergeIn(std::move(keys));
    return list;
}

void KeyList::clear()
{
    // A list's clear() keeps its room; a million keys' room is worth giving back.
    m_keys = {};
    m_sources = {};
}

void KeyList::holdSource(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    const bool held = std::any_of(m_sources.cbegin(), m_sources.cend(), [&](const QByteArray& s) {
        return s.constData() == bytes.constData() && s.size() == bytes.size();
    });
    if (!held)
        m_sources.append(bytes);
}

void KeyList::mergeIn(QList<QByteArrayView> keys)
{
    if (keys.isEmpty())
        return;
    if (m_order == Order::AsAdded) {
        if (m_keys.isEmpty())
            m_keys = std::move(keys);
        else
            m_keys.append(keys);
        return;
    }
    keys = sortedKeys(std::move(keys));
    if (m_keys.isEmpty()) {
        m_keys = std::move(keys);
        return;
    }
    // Old keys come first among equals, as if each new key had been added after them.
    QList<QByteArrayView> merged;
    merged.reserve(m_keys.size() + keys.size());
    std::merge(m_keys.cbegin(), m_keys.cend(), keys.cbegin(), keys.cend(),
               std::back_inserter(merged), viewLess);
    m_keys = std::move(merged);
}
