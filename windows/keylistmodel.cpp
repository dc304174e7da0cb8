#include "keylistmodel.h"

#include "displaytext.h"

namespace {

QString shown(QByteArrayView bytes)
{
    return DisplayText::of(bytes, KeyListModel::shownLength);
}

} // namespace

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

void KeyListModel::addAll(KeyList keys)
{
    if (keys.count() == 0)
        return;
    if (m_keys.order() == KeyList::Order::AsAdded) {
        const auto first = static_cast<int>(m_keys.count());
        beginInsertRows({}, first, first + static_cast<int>(keys.count()) - 1);
        m_keys.addAll(std::move(keys));
        endInsertRows();
        return;
    }
    beginResetModel();
    m_keys.addAll(std::move(keys));
    endResetModel();
}

void KeyListModel::replaceAll(KeyList keys)
{
    beginResetModel();
    m_keys = std::move(keys);
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
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return shown(m_keys.item(index.row()));
    if (role == Qt::ToolTipRole) {
        const std::optional<QByteArrayView> detail = m_keys.detail(index.row());
        if (detail && !detail->isEmpty())
            return shown(*detail);
    }
    return {};
}
