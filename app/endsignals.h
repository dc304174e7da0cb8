#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

// Turns the signals that ask a program to end (SIGTERM at a logout or shutdown, SIGHUP when
// its terminal goes, SIGINT from Ctrl+C) into a signal on the event loop, so the program ends
// the way its own buttons end it instead of dying wherever it stood. The handler only writes
// the signal's number into a pipe that the event loop watches.
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

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
