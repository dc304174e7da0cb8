#pragma once

#include "camlist/format/keylist.h"

#include <QAbstractListModel>

// A key list shown in a list view, as plain text made readable (see DisplayText); the keys
// themselves stay as their bytes. A key's tool tip is its detail line, as plain text too.
class KeyListModel final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KeyListModel)

public:
    // Shown of a key or a detail line at most; the whole key is still what is compared,
    // written and counted. Laying out a line of millions of characters takes seconds.
    static constexpr qsizetype shownLength = 1'000;

    explicit KeyListModel(KeyList::Order order, QObject* parent = nullptr);

    // The keys shown, or while following a list, that list.
    const KeyList& keys() const { return m_followed ? *m_followed : m_keys; }
    void add(const QByteArray& key);
    void addAll(KeyList keys);
    // Shows these keys instead, in their own order: a list kept elsewhere, shared, not copied.
    void replaceAll(KeyList keys);
    void clear();
    // Shows a list kept elsewhere that grows at its end (the new cams while the search finds
    // them), holding no copy of it: a copy would be as large again, and sharing it would copy
    // it at each growth. The list must outlive the following, which ends with any other change.
    void follow(const KeyList* list);
    // The followed list has grown: its new keys are shown as rows added at the end.
    void followedGrew();

    int rowCount(const QModelIndex& parent = {}) const override;
    // The key as text, and as tool tip its detail line; a key without a detail line, or with
    // an empty one, has no tool tip.
    QVariant data(const QModelIndex& index, int role) const override;

private:
    // Going on with the keys shown as a list of its own.
    void stopFollowing();

    KeyList m_keys;
    const KeyList* m_followed = nullptr;
    int m_followedRows = 0;
};
