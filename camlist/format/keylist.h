#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QList>
#include <optional>

// The keys held by one list box. A sorted list keeps ascending order without regard to ASCII
// letter case (other bytes by value); a key goes after the keys that compare equal to it.
// An unsorted list keeps the order of adding. Both keep duplicates.
//
// A key is a view into bytes the list holds a shared copy of (a list file's content, or a key
// added on its own), so a million keys cost a million small views, not a million heap blocks,
// and the bytes live as long as any list that points into them. Views handed out (item(),
// views(), detail()) stay valid until the list is cleared or destroyed, and after that while
// a copy of it, or another list it shares the bytes with, lives.
class KeyList final
{
public:
    enum class Order { Sorted, AsAdded };

    explicit KeyList(Order order) : m_order(order) {}

    Order order() const { return m_order; }
    qsizetype count() const { return m_keys.size(); }
    // An index outside the list reads as the empty key.
    QByteArrayView item(qsizetype index) const;
    const QList<QByteArrayView>& views() const { return m_keys; }
    // Copies of the keys, for callers that need them on their own.
    QByteArrayList toByteArrayList() const;
    // The line after the key in the bytes it was picked from (by the list files' line rules);
    // none when the key is the last line there, or was added on its own.
    std::optional<QByteArrayView> detail(qsizetype index) const;

    // The index an added key would go to.
    qsizetype placeFor(QByteArrayView key) const;
    // Keeps a shared copy of the key. Returns the index the key went to.
    qsizetype add(const QByteArray& key);
    // Adds views into bytes (each view must lie inside them); the list keeps a shared copy of
    // the bytes. One sort for all of them, the same order as adding them one at a time.
    void addAll(const QByteArray& bytes, QList<QByteArrayView> keys);
    // Adds another list's keys as if one at a time in its order, and shares its bytes.
    void addAll(KeyList keys);
    // A list of the given views, which must point into this list's bytes, holding the same bytes.
    KeyList withSameBytes(Order order, QList<QByteArrayView> keys) const;
    void clear();

    static bool lessIgnoringCase(QByteArrayView a, QByteArrayView b);

private:
    void holdSource(const QByteArray& bytes);
    void mergeIn(QList<QByteArrayView> keys);

    Order m_order;
    QList<QByteArrayView> m_keys;
    // Every buffer a view points into.
    QList<QByteArray> m_sources;
};
