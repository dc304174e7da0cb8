#include "camlist/format/keylist.h"

#include "camlist/format/recordreader.h"

#include <QHashFunctions>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <numeric>
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

// Below this many keys a comparison sort beats another pass over them.
constexpr std::ptrdiff_t fewKeys = 64;

// Byte b (0 to 15, most significant first) of a key's folded sixteen-byte prefix.
unsigned prefixByte(const Ranked& entry, int b)
{
    const quint64 half = b < 8 ? entry.high : entry.low;
    return static_cast<unsigned>(half >> (56 - 8 * (b % 8))) & 0xff;
}

// The first prefix byte, from b on, in which the keys differ; 16 when they share the rest.
int firstDifferingByte(const Ranked* first, const Ranked* last, int b)
{
    quint64 high = 0;
    quint64 low = 0;
    for (const Ranked* entry = first + 1; entry != last; ++entry) {
        high |= entry->high ^ first->high;
        low |= entry->low ^ first->low;
    }
    const int differing = high != 0 ? std::countl_zero(high) / 8 : 8 + std::countl_zero(low) / 8;
    return std::max(b, low == 0 && high == 0 ? 16 : differing);
}

// Keys in the order of their bytes, sorted by their prefixes a byte at a time, most
// significant first, in place (American flag sort): each pass over a group costs no
// comparisons, so a list of many equal or alike keys, where comparisons only tie, sorts in a
// few passes. Small groups, and groups whose prefixes are all alike, are left to a comparison
// sort, which also breaks ties by place in the bytes: the order comes out stable.
void sortByPrefix(Ranked* first, Ranked* last, int b)
{
    while (last - first >= fewKeys) {
        b = firstDifferingByte(first, last, b);
        if (b == 16)
            break;
        std::array<std::ptrdiff_t, 257> start{};
        for (const Ranked* entry = first; entry != last; ++entry)
            ++start[prefixByte(*entry, b) + 1];
        for (size_t digit = 1; digit < start.size(); ++digit)
            start[digit] += start[digit - 1];
        std::array<std::ptrdiff_t, 256> next;
        std::copy(start.begin(), start.end() - 1, next.begin());
        for (unsigned digit = 0; digit < 256; ++digit) {
            while (next[digit] < start[digit + 1]) {
                Ranked& entry = first[next[digit]];
                const unsigned home = prefixByte(entry, b);
                if (home == digit)
                    ++next[digit];
                else
                    std::swap(entry, first[next[home]++]);
            }
        }
        // Each group by its next byte; the largest without a call of its own.
        unsigned largest = 0;
        for (unsigned digit = 0; digit < 256; ++digit) {
            if (start[digit + 1] - start[digit] > start[largest + 1] - start[largest])
                largest = digit;
        }
        for (unsigned digit = 0; digit < 256; ++digit) {
            if (digit != largest && start[digit + 1] - start[digit] > 1)
                sortByPrefix(first + start[digit], first + start[digit + 1], b + 1);
        }
        last = first + start[largest + 1];
        first += start[largest];
        ++b;
    }
    std::sort(first, last, rankedLessOrEarlier);
}

// A key's bytes with ASCII capitals folded, hashed: keys that compare equal hash alike.
size_t foldedHash(QByteArrayView key, size_t seed, std::vector<quint64>& scratch)
{
    scratch.clear();
    for (qsizetype from = 0; from < key.size(); from += 8)
        scratch.push_back(foldedEight(key, from));
    scratch.push_back(static_cast<quint64>(key.size()));
    return qHashBits(scratch.data(), scratch.size() * sizeof(quint64), seed);
}

