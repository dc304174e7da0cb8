#pragma once

#include "camlist/format/keyindex.h"
#include "camlist/format/keylist.h"

#include <QByteArrayView>
#include <QList>
#include <functional>

// Finds the server keys that no own key equals (exact bytes), in server-list order, each
// duplicate judged on its own. The work is done in steps so that a timer can drive it and the
// windows repaint in between; a step goes on until the caller's time is up.
class CamSearch final
{
public:
    using OutOfTime = std::function<bool()>;

    // Shares both lists' keys and bytes; the lists themselves may change afterwards. The own
    // keys' index may come built, in part or whole, from where the list was read; otherwise
    // the search builds it in its first steps.
    void start(const KeyList& ownKeys, const KeyList& serverKeys, KeyIndex ownIndex = {});

    // Works until done or until outOfTime() says stop (asked every few keys, and never before
    // at least one key has been dealt with). Returns true once the search has ended.
    bool step(const OutOfTime& outOfTime);

    bool isFinished() const { return m_started && m_settled == m_serverCount; }
    // Server keys settled so far.
    qsizetype settled() const { return m_settled; }
    // Where a progress bar stands: the index of the last key settled.
    qsizetype progressValue() const { return m_settled > 0 ? m_settled - 1 : 0; }

    // The new keys found since the last call, in server-list order: views into the server
    // list's bytes, which the returned list holds.
    KeyList takeNewKeys();

private:
    KeyList m_own{KeyList::Order::AsAdded};
    KeyList m_server{KeyList::Order::AsAdded};
    KeyIndex m_ownIndex;
    qsizetype m_serverCount = 0;
    qsizetype m_settled = 0;
    QList<QByteArrayView> m_newKeys;
    bool m_started = false;
};
