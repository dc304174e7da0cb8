#include "updaterun.h"

#include "camsfileappender.h"
#include "keypicking.h"
#include "listfiles.h"
#include "recordmerge.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <thread>

// Off unless asked for (QT_LOGGING_RULES="camupdate.run.info=true"): the moments a run reaches
// each state, for timing the whole program from outside.
Q_LOGGING_CATEGORY(runLog, "camupdate.run", QtWarningMsg)

UpdateRun::UpdateRun(QObject* parent) : QObject(parent) {}

UpdateRun::~UpdateRun() = default;

void UpdateRun::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    qCInfo(runLog, "%s at %lld", QMetaEnum::fromType<State>().valueToKey(static_cast<int>(state)),
           static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
    Q_EMIT stateChanged(state);
}

namespace {

struct LoadedLists
{
    FileReplacer::Outcome copy;
    QByteArray ownText;
    KeyList server{KeyList::Order::Sorted};
    KeyList own{KeyList::Order::Sorted};
};

LoadedLists load(const QByteArray& serverText)
{
    LoadedLists loaded;
    loaded.copy = ListFiles::writeServerCopy(ListFiles::tempFile(), serverText);
    if (!loaded.copy.ok)
        return loaded;
    // The copy holds the text and one more line end, which can only end or follow the last
    // line: it gives the same keys as the text in hand, so the file need not be read back and
    // the keys point into the one copy of the bytes the run keeps.
    loaded.server.addAll(serverText, pickKeys(serverText));
    loaded.ownText = ListFiles::readAll(ListFiles::ownFile()).value_or(QByteArray());
    loaded.own.addAll(loaded.ownText, pickKeys(loaded.ownText));
    return loaded;
}

} // namespace

void UpdateRun::loadLists(QByteArray serverText)
{
    setState(State::Loading);
    LoadedLists loaded;
    QEventLoop wait;
    std::thread worker([&] {
        loaded = load(serverText);
        QMetaObject::invokeMethod(&wait, &QEventLoop::quit, Qt::QueuedConnection);
    });
    // Also ends early when the whole program ends; the work is then waited for all the same.
    wait.exec();
    worker.join();

    if (!loaded.copy.ok) {
        m_copyError = loaded.copy.error;
        setState(State::CopyNotSaved);
        return;
    }
    m_serverText = std::move(serverText);
    m_ownText = std::move(loaded.ownText);
    m_server = std::move(loaded.server);
    m_own = std::move(loaded.own);
    setState(m_server.count() == 0 ? State::NoListReceived : State::ListsLoaded);
}

void UpdateRun::startSearch()
{
    if (m_state != State::ListsLoaded)
        return;
    m_search.start(m_own, m_server);
    setState(State::Searching);
}

bool UpdateRun::searchStep()
{
    if (m_state != State::Searching)
        return m_state == State::Reviewing;
    QElapsedTimer clock;
    clock.start();
    const bool ended = m_search.step([&] { return clock.elapsed() >= m_searchSlice.count(); });
    const KeyList found = m_search.takeNewKeys();
    if (found.count() > 0) {
        m_new.addAll(found);
        Q_EMIT newCamsFound(found);
    }
    if (ended)
        setState(State::Reviewing);
    return ended;
}

UpdateRun::AddOutcome UpdateRun::addNewCams()
{
    AddOutcome outcome;
    if (m_state != State::Reviewing)
        return outcome;
    QElapsedTimer clock;
    clock.start();
    // The records come from the text this run received and saved. The saved copy is not read
    // back: another run in the same folder may have replaced or removed it meanwhile.
    const RecordMerge merge = RecordMerge::build(m_serverText, m_new.views());
    const CamsFileAppender::Outcome appended =
        CamsFileAppender::append(ListFiles::ownFile(), merge.block, m_ownText);
    if (!appended.ok) {
        outcome.error = appended.error;
        outcome.listLeftAsItWas = appended.leftAsItWas;
        return outcome;
    }
    outcome.ok = true;
    QList<QByteArrayView> written;
    written.reserve(appended.written.size());
    for (const qsizetype index : appended.written)
        written.append(merge.addedKeys.item(index));
    outcome.addedKeys = merge.addedKeys.withSameBytes(KeyList::Order::AsAdded, written);
    m_own.addAll(outcome.addedKeys);
    m_new.clear();
    qCInfo(runLog, "appended %lld records in %lld ms",
           static_cast<long long>(outcome.addedKeys.count()),
           static_cast<long long>(clock.elapsed()));
    return outcome;
}

void UpdateRun::finish()
{
    if (m_state == State::Finished)
        return;
    // Only a copy this run saved is its to remove; what stood in its way stays.
    if (m_state != State::Waiting && m_state != State::Loading && m_state != State::CopyNotSaved)
        ListFiles::remove(ListFiles::tempFile());
    setState(State::Finished);
}
