#include "windows/keylistbox.h"

#include "windows/displaytext.h"

#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>
#include <algorithm>
#include <limits>

KeyListBox::KeyListBox(KeyList::Order order, QWidget* parent) : QListView(parent), m_model(order)
{
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The scroll bars count pixels: a row is a fixed number of them.
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setModel(&m_model);
}

bool KeyListBox::viewportEvent(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QListView::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString tip = index.data(Qt::ToolTipRole).toString();
    if (tip.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    QToolTip::showText(help->globalPos(), DisplayText::literal(tip), viewport(), visualRect(index));
    return true;
}

int KeyListBox::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

QSize KeyListBox::rowSize() const
{
    if (m_rowSize.isValid())
        return m_rowSize;
    if (rowCount() == 0)
        return {0, 0};
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QModelIndex first = model()->index(0, 0, rootIndex());
    m_rowSize = itemDelegateForIndex(first)->sizeHint(option, first);
    m_rowSize.setHeight(std::max(m_rowSize.height(), 1));
    return m_rowSize;
}

int KeyListBox::rowsWidth() const
{
    return std::max(rowSize().width(), viewport()->width());
}

std::pair<int, int> KeyListBox::rowsBetween(int top, int bottom) const
{
    const int rows = rowCount();
    const int height = rowSize().height();
    if (rows == 0 || height == 0)
        return {0, -1};
    const qint64 offset = verticalOffset();
    const auto clamp = [rows](qint64 row) {
        return static_cast<int>(std::clamp<qint64>(row, 0, rows - 1));
    };
    return {clamp((top + offset) / height), clamp((bottom + offset) / height)};
}

QRect KeyListBox::visualRect(const QModelIndex& index) const
{
    if (!index.isValid() || index.parent() != rootIndex() || index.column() != 0)
        return {};
    const QSize size = rowSize();
    const qint64 top = qint64{index.row()} * size.height() - verticalOffset();
    // Far off screen a row's place would not fit the coordinates; it is not shown anyway.
    if (top < std::numeric_limits<int>::min() / 2 || top > std::numeric_limits<int>::max() / 2)
        return {};
    return {-horizontalOffset(), static_cast<int>(top), rowsWidth(), size.height()};
}

QModelIndex KeyListBox::indexAt(const QPoint& point) const
{
    const int height = rowSize().height();
    if (height == 0 || point.y() < 0 || point.x() + horizontalOffset() < 0 ||
        point.x() + horizontalOffset() >= rowsWidth())
        return {};
    const qint64 row = (qint64{point.y()} + verticalOffset()) / height;
    if (row >= rowCount())
        return {};
    return model()->index(static_cast<int>(row), 0, rootIndex());
}

void KeyListBox::scrollTo(const QModelIndex& index, ScrollHint hint)
{
    const QRect rect = visualRect(index);
    if (!rect.isValid())
        return;
    const int height = viewport()->height();
    QScrollBar* bar = verticalScrollBar();
    const int value = bar->value();
    switch (hint) {
    case EnsureVisible:
        if (rect.top() < 0)
            bar->setValue(value + rect.top());
        else if (rect.bottom() >= height)
            bar->setValue(value + std::min(rect.top(), rect.bottom() + 1 - height));
        break;
    case PositionAtTop:
        bar->setValue(value + rect.top());
        break;
    case PositionAtBottom:
        bar->setValue(value + rect.bottom() + 1 - height);
        break;
    case PositionAtCenter:
        bar->setValue(value + rect.center().y() - height / 2);
        break;
    }
}

// A list view lays out every row here; these rows need only the scroll bars set.
void KeyListBox::doItemsLayout()
{
    QAbstractItemView::doItemsLayout();
}

void KeyListBox::reset()
{
    m_rowSize = QSize();
    QAbstractItemView::reset();
}

void KeyListBox::rowsInserted(const QModelIndex& parent, int start, int end)
{
    // The first row sets the size of all.
    if (start == 0)
        m_rowSize = QSize();
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    viewport()->update();
}

void KeyListBox::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end)
{
    if (start == 0)
        m_rowSize = QSize();
    QAbstractItemView::rowsAboutToBeRemoved(parent, start, end);
    viewport()->update();
}

void KeyListBox::updateGeometries()
{
    const QSize row = rowSize();
    const qint64 rowsHeight = qint64{rowCount()} * row.height();
    const int pageHeight = viewport()->height();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(std::max(row.height(), 1));
    vertical->setPageStep(pageHeight);
    vertical->setRange(0, static_cast<int>(std::clamp<qint64>(rowsHeight - pageHeight, 0,
                                                              std::numeric_limits<int>::max())));
    QScrollBar* horizontal = horizontalScrollBar();
    horizontal->setSingleStep(std::max(fontMetrics().averageCharWidth(), 1));
    horizontal->setPageStep(viewport()->width());
    horizontal->setRange(0, std::max(row.width() - viewport()->width(), 0));
    QAbstractItemView::updateGeometries();
}

