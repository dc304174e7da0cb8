#include "windows/textbox.h"

TextBox::TextBox(QWidget* parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}
