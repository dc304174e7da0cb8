#pragma once

#include <QString>

class QWidget;

// The program's message boxes, behind a seam so tests can answer them and see what was asked.
class Dialogs
{
public:
    enum class Icon { Information, Question, Warning };

    virtual ~Dialogs() = default;

    // The icon of a box that tells news: a warning, or just information.
    static Icon iconFor(bool warning) { return warning ? Icon::Warning : Icon::Information; }

    // A modal message with an OK button.
    virtual void tell(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;
    // A modal Yes/No question; Yes is the default button and Escape answers No.
    virtual bool askYesNo(QWidget* parent, const QString& title, const QString& text) = 0;
};
