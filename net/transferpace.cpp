#include "net/transferpace.h"

#include <algorithm>

TransferPace::TransferPace(const Limits& limits, Now now)
    : m_limits(limits), m_now(std::move(now)), m_start(m_now()), m_lastMoved(m_start)
{
    Q_ASSERT(m_limits.minBytesPerWindow > 0);
}

void TransferPace::moved(qint64 bytes)
{
    if (bytes <= 0)
        return;
    m_lastMoved = m_now();
    m_moved += bytes;
    m_recent.emplace_back(m_lastMoved, m_moved);
    // Arrivals that the window's minimum no longer needs are forgotten; the newest always
    // stays, so the deque is never empty once something moved.
    while (m_recent.front().second <= m_moved - m_limits.minBytesPerWindow)
        m_recent.pop_front();
}

// Deadlines only move later as bytes come, so the wait is for the earliest possible one and,
// when it is over, the transfer either fails or waits again.
TransferPace::Verdict TransferPace::check() const
{
    // The low-speed window fails once the bytes that moved since its start fall below the
    // minimum; that start is the earliest arrival still needed to make up the minimum.
    const Clock::time_point paceFrom =
        m_moved < m_limits.minBytesPerWindow ? m_start : m_recent.front().first;
    const Clock::time_point stallDue = m_lastMoved + m_limits.stall;
    const Clock::time_point due = std::min(stallDue, paceFrom + m_limits.lowSpeedWindow);
    const Clock::time_point now = m_now();
    if (now >= due)
        return {now >= stallDue ? FetchFailure::Stalled : FetchFailure::TooSlow, {}};
    return {std::nullopt, std::chrono::ceil<std::chrono::milliseconds>(due - now)};
}
