#include "camsearch.h"

namespace {
// How many keys go by between two looks at the clock.
constexpr qsizetype keysPerClockCheck = 256;
} // namespace

void CamSearch::start(const QByteArrayList& ownKeys, const QByteArrayList& serverKeys)
{
    m_own = ownKeys;
    m_server = serverKeys;
    m_ownIndex.clear();
    m_ownIndex.reserve(m_own.size());
    m_indexed = 0;
    m_settled = 0;
    m_newKeys.clear();
    m_started = true;
}

bool CamSearch::step(const OutOfTime& outOfTime)
{
    qsizetype sinceCheck = 0;
    const auto timeIsUp = [&] {
        if (++sinceCheck < keysPerClockCheck)
            return false;
        sinceCheck = 0;
        return outOfTime();
    };

    // The index of the own keys is built in steps too, so no tick waits on a big list.
    while (m_indexed < m_own.size()) {
        m_ownIndex.insert(m_own.at(m_indexed++));
        if (timeIsUp())
            return isFinished();
    }
    while (m_settled < m_server.size()) {
        const QByteArray& key = m_server.at(m_settled++);
        if (!m_ownIndex.contains(key))
            m_newKeys.append(key);
        if (timeIsUp())
            break;
    }
    return isFinished();
}

QByteArrayList CamSearch::takeNewKeys()
{
    return std::exchange(m_newKeys, {});
}
