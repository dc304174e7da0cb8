#pragma once

#include "camlist/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <functional>
#include <vector>

// The journal of an add to a list file: a small file beside the list, named after it, that
// says what the add is about to append before the first byte goes in, so that whatever a kill
// or a power cut leaves can be told apart and settled at the next start. The add writes it as
// a new file and flushes it and its folder, appends and flushes, then removes it and flushes
// the folder: a journal that is not whole was torn before anything was appended.
// What the next start makes of one left behind is JournalRecovery's.
//
// Format, version 1, numbers little-endian:
//   0  8  "CAMSJRNL"
//   8  4  version (1)
//  12  4  chunk size: 512 (4096 in the journals of earlier releases, which are read as well)
//  16  4  chunk count c
//  20  8  the list's length before the add
//  28  8  the length of the bytes appended (the block)
//  36  4  CRC-32C of the last up to 4096 bytes before the block
//  40  4  CRC-32C of the whole block
//  44 4c  CRC-32C of each chunk of the block (see BlockChecksums)
//  44+4c 4  CRC-32C of everything before it
class AddJournal final
{
public:
    static constexpr qsizetype headerSize = 44;
    // The chunk size of the journals that earlier releases wrote: a page.
    static constexpr qint64 pageChunkSize = 4096;

    struct Entry
    {
        qint64 oldLength = 0;
        quint32 oldTailCrc = 0;
        qint64 blockLength = 0;
        quint32 blockCrc = 0;
        qint64 chunkSize = 0;
        std::vector<quint32> chunkCrcs;
    };

    // How many of the list's last old bytes the journal keeps a checksum of.
    static qint64 oldTailLength(qint64 oldLength);

    // The journal's name: the list's name followed by "-journal", in the list's folder.
    static QString nameFor(const QString& listPath);

    // The entry for appending the pieces, one after the other, to a list holding oldContent:
    // one pass over the bytes.
    static Entry describe(QByteArrayView oldContent, const QList<QByteArrayView>& pieces);
    static QByteArray encode(const Entry& entry);
    enum class Decoded { Whole, Torn, Unknown };
    static Decoded decode(QByteArrayView bytes, Entry& entry);

    // Writes the encoded entry as a new file under the journal's name (never through what
    // stands there), flushed, and syncs the folder. A failure gives the system's error number
    // and its reason, and leaves no journal. stopAfterHeader, when it returns true, leaves the
    // journal there with its header only, as a crash would, and sets stopped.
    static Result<> write(const QString& listPath, const QByteArray& encoded,
                          const std::function<bool()>& stopAfterHeader, bool& stopped);
    // Removes the journal's name and syncs the folder. A failure gives the system's error
    // number and its reason.
    static Result<> remove(const QString& listPath);
};
