#pragma once

#include <QByteArrayList>

// Cam lists for the benchmarks: keys of 30 to 60 bytes, the same every run.
struct BenchLists
{
    QByteArrayList own;
    QByteArrayList server;
};

// serverCount server keys and ownCount own keys, about half of the server keys also own.
BenchLists makeBenchLists(qsizetype serverCount, qsizetype ownCount);

// The server copy for these keys: each key followed by its detail line, CR LF after each.
QByteArray makeServerCopy(const QByteArrayList& serverKeys);
