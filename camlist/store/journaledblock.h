#pragma once

#include "camlist/store/addjournal.h"
#include "camlist/store/addsteps.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

// The block of an add, written to the end of the locked list under its journal: the journal
// first, as a new file flushed with its folder, then the block in stretches that end where
// pages meet, then a flush of the list. A kill or a power cut at any moment leaves a state the
// journal tells apart. The journal stays: whoever wrote the block removes it once it has
// checked the name.
class JournaledBlock final
{
public:
    using Step = AddStep;
    using StopAt = AddStopAt;

    // The block is the pieces, one after the other, appended to a list that holds oldContent
    // (one pass over the pieces). The pieces must live as long as this object.
    JournaledBlock(const QString& path, int fd, QByteArrayView oldContent,
                   const QList<QByteArrayView>& pieces);

    enum class Ended {
        Written,           // the whole block is in the list and on disk
        Stopped,           // stopAt stopped it, as a kill would: nothing more was done
        JournalNotWritten, // nothing was appended, and no journal is left
        BlockNotWritten,   // part of the block may be in the list: see written()
    };
    Ended write(const StopAt& stopAt);

    qint64 oldSize() const { return m_entry.oldLength; }
    // How much of the block went in, also when writing it failed.
    qint64 written() const { return m_written; }
    // Why it was not written: the system's reason.
    const QString& reason() const { return m_reason; }

private:
    bool writeJournal(const StopAt& stopAt, bool& stopped);
    bool writeBlock(const StopAt& stopAt, bool& stopped);

    QString m_path;
    int m_fd;
    const QList<QByteArrayView>& m_pieces;
    AddJournal::Entry m_entry;
    qint64 m_written = 0;
    QString m_reason;
};
