#pragma once

#include "net/fetchfailure.h"

#include <QtGlobal>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

// The pace a transfer must keep: something must come within the stall time-out, and at least
// a minimum of bytes within every low-speed window. It only counts and judges; whoever drives
// the transfer asks it when it is due, and ends the transfer on its word.
class TransferPace final
{
public:
    using Clock = std::chrono::steady_clock;
    // Where the time comes from: the program's steady clock, or a test's own.
    using Now = std::function<Clock::time_point()>;

    struct Limits
    {
        std::chrono::milliseconds stall;
        std::chrono::milliseconds lowSpeedWindow;
        qint64 minBytesPerWindow; // more than 0
    };

    // What the pace says when asked: the transfer has failed it, or may go on this long
    // before it must be asked again.
    struct Verdict
    {
        std::optional<FetchFailure> failure; // Stalled or TooSlow
        std::chrono::milliseconds askAgainIn{0};
    };

    // The transfer begins now.
    explicit TransferPace(const Limits& limits, Now now = &Clock::now);

    // Bytes arrived now; nothing (0 or less) is no progress.
    void moved(qint64 bytes);
    Verdict check() const;

private:
    Limits m_limits;
    Now m_now;
    Clock::time_point m_start;
    Clock::time_point m_lastMoved;
    qint64 m_moved = 0;
    // The recent arrivals (when, and the running total then) that still count towards the
    // minimum of the low-speed window.
    std::deque<std::pair<Clock::time_point, qint64>> m_recent;
};
