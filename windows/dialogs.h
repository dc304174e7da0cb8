#pragma once

#include <QString>

class QWidget;

// The program's message boxes, behind a seam so tests can answer them and see what was asked.
class Dialogs
{
public:
    enum class Icon { Information, Question, Warning };

    virtual ~Dialogs() = default;

    // A modal message with an OK button.
    virtual void tell(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;
    // A modal Yes/No question; Yes is the default button and Escape answers No.
    virtual bool askYesNo(QWidget* parent, const QString& title, const QString& text) = 0;
};
