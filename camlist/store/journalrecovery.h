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
    using Recovery = AddJournal::Recovery;

    // Settles a journal left by an interrupted add, if the list is not locked by another run.
    static Recovery recover(const QString& listPath);
    // The same, for a caller that holds the lock on the list's open descriptor.
    static Recovery recoverLocked(const QString& listPath, int listFd);

private:
    using Found = AddJournal::Found;
    using Done = AddJournal::Done;

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
        Result<> read = ::Done{};
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
