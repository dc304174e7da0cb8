#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>

// The keys held by one list box. A sorted list keeps ascending order without regard to ASCII
// letter case (other bytes by value); a key goes after the keys that compare equal to it.
// An unsorted list keeps the order of adding. Both keep duplicates.
class KeyList final
{
public:
    enum class Order { Sorted, AsAdded };

    explicit KeyList(Order order) : m_order(order) {}

    Order order() const { return m_order; }
    qsizetype count() const { return m_keys.size(); }
    // An index outside the list reads as the empty key.
    QByteArray item(qsizetype index) const;
    const QByteArrayList& keys() const { return m_keys; }

    // The index an added key would go to.
    qsizetype placeFor(const QByteArray& key) const;
    // Returns the index the key went to.
    qsizetype add(const QByteArray& key);
    // Adds many keys at once: one sort instead of one insert each.
    void addAll(QByteArrayList keys);
    void clear() { m_keys.clear(); }

    static bool lessIgnoringCase(QByteArrayView a, QByteArrayView b);

private:
    Order m_order;
    QByteArrayList m_keys;
};
