#pragma once

#include "camlist/format/keylist.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

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

    static RecordMerge build(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys);
};
