#pragma once

#include "camlist/result.h"
#include "camlist/store/addsteps.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <chrono>

// The own list opened for an add and held under an exclusive lock for as long as the object
// lives, so two runs never interleave. Before the list is read, what an earlier, interrupted
// add left is settled, or nothing would be added after it; then the list is read as it is now.
class LockedList final
{
public:
    using Refusal = AddRefusal;

    explicit LockedList(const QString& path);
    ~LockedList();
    LockedList(const LockedList&) = delete;
    LockedList& operator=(const LockedList&) = delete;

    // Opens the list for appending, creating it only where no name stands (a dangling link is
    // not followed), takes the lock, settles an earlier add's journal and reads the list, unless
    // it holds exactly what was read before. A failure leaves the list as it was: a file this
    // call created is removed again, unless another program holds its lock and may be writing
    // it.
    Result<Done, Refusal> open(std::chrono::milliseconds lockWait, QByteArrayView readBefore = {});

    int fd() const { return m_fd; }
    const QString& path() const { return m_path; }
    // Whether this add created the file.
    bool created() const { return m_created; }
    // What an earlier, interrupted add had left and how it was settled; empty if nothing.
    const QString& settledBefore() const { return m_settledBefore; }
    // Whether the list holds exactly what was read before: it was then compared, not read.
    bool holdsWhatWasRead() const { return m_holdsWhatWasRead; }
    // Otherwise, the list's bytes as read under the lock, handed over so the caller can free
    // them.
    QByteArray takeContent() { return std::move(m_content); }

    // "<path> could not be updated: <reason>", the start of every failure's text.
    QString couldNotUpdate(const QString& reason) const;

    // Whether the name still stands for the file locked.
    bool stillNamed() const;
    // Removes the file this add created, and syncs its folder; false with errno set if it
    // could not be removed.
    bool removeCreated();

private:
    enum class Opened { Ok, Failed, Busy, Replaced };
    Opened openOnce(std::chrono::milliseconds lockWait, int& error);
    Opened lock(std::chrono::milliseconds lockWait, int& error);
    // The list left as it was, a file this add created removed.
    Failure<Refusal> refused(const QString& text);
    void close();

    QString m_path;
    QByteArray m_name; // the path as the system takes it
    int m_fd = -1;
    bool m_created = false;
    QString m_settledBefore;
    QByteArray m_content;
    bool m_holdsWhatWasRead = false;
};
