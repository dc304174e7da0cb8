#pragma once

#include "keylist.h"

#include <QByteArray>

// Cam lists for the benchmarks: keys of 30 to 60 bytes, the same every run, picked from list
// files as the program picks them.
struct BenchLists
{
    KeyList own{KeyList::Order::Sorted};
    KeyList server{KeyList::Order::Sorted};
};

// serverCount server keys and ownCount own keys, about half of the server keys also own.
BenchLists makeBenchLists(qsizetype serverCount, qsizetype ownCount);

// The server copy for these keys: each key followed by its detail line, CR LF after each.
QByteArray makeServerCopy(const KeyList& serverKeys);

// A list file of count records in no particular order, as a server sends it.
QByteArray makeShuffledListFile(qsizetype count);
