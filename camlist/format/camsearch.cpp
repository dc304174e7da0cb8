#include "camlist/format/camsearch.h"

#include <algorithm>

namespace {
// How many keys go by between two looks at the clock (a multiple of the index's batch).
constexpr qsizetype keysPerClockCheck = 256;
static_assert(keysPerClockCheck % KeyIndex::batchSize == 0);
} // namespace

void CamSearch::start(const KeyList& ownKeys, const KeyList& serverKeys, KeyIndex ownIndex)
{
    m_own = ownKeys;
    m_server = serverKeys;
    m_serverCount = m_server.count();
    m_ownIndex = std::move(ownIndex);
    if (!m_ownIndex.indexes(m_own.views()))
        m_ownIndex.reset(m_own.views());
    m_settled = 0;
    m_newKeys.clear();
    m_started = true;
}

bool CamSearch::step(const OutOfTime& outOfTime)
{
    qsizetype sinceCheck = 0;
    const auto timeIsUp = [&](qsizetype keys) {
        sinceCheck += keys;
        if (sinceCheck < keysPerClockCheck)
            return false;
        sinceCheck = 0;
        return outOfTime();
    };

    // The index of the own keys is built in steps too, so no tick waits on a big list.
    while (!m_ownIndex.isComplete()) {
        if (timeIsUp(m_ownIndex.indexNext(KeyIndex::batchSize)))
            return isFinished();
    }
    const QList<QByteArrayView>& server = m_server.views();
    while (m_settled < server.size()) {
        const qsizetype count = std::min(KeyIndex::batchSize, server.size() - m_settled);
        // The next batch's keys are on their way while these are looked up.
        for (qsizetype ahead = m_settled + count;
             ahead < std::min(m_settled + count + KeyIndex::batchSize, server.size()); ++ahead)
            __builtin_prefetch(server.at(ahead).data());
        qsizetype positions[KeyIndex::batchSize];
        m_ownIndex.find(server.constData() + m_settled, count, positions);
        for (qsizetype i = 0; i < count; ++i) {
            if (positions[i] < 0)
                m_newKeys.append(server.at(m_settled + i));
        }
        m_settled += count;
        if (timeIsUp(count))
            break;
    }
    if (isFinished()) {
        // The index, the own list and the server list's keys are no longer needed; the server
        // list's bytes are, for the new keys.
        m_ownIndex.reset({});
        m_own = KeyList(KeyList::Order::AsAdded);
        m_server = m_server.withSameBytes(KeyList::Order::AsAdded, {});
    }
    return isFinished();
}

KeyList CamSearch::takeNewKeys()
{
    return m_server.withSameBytes(KeyList::Order::AsAdded, std::exchange(m_newKeys, {}));
}
