#pragma once

#include "camlist/result.h"
#include "camlist/store/addjournal.h"

#include <QString>
#include <optional>

// Settles what an interrupted add left: it reads the add's journal, compares the list's end
// with what the journal says was being appended, cuts off only a block it can prove torn, and
// removes the journal once the list needs nothing more. Whatever it cannot prove is left alone,
// with the journal, for the user to look at.
class JournalRecovery final
{
public:
    // What settling a journal left behind found.
    enum class Found {
        NoJournal,      // no journal
        InUse,          // another run holds the list's lock: the journal may be its own
        TornJournal,    // the journal is not whole, so nothing had been appended
        ListGone,       // the list is not there any more
        NothingWritten, // the list holds its old bytes
        TornBlock,      // the list holds its old bytes and whole chunks of the block
        // The list holds its old bytes, then, chunk by chunk, the block's bytes or zeros where
        // they never reached the disk (a power cut): the block's length at most.
        LostPages,
        WholeBlock, // the list holds its old bytes and the whole block
        OtherBytes, // what the list holds is not that: a power cut or another program left it
        Unusable,   // the journal or the list could not be read, or is not ours to read
    };
    // What settling it did.
    enum class Action {
        Nothing,
        JournalRemoved, // the list needed no repair
        BlockCut,       // the torn block was cut off and the journal removed
        JournalKept,    // nothing was changed, and the journal stays for the user to look at
    };
    struct Recovery
    {
        Found found = Found::NoJournal;
        Action done = Action::Nothing;
        QString text; // what was found and done, for the user; empty when there is no news
    };

    // Settles a journal left by an interrupted add, if the list is not locked by another run.
    static Recovery recover(const QString& listPath);
    // The same, for a caller that holds the lock on the list's open descriptor.
    static Recovery recoverLocked(const QString& listPath, int listFd);

private:
    // Where the list's end stands against what the journal says was being appended.
    struct Comparison
    {
        qint64 written = 0; // bytes after the old length
        // Of them, the length of the leading chunks that are the block's bytes or zeros (where
        // a page of it never reached the disk), and how many of those are zeros.
        qint64 asJournaled = 0;
        qint64 zeros = 0;
        bool wholeBlock = false;
        bool tornBlock = false; // all of them are those chunks: the add's own, unfinished write
        Result<> read = Done{};
    };

    JournalRecovery(const QString& listPath, int listFd);

    // The steps, in order: each gives a recovery where it ends one.
    std::optional<Recovery> readJournal();
    std::optional<Recovery> checkOldBytes();
    Comparison compare() const;
    Recovery keepWholeBlock(const Comparison& found) const;
    Recovery keepOtherBytes(const Comparison& found) const;
    Recovery cutTornBlock(const Comparison& found) const;

    // The list needs nothing more: the journal goes.
    Recovery settled(Found found, QString text) const;

    // The texts for the user.
    QString interrupted(const QString& what) const;
    QString keptWhile(const QString& what) const;
    QString notOurs(const QString& why) const;
    QString unreadable(const QString& reason) const;
    static QString powerCutOrOthers();
    QString before() const;

    QString m_list;
    QString m_journal;
    int m_listFd;
    qint64 m_size = 0; // the list's length, once the old bytes are checked
    AddJournal::Entry m_entry;
};
