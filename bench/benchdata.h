#pragma once

#include "camlist/format/keylist.h"
#include "camlist/run/updaterun.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>

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

// A list file of these keys, each followed by its detail line, CR LF after each line.
QByteArray makeListFile(const QByteArrayList& keys);

// A scratch working folder for a whole run, made the current folder, holding this own list.
class RunFolder final
{
public:
    explicit RunFolder(const QByteArray& ownList);
    ~RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Puts the own list back as it was, for the next run.
    void reset() const;

private:
    QByteArray m_ownList;
    QString m_folder;
    QString m_previous;
};

// A list file of count records in no particular order, as a server sends it.
QByteArray makeShuffledListFile(qsizetype count);

// Turns the event loop until the run has left the state: its worker comes back as an event.
inline void waitWhileIn(const UpdateRun& run, UpdateRun::State state)
{
    while (run.state() == state)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}
