#pragma once

#include "windows/dialogs.h"

// The real message boxes.
class MessageBoxDialogs final : public Dialogs
{
public:
    void tell(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
    bool askYesNo(QWidget* parent, const QString& title, const QString& text) override;
};
