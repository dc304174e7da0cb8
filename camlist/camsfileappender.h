#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <chrono>

// Appends whole records to the own cam list without ever changing what it already holds.
// Only a regular file (or a link to one) is appended to, under an exclusive lock, so two runs
// never interleave. Under the lock the file is read as it is now: records whose key it already
// holds (added meanwhile by another run) are left out, and the record boundary is taken from
// its current end. The block goes to the end in one append and is flushed to disk before
// success is reported; when anything fails the file is cut back to its old length (or removed,
// if this call created it).
class CamsFileAppender final
{
public:
    static constexpr std::chrono::milliseconds defaultLockWait{2'000};

    struct Outcome
    {
        bool ok = false;
        // Another program held the lock for the whole wait; nothing was changed.
        bool busy = false;
        // The file holds exactly its old bytes (or still does not exist). False only when a
        // failed append could not be undone; the error then says what is left.
        bool leftAsItWas = true;
        QString error; // why it failed, for the user
        // The records really written, as indices into the records given, in file order.
        QList<qsizetype> written;
    };

    // The records are whole two-line records, each line ended by CR LF. readBefore is what the
    // file held when the records were chosen, none of whose keys they repeat: while the file
    // still begins with it, only the keys after it are looked at.
    static Outcome append(const QString& path, QByteArrayView records,
                          QByteArrayView readBefore = {},
                          std::chrono::milliseconds lockWait = defaultLockWait);
};
