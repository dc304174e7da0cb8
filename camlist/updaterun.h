#pragma once

#include "backgroundwork.h"
#include "camsearch.h"
#include "filereplacer.h"
#include "keylist.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>

// One update run, from the fetched list to the end: the server copy, the own and the server
// key lists, the search and the new cams it finds, and the append of their records. It moves
// through named states and says so through signals; the windows ask it for each step and show
// what it reports. The work is done on bytes, whatever their code page.
class UpdateRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateRun)

public:
    enum class State {
        Waiting,        // nothing fetched yet
        Loading,        // the server copy is being saved and both lists read
        CopyNotSaved,   // the server copy could not be saved: the run goes no further
        NoListReceived, // the server sent no cams: the run goes no further
        OwnListNotRead, // the own list is too large or could not be read: no further
        ListsLoaded,    // both lists read, the search not started
        Searching,
        Reviewing, // the search has ended; its new cams, if any, are on offer
        Finished,  // the server copy is gone; nothing more happens
    };
    Q_ENUM(State)

    // How long one search step may take before the windows get their turn again.
    static constexpr std::chrono::milliseconds defaultSearchSlice{10};

    struct AddOutcome
    {
        bool ok = false;
        QString error; // what went wrong and what state the own list is in, for the user
        bool listLeftAsItWas = true;
        KeyList addedKeys{KeyList::Order::AsAdded}; // the records really written, in file order
    };

    explicit UpdateRun(QObject* parent = nullptr);
    ~UpdateRun() override;

    State state() const { return m_state; }

    // Saves the fetched text as the server copy and reads the keys of both lists. The work runs
    // on a thread of its own while this waits with the event loop turning, so the windows stay
    // alive; finish() ends the wait at once, whatever the work is waiting for. fetchFailure says
    // why nothing came, when the fetch failed.
    void loadLists(QByteArray serverText, QString fetchFailure = {});
    // Why the server copy could not be saved (CopyNotSaved).
    const QString& copyError() const { return m_copyError; }
    // Why there are no server cams (NoListReceived), in words for the user.
    const QString& noListReason() const { return m_noListReason; }
    // Why the own list was not read (OwnListNotRead), naming it, for the user.
    const QString& ownListError() const { return m_ownListError; }
    const KeyList& ownKeys() const { return m_own; }
    const KeyList& serverKeys() const { return m_server; }

    void startSearch();
    // Settles server keys until the search ends or the slice is used up. True once it has ended.
    bool searchStep();
    void setSearchSlice(std::chrono::milliseconds slice) { m_searchSlice = slice; }
    qsizetype settledCount() const { return m_search.settled(); }
    qsizetype progressValue() const { return m_search.progressValue(); }
    const KeyList& newKeys() const { return m_new; }

    // Appends the records of all new cams to the own list, on a thread of its own while the
    // event loop turns. On success the new cams are no longer on offer; on failure they stay
    // for another try. An add is never cut off: it finishes (or is undone) even when the
    // program is ending.
    AddOutcome addNewCams();
    bool isAdding() const { return m_adding != nullptr; }

    // Ends the run: an add under way is waited for, reading the lists is given up at once, and
    // the server copy this run saved goes.
    void finish();

Q_SIGNALS:
    void stateChanged(UpdateRun::State state);
    // The search found these keys, in server-list order.
    void newCamsFound(const KeyList& keys);

private:
    void setState(State state);

    struct LoadJob;
    struct AddJob;

    State m_state = State::Waiting;
    QString m_copyError;
    QString m_noListReason;
    QString m_ownListError;
    bool m_copySaved = false;
    std::shared_ptr<LoadJob> m_loadJob;
    std::unique_ptr<BackgroundWork> m_loading;
    std::unique_ptr<BackgroundWork> m_adding;
    QByteArray m_serverText;
    QByteArray m_ownText; // the own list as it was read, which the new cams are not in
    KeyList m_own{KeyList::Order::Sorted};
    KeyList m_server{KeyList::Order::Sorted};
    KeyList m_new{KeyList::Order::AsAdded};
    CamSearch m_search;
    std::chrono::milliseconds m_searchSlice = defaultSearchSlice;
};
