#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

// Turns the signals that ask a program to end (SIGTERM at a logout or shutdown, SIGHUP when
// its terminal goes, SIGINT from Ctrl+C) into a signal on the event loop, so the program ends
// the way its own buttons end it instead of dying wherever it stood. The handler only writes
// the signal's number into a pipe that the event loop watches.
//
// A display that goes away (the X server gone, an ssh -X dropped, the Wayland compositor gone)
// asks for the end as well. Qt's platform plugin says so in a warning and then exits the process
// at once, so there is no event loop left to wait for: displayLost is emitted on the main thread
// while that warning is held up, and whoever hears it must end the program before returning.
class EndSignals final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EndSignals)

public:
    explicit EndSignals(QObject* parent = nullptr);
    ~EndSignals() override;

    bool isWatching() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void endRequested(int signalNumber);
    // Emitted once; the process ends as soon as the slots return.
    void displayLost();

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
