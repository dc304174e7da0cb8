#pragma once

#include "keylistmodel.h"

#include <QListView>

// A list box of keys: a list view over its own key list, sorted or in the order of adding.
class KeyListBox final : public QListView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KeyListBox)

public:
    KeyListBox(KeyList::Order order, QWidget* parent);

    qsizetype count() const { return m_model.keys().count(); }
    QByteArrayView item(qsizetype index) const { return m_model.keys().item(index); }
    const QList<QByteArrayView>& items() const { return m_model.keys().views(); }
    const KeyList& keys() const { return m_model.keys(); }
    void addItem(const QByteArray& key) { m_model.add(key); }
    void addItems(KeyList keys) { m_model.addAll(std::move(keys)); }
    void setItems(KeyList keys) { m_model.replaceAll(std::move(keys)); }
    void clear() { m_model.clear(); }

protected:
    // Shows a row's tool tip as the plain text it is: a tool tip would take markup in it for
    // rich text, with pictures loaded from wherever it names.
    bool viewportEvent(QEvent* event) override;

private:
    KeyListModel m_model;
};
