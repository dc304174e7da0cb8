#include "keylistbox.h"

KeyListBox::KeyListBox(KeyList::Order order, QWidget* parent) : QListView(parent), m_model(order)
{
    // Uniform rows let the view lay out a million keys without measuring each one.
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setModel(&m_model);
}
