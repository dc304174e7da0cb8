#include "keylistbox.h"

#include "displaytext.h"

#include <QHelpEvent>
#include <QToolTip>

KeyListBox::KeyListBox(KeyList::Order order, QWidget* parent) : QListView(parent), m_model(order)
{
    // Uniform rows let the view lay out a million keys without measuring each one.
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
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
