#pragma once

#include "windows/dialogs.h"

#include <QList>
#include <QString>
#include <functional>

// Answers the program's message boxes without a person and keeps what was asked.
class RecordingDialogs final : public Dialogs
{
public:
    struct Message
    {
        QString title;
        QString text;
        Icon icon;
        QWidget* parent = nullptr; // the window the box stands over
    };

    void tell(QWidget* parent, const QString& title, const QString& text, Icon icon) override
    {
        told.append({title, text, icon, parent});
        if (whileOpen)
            whileOpen();
    }

    bool askYesNo(QWidget*, const QString& title, const QString& text) override
    {
        asked.append({title, text, Icon::Question});
        if (whileOpen)
            whileOpen();
        return answers.isEmpty() ? false : answers.takeFirst();
    }

    QStringList toldTitles() const
    {
        QStringList titles;
        for (const Message& message : told)
            titles.append(message.title);
        return titles;
    }

    QList<Message> told;
    QList<Message> asked;
    QList<bool> answers; // the next Yes/No answers; No once they run out
    // Runs while a box is "open", as the event loop of a real modal box would.
    std::function<void()> whileOpen;
};