// These two, and viewportSizeHint, pass over the list view's own versions, which lay out every
// row again or take a size from every row's place; the item view's do neither.
void KeyListBox::resizeEvent(QResizeEvent* event)
{
    QAbstractItemView::resizeEvent(event);
}

void KeyListBox::scrollContentsBy(int dx, int dy)
{
    QAbstractItemView::scrollContentsBy(dx, dy);
}

void KeyListBox::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QStyle::State state = option.state;
    const bool enabled = state.testFlag(QStyle::State_Enabled);
    const QModelIndex current = currentIndex();
    const bool focus = (hasFocus() || viewport()->hasFocus()) && current.isValid();
    const QPoint mouse = viewport()->mapFromGlobal(QCursor::pos());
    const QModelIndex hover = viewport()->underMouse() ? indexAt(mouse) : QModelIndex();
    const QItemSelectionModel* selections = selectionModel();
    const QRect area = event->rect();
    const auto [first, last] = rowsBetween(area.top(), area.bottom());
    for (int row = first; row <= last; ++row) {
        const QModelIndex index = model()->index(row, 0, rootIndex());
        option.rect = visualRect(index);
        option.state = state;
        if (selections && selections->isSelected(index))
            option.state |= QStyle::State_Selected;
        if (enabled) {
            const bool itemEnabled = model()->flags(index).testFlag(Qt::ItemIsEnabled);
            option.state.setFlag(QStyle::State_Enabled, itemEnabled);
            option.palette.setCurrentColorGroup(itemEnabled ? QPalette::Normal
                                                            : QPalette::Disabled);
        }
        if (focus && index == current)
            option.state |= QStyle::State_HasFocus;
        option.state.setFlag(QStyle::State_MouseOver, index == hover);
        itemDelegateForIndex(index)->paint(&painter, option, index);
    }
}

QModelIndex KeyListBox::moveCursor(CursorAction action, Qt::KeyboardModifiers)
{
    const int rows = rowCount();
    if (rows == 0)
        return {};
    const QModelIndex current = currentIndex();
    if (!current.isValid())
        return model()->index(0, 0, rootIndex());
    const int height = std::max(rowSize().height(), 1);
    const int page = std::max(viewport()->height() / height - 1, 1);
    int row = current.row();
    switch (action) {
    case MoveUp:
    case MovePrevious:
        --row;
        break;
    case MoveDown:
    case MoveNext:
        ++row;
        break;
    case MovePageUp:
        row -= page;
        break;
    case MovePageDown:
        row += page;
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = rows - 1;
        break;
    case MoveLeft:
    case MoveRight:
        break;
    }
    return model()->index(std::clamp(row, 0, rows - 1), 0, rootIndex());
}

int KeyListBox::horizontalOffset() const
{
    return horizontalScrollBar()->value();
}

int KeyListBox::verticalOffset() const
{
    return verticalScrollBar()->value();
}

void KeyListBox::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags flags)
{
    if (!selectionModel())
        return;
    const QRect area = rect.normalized();
    const qint64 rowsBottom = qint64{rowCount()} * rowSize().height() - verticalOffset();
    QItemSelection selection;
    if (area.bottom() >= 0 && area.top() < rowsBottom) {
        const auto [first, last] = rowsBetween(area.top(), area.bottom());
        if (first <= last)
            selection.select(model()->index(first, 0, rootIndex()),
                             model()->index(last, 0, rootIndex()));
    }
    selectionModel()->select(selection, flags);
}

QRegion KeyListBox::visualRegionForSelection(const QItemSelection& selection) const
{
    // Only what lies on screen needs painting again.
    const QRect screen = viewport()->rect();
    QRegion region;
    for (const QItemSelectionRange& range : selection) {
        if (!range.isValid() || range.parent() != rootIndex() || range.left() > 0)
            continue;
        const QRect top = visualRect(model()->index(range.top(), 0, rootIndex()));
        const QRect bottom = visualRect(model()->index(range.bottom(), 0, rootIndex()));
        if (top.isValid() && bottom.isValid())
            region += top.united(bottom).intersected(screen);
        else
            region += screen;
    }
    return region;
}

QSize KeyListBox::viewportSizeHint() const
{
    return QAbstractItemView::viewportSizeHint();
}
