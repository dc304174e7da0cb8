#include "keylist.h"

#include <algorithm>

namespace {

constexpr unsigned char foldCase(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

} // namespace

bool KeyList::lessIgnoringCase(QByteArrayView a, QByteArrayView b)
{
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        const unsigned char ca = foldCase(static_cast<unsigned char>(a[i]));
        const unsigned char cb = foldCase(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

QByteArray KeyList::item(qsizetype index) const
{
    if (index < 0 || index >= m_keys.size())
        return {};
    return m_keys.at(index);
}

qsizetype KeyList::placeFor(const QByteArray& key) const
{
    if (m_order == Order::AsAdded)
        return m_keys.size();
    const auto place = std::upper_bound(
        m_keys.cbegin(), m_keys.cend(), key,
        [](const QByteArray& a, const QByteArray& b) { return lessIgnoringCase(a, b); });
    return place - m_keys.cbegin();
}

qsizetype KeyList::add(const QByteArray& key)
{
    const qsizetype index = placeFor(key);
    m_keys.insert(index, key);
    return index;
}

void KeyList::addAll(QByteArrayList keys)
{
    if (m_order == Order::AsAdded) {
        m_keys.append(std::move(keys));
        return;
    }
    const auto less = [](const QByteArray& a, const QByteArray& b) {
        return lessIgnoringCase(a, b);
    };
    std::stable_sort(keys.begin(), keys.end(), less);
    const qsizetype oldCount = m_keys.size();
    m_keys.append(std::move(keys));
    // Old keys come first among equals, as if each new key had been added after them.
    std::inplace_merge(m_keys.begin(), m_keys.begin() + oldCount, m_keys.end(), less);
}