// Keys in the order of their bytes, sorted by counting when few of them differ: each key that
// compares unequal to all before it is sorted once, and every key then goes to its place in
// the order it came in. Sorting them all would compare equal keys with each other again and
// again. Nothing when more than one key in mostKeysPerClass... differs: those are sorted.
std::optional<QList<QByteArrayView>> sortedByCounting(const QList<QByteArrayView>& keys)
{
    // Past this share of different keys, counting saves nothing on sorting them.
    constexpr qsizetype keysPerDifferent = 16;
    constexpr qsizetype fewestKeys = 4096;
    const qsizetype count = keys.size();
    if (count < fewestKeys)
        return std::nullopt;
    const qsizetype mostDifferent = count / keysPerDifferent;
    struct Slot
    {
        quint32 hashBits = 0;
        quint32 classPlusOne = 0; // 0: empty
    };
    std::vector<Slot> slots(std::bit_ceil(static_cast<size_t>(mostDifferent) * 2));
    const size_t mask = slots.size() - 1;
    const size_t seed = QHashSeed::globalSeed();
    std::vector<QByteArrayView> firstOfClass;
    std::vector<quint32> classOf(static_cast<size_t>(count));
    std::vector<quint64> scratch;
    for (qsizetype i = 0; i < count; ++i) {
        const QByteArrayView key = keys.at(i);
        const size_t hash = foldedHash(key, seed, scratch);
        const auto hashBits = static_cast<quint32>(hash ^ (quint64{hash} >> 32));
        for (size_t slot = hashBits & mask;; slot = (slot + 1) & mask) {
            Slot& entry = slots[slot];
            if (entry.classPlusOne == 0) {
                if (static_cast<qsizetype>(firstOfClass.size()) == mostDifferent)
                    return std::nullopt;
                firstOfClass.push_back(key);
                entry = {hashBits, static_cast<quint32>(firstOfClass.size())};
                classOf[size_t(i)] = entry.classPlusOne - 1;
                break;
            }
            if (entry.hashBits == hashBits &&
                compareFolded(firstOfClass[entry.classPlusOne - 1], key) == 0) {
                classOf[size_t(i)] = entry.classPlusOne - 1;
                break;
            }
        }
    }
    slots = {};
    // The classes in order; no two compare equal.
    std::vector<quint32> order(firstOfClass.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](quint32 a, quint32 b) {
        return compareFolded(firstOfClass[a], firstOfClass[b]) < 0;
    });
    // Where each class's keys begin in the sorted list.
    std::vector<qsizetype> next(firstOfClass.size(), 0);
    for (const quint32 c : classOf)
        ++next[c];
    qsizetype at = 0;
    for (const quint32 c : order)
        at += std::exchange(next[c], at);
    QList<QByteArrayView> sorted(count);
    for (qsizetype i = 0; i < count; ++i)
        sorted[next[classOf[size_t(i)]]++] = keys.at(i);
    return sorted;
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
    if (inByteOrder) {
        if (std::optional<QList<QByteArrayView>> counted = sortedByCounting(keys))
            return *std::move(counted);
    }
    std::vector<Ranked> ranked;
    ranked.reserve(static_cast<size_t>(keys.size()));
    for (const QByteArrayView key : std::as_const(keys))
        ranked.push_back({foldedEight(key, 0), foldedEight(key, 8), key});
    keys = {};
    if (inByteOrder)
        sortByPrefix(ranked.data(), ranked.data() + ranked.size(), 0);
    else
        std::stable_sort(ranked.begin(), ranked.end(), rankedLess);
    QList<QByteArrayView> sorted;
    sorted.reserve(static_cast<qsizetype>(ranked.size()));
    for (const Ranked& entry : ranked)
        sorted.append(entry.key);
    return sorted;
}

// Two sorted lists as one; the first list's keys come first among equals, as if each key of
// the second had been added after them. The keys' bytes lie scattered over big files, so each
// list's keys a few places ahead are fetched while the current ones are compared.
QList<QByteArrayView> merged(const QList<QByteArrayView>& first,
                             const QList<QByteArrayView>& second)
{
    constexpr qsizetype ahead = 8;
    QList<QByteArrayView> result;
    result.reserve(first.size() + second.size());
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < first.size() && j < second.size()) {
        if (i + ahead < first.size())
            __builtin_prefetch(first.at(i + ahead).data());
        if (j + ahead < second.size())
            __builtin_prefetch(second.at(j + ahead).data());
        if (viewLess(second.at(j), first.at(i)))
            result.append(second.at(j++));
        else
            result.append(first.at(i++));
    }
    result.append(first.sliced(i));
    result.append(second.sliced(j));
    return result;
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
    m_keys = merged(m_keys, keys);
}
