#pragma once

#include <functional>

// What the steps of an add (LockedList, JournaledBlock) share with CamsFileAppender, which runs
// them: why an add failed, and the moments at which it can be stopped.

// Why an add failed, and what state it left the file in; the failure's text says the same for
// the user.
enum class AddRefusal {
    Busy,        // another program held the lock for the whole wait; nothing was changed
    LeftAsItWas, // the file holds exactly its old bytes (or still does not exist)
    NotUndone,   // the failed add could not be undone; the text says what is left
    // The name came to mean another file while the records were written: they went into
    // the file that was replaced, not into the one there now.
    Replaced,
    Stopped, // stopped by AddStopAt, as a kill would stop it; no text
};

// The moments of an add at which a crash leaves a state of its own.
enum class AddStep {
    JournalHeaderWritten, // the journal is there, not whole
    JournalWritten,       // the journal is on disk, nothing appended
    PartOfBlockWritten,   // some of the records are appended, ending on a page boundary
    BlockWritten,         // all of them are appended and on disk
    JournalRemoved,       // the add is complete
};
// Asked at each step; true stops the add there as a kill would: nothing more is written and
// nothing undone, and the add gives AddRefusal::Stopped. For tests.
using AddStopAt = std::function<bool(AddStep)>;
