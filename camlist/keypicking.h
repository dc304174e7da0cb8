#pragma once

#include <QByteArrayList>
#include <QByteArrayView>

// The key lines of a list file, in file order, duplicates kept. A non-empty line is a key and
// the line after it is its detail line, skipped unread; an empty line is skipped by itself.
QByteArrayList pickKeys(QByteArrayView fileContent);

// What must go in front of the records that follow the old content so that key picking reads
// the old content's keys unchanged and the new records as whole records: a line end if the
// last line has none, and an empty detail line if the last line is a key that lacks one.
QByteArray recordBoundaryAfter(QByteArrayView fileContent, QByteArrayView following);
