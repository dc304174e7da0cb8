#pragma once

#include "camlist/format/keylist.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// The key lines of a list file, in file order, duplicates kept, as views into the file's
// bytes. A non-empty line is a key and the line after it is its detail line, skipped unread;
// an empty line is skipped by itself.
QList<QByteArrayView> pickKeys(QByteArrayView fileContent);

// The same keys as a list in file order that holds the bytes.
KeyList keysOfListFile(const QByteArray& fileContent);

// What must go in front of the records that follow the old content so that key picking reads
// the old content's keys unchanged and the new records as whole records: a line end if the
// last line has none, and an empty detail line if the last line is a key that lacks one.
QByteArray recordBoundaryAfter(QByteArrayView fileContent, QByteArrayView following);

// Whether the bytes end with a whole record: a line end closes them, and the last key is
// followed by its detail line. A list whose end nobody announced is only taken when they do,
// so a transfer cut inside a record never adds half of it.
bool endsWithWholeRecord(QByteArrayView fileContent);
