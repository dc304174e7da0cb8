#pragma once

#include "camlist/format/keylist.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <vector>

// The records to append for the new keys, found in the server copy in one pass. For each key,
// in order, the first line equal to it (at any position) and the line after it are taken;
// a key found on the last line gets an empty detail line, so the records stay whole; a key
// that is not there adds nothing.
struct RecordMerge
{
    QByteArray block; // the records, each line ended by CR LF
    // The keys that were found, in the order of the block: views into the block, so each
    // key's detail line is the one written with it.
    KeyList addedKeys{KeyList::Order::AsAdded};

    // Where each key's record stands in the server copy, found in one pass over it: the work
    // of a merge but for putting the records together. Views into the copy.
    struct Found
    {
        std::vector<quint32> slotOf;         // for each key, where its record is told below
        std::vector<QByteArrayView> details; // the line after the key's first line
        std::vector<bool> found;             // whether the key is in the copy at all
    };
    static Found find(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys);
    // The records, of the keys as found; what was found goes before the keys' views are made.
    static RecordMerge assemble(const QList<QByteArrayView>& newKeys, Found found);
    static RecordMerge build(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys);
};
