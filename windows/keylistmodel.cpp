#include "keylistmodel.h"

KeyListModel::KeyListModel(KeyList::Order order, QObject* parent)
    : QAbstractListModel(parent), m_keys(order)
{}

void KeyListModel::add(const QByteArray& key)
{
    const auto row = static_cast<int>(m_keys.placeFor(key));
    beginInsertRows({}, row, row);
    m_keys.add(key);
    endInsertRows();
}

void KeyListModel::addAll(QByteArrayList keys)
{
    if (keys.isEmpty())
        return;
    if (m_keys.order() == KeyList::Order::AsAdded) {
        const auto first = static_cast<int>(m_keys.count());
        beginInsertRows({}, first, first + static_cast<int>(keys.size()) - 1);
        m_keys.addAll(std::move(keys));
        endInsertRows();
        return;
    }
    beginResetModel();
    m_keys.addAll(std::move(keys));
    endResetModel();
}

void KeyListModel::clear()
{
    beginResetModel();
    m_keys.clear();
    endResetModel();
}

int KeyListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_keys.count());
}

QVariant KeyListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return QString::fromLatin1(m_keys.item(index.row()));
}
