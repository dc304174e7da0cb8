#pragma once

#include "camlist/result.h"
#include "camlist/store/addsteps.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <chrono>

// Appends whole records to the own cam list without ever changing what it already holds.
// Only a regular file (or a link to one) is appended to, under an exclusive lock, so two runs
// never interleave. Under the lock the file is read as it is now: records whose key it already
// holds (added meanwhile by another run) are left out, and the record boundary is taken from
// its current end. The block goes to the end in one append and is flushed to disk before
// success is reported, and the name is checked to still be that file. A journal beside the file
// (AddJournal) says what is being appended until it is on disk, so that a kill or a power cut at
// any moment can be settled at the next start; one left by an earlier run is settled first.
// When anything fails the file is cut back to its old length (or removed, if this call created
// it), but only while it is the length this add left it: another program's bytes stay.
// The steps are LockedList (open, lock, settle, read) and JournaledBlock (journal, block, flush).
class CamsFileAppender final
{
public:
    static constexpr std::chrono::milliseconds defaultLockWait{2'000};

    // What a successful add carries.
    struct Appended
    {
        // How many of the records given were really written.
        qsizetype count = 0;
        // Which ones, as indices into the records given, in file order, when some were left
        // out; empty when all of them went in, so a million records need no list of indices.
        QList<qsizetype> someWritten;
        // The indices of the records written, listed whether or not all of them went in.
        QList<qsizetype> written() const;
        // What an earlier, interrupted add had left and how it was settled first; empty if
        // there was none.
        QString settledBefore;
        // This add's own journal could not be removed: adds wait until the user sees to it.
        bool journalKept = false;
    };
    // Why an add failed; a successful add has none: ask ok() first.
    using Refusal = AddRefusal;
    // Whether a failed add left the file exactly as it was (or still not there).
    static constexpr bool leftAsItWas(Refusal code)
    {
        return code == Refusal::Busy || code == Refusal::LeftAsItWas;
    }

    // The moments at which an add can be stopped, as a kill would stop it.
    using Step = AddStep;
    using StopAt = AddStopAt;

    // The records are whole two-line records, each line ended by CR LF. readBefore is what the
    // file held when the records were chosen, none of whose keys they repeat: while the file
    // still begins with it, only the keys after it are looked at.
    static Result<Appended, Refusal> append(const QString& path, QByteArrayView records,
                                            QByteArrayView readBefore = {},
                                            std::chrono::milliseconds lockWait = defaultLockWait,
                                            const StopAt& stopAt = {});
};
