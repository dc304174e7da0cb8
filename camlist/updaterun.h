#pragma once

#include "camsearch.h"
#include "filereplacer.h"
#include "keylist.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>

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
    // alive; when the program ends meanwhile, it returns as soon as that work has stopped.
    void loadLists(QByteArray serverText);
    // Why the server copy could not be saved (CopyNotSaved).
    const QString& copyError() const { return m_copyError; }
    const KeyList& ownKeys() const { return m_own; }
    const KeyList& serverKeys() const { return m_server; }

    void startSearch();
    // Settles server keys until the search ends or the slice is used up. True once it has ended.
    bool searchStep();
    void setSearchSlice(std::chrono::milliseconds slice) { m_searchSlice = slice; }
    qsizetype settledCount() const { return m_search.settled(); }
    qsizetype progressValue() const { return m_search.progressValue(); }
    const KeyList& newKeys() const { return m_new; }

    // Appends the records of all new cams to the own list. On success the new cams are no
    // longer on offer; on failure they stay for another try.
    AddOutcome addNewCams();

    // Ends the run: the server copy it saved goes.
    void finish();

Q_SIGNALS:
    void stateChanged(UpdateRun::State state);
    // The search found these keys, in server-list order.
    void newCamsFound(const KeyList& keys);

private:
    void setState(State state);

    State m_state = State::Waiting;
    QString m_copyError;
    QByteArray m_serverText;
    QByteArray m_ownText; // the own list as it was read, which the new cams are not in
    KeyList m_own{KeyList::Order::Sorted};
    KeyList m_server{KeyList::Order::Sorted};
    KeyList m_new{KeyList::Order::AsAdded};
    CamSearch m_search;
    std::chrono::milliseconds m_searchSlice = defaultSearchSlice;
};
