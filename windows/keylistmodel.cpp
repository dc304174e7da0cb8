#include "windows/keylistmodel.h"

#include "windows/displaytext.h"

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
    stopFollowing();
    const auto row = static_cast<int>(m_keys.placeFor(key));
    beginInsertRows({}, row, row);
    m_keys.add(key);
    endInsertRows();
}

void KeyListModel::addAll(KeyList keys)
{
    if (keys.count() == 0)
        return;
    stopFollowing();
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
    m_followed = nullptr;
    m_keys = std::move(keys);
    endResetModel();
}

void KeyListModel::clear()
{
    beginResetModel();
    m_followed = nullptr;
    m_keys.clear();
    endResetModel();
}

void KeyListModel::follow(const KeyList* list)
{
    beginResetModel();
    m_keys.clear();
    m_followed = list;
    m_followedRows = static_cast<int>(list->count());
    endResetModel();
}

void KeyListModel::followedGrew()
{
    if (!m_followed || m_followed->count() <= m_followedRows)
        return;
    beginInsertRows({}, m_followedRows, static_cast<int>(m_followed->count()) - 1);
    m_followedRows = static_cast<int>(m_followed->count());
    endInsertRows();
}

void KeyListModel::stopFollowing()
{
    if (!m_followed)
        return;
    // Rows not yet shown are not taken over, so the rows stay as they are.
    KeyList shown = *m_followed;
    if (shown.count() > m_followedRows)
        shown = shown.withSameBytes(shown.order(), shown.views().first(m_followedRows));
    m_keys = std::move(shown);
    m_followed = nullptr;
}

int KeyListModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return m_followed ? m_followedRows : static_cast<int>(m_keys.count());
}

QVariant KeyListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    if (index.row() >= rowCount())
        return {};
    if (role == Qt::DisplayRole)
        return shown(keys().item(index.row()));
    if (role == Qt::ToolTipRole) {
        const std::optional<QByteArrayView> detail = keys().detail(index.row());
        if (detail && !detail->isEmpty())
            return shown(*detail);
    }
    return {};
}
