#pragma once

#include "keylist.h"

#include <QAbstractListModel>

// A key list shown in a list view. Each key byte is shown as one character, so no key is
// altered on its way through the widget.
class KeyListModel final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KeyListModel)

public:
    explicit KeyListModel(KeyList::Order order, QObject* parent = nullptr);

    const KeyList& keys() const { return m_keys; }
    void add(const QByteArray& key);
    void addAll(QByteArrayList keys);
    void clear();

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    KeyList m_keys;
};
