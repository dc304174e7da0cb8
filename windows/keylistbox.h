#pragma once

#include "windows/keylistmodel.h"

#include <QListView>

// A list box of keys: a list view over its own key list, sorted or in the order of adding.
//
// The rows are all one height, so where a row stands is arithmetic: the box lays out nothing
// per row and asks the model only for the rows on screen. Qt's own list layout keeps a
// position for every row and redoes all of them whenever rows are added, which over millions
// of keys takes seconds and, for a list that grows while it is shown, time that grows with the
// square of its length. It stays a list view, so keys, selection, tool tips and what a screen
// reader hears behave as a list view's do.
class KeyListBox final : public QListView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KeyListBox)

public:
    KeyListBox(KeyList::Order order, QWidget* parent);

    qsizetype count() const { return m_model.rowCount(); }
    QByteArrayView item(qsizetype index) const
    {
        return index < count() ? m_model.keys().item(index) : QByteArrayView();
    }
    const KeyList& keys() const { return m_model.keys(); }
    void addItem(const QByteArray& key) { m_model.add(key); }
    void addItems(KeyList keys) { m_model.addAll(std::move(keys)); }
    void setItems(KeyList keys) { m_model.replaceAll(std::move(keys)); }
    void clear() { m_model.clear(); }
    // Shows a list kept elsewhere as it grows (see KeyListModel::follow).
    void follow(const KeyList& keys) { m_model.follow(&keys); }
    void followedGrew() { m_model.followedGrew(); }

    QRect visualRect(const QModelIndex& index) const override;
    QModelIndex indexAt(const QPoint& point) const override;
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
    void doItemsLayout() override;
    void reset() override;

protected:
    // Shows a row's tool tip as the plain text it is: a tool tip would take markup in it for
    // rich text, with pictures loaded from wherever it names.
    bool viewportEvent(QEvent* event) override;

    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags) override;
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    QSize viewportSizeHint() const override;

private:
    int rowCount() const;
    // The height of every row and the width of the widest, both from the first row, as a
    // list view with uniform rows takes them; 0 while there are no rows.
    QSize rowSize() const;
    int rowsWidth() const;
    // The rows that meet the viewport's lines from top to bottom, clipped to the list.
    std::pair<int, int> rowsBetween(int top, int bottom) const;

    KeyListModel m_model;
    mutable QSize m_rowSize;
};
