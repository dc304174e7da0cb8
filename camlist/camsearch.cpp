#include "camsearch.h"

namespace {
// How many keys go by between two looks at the clock.
constexpr qsizetype keysPerClockCheck = 256;
} // namespace

void CamSearch::start(const KeyList& ownKeys, const KeyList& serverKeys)
{
    m_own = ownKeys;
    m_server = serverKeys;
    m_ownIndex.reset(m_own.views());
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
    while (!m_ownIndex.isComplete()) {
        m_ownIndex.indexNext();
        if (timeIsUp())
            return isFinished();
    }
    const QList<QByteArrayView>& server = m_server.views();
    while (m_settled < server.size()) {
        const QByteArrayView key = server.at(m_settled++);
        if (m_ownIndex.find(key) < 0)
            m_newKeys.append(key);
        if (timeIsUp())
            break;
    }
    if (isFinished()) {
        // The index and the own list are no longer needed; the server list's bytes are,
        // for the new keys.
        m_ownIndex.reset({});
        m_own = KeyList(KeyList::Order::AsAdded);
    }
    return isFinished();
}

KeyList CamSearch::takeNewKeys()
{
    return m_server.withSameBytes(KeyList::Order::AsAdded, std::exchange(m_newKeys, {}));
}
