#pragma once

#include <QByteArray>
#include <QString>

// Appends whole records to the own cam list without ever changing what it already holds.
// The block goes to the end in one write and is flushed to disk before success is reported;
// when anything fails the file is cut back to its old length (or removed, if it was new).
class CamsFileAppender final
{
public:
    struct Outcome
    {
        bool ok = false;
        QString error; // why it failed, for the user
    };

    static Outcome append(const QString& path, const QByteArray& records);
};
