#pragma once

#include "camlist/format/camsearch.h"
#include "camlist/format/keylist.h"
#include "camlist/result.h"
#include "camlist/run/backgroundwork.h"
#include "net/fetchresult.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

// One update run, from the start to the end: what a killed run left, the fetched list, the server
// copy, the own and the server key lists, the search and the new cams it finds, and the append of
// their records. It owns the road: it moves through named states, decides each step, and says so
// through stateChanged; the windows ask it for each step as their timers tick and their buttons
// are pressed. When a step has something to tell the user, it says so through newsDue, and the
// program shows the box. Nothing here waits: the reading of the lists and the append run on
// threads of their own and come back as events. The work is done on bytes, whatever their code
// page. What a box says about the run is put together here, titles included: news() for each
// outcome, start() for what a killed run left, addAllQuestion() for the one question. The
// reason inside a failure's box is made where the failure is known (the transfer's, the files',
// or this run's own) and comes here unchanged in a Result.
class UpdateRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateRun)

public:
    enum class State {
        Waiting,        // nothing asked for yet
        Fetching,       // the server's list is being received
        Loading,        // the server copy is being saved and both lists read
        CopyNotSaved,   // the server copy could not be saved: told at once, and the run ends
        NoListReceived, // no cams from the server: nothing saved or read, no further
        OwnListNotRead, // the own list is too large or could not be read: no further
        ListsLoaded,    // both lists read, the search not started
        Searching,
        Reviewing, // the search has ended; its new cams are on offer
        UpToDate,  // the search has ended, and no cam (or none more) is new
        Adding,    // the records of the new cams are being appended
        AddEnded,  // the append is over; its result is to be told
        Ended,     // the server copy is gone; nothing more happens
    };
    Q_ENUM(State)

    // How long one search step may take before the windows get their turn again.
    static constexpr std::chrono::milliseconds defaultSearchSlice{10};

    enum class AddFailure {
        ListLeftAsItWas, // the own list holds exactly what it held
        ListChanged,     // a failed append could not be undone; the text says what is left
    };
    // What an add that worked gave.
    struct Added
    {
        KeyList keys{KeyList::Order::AsAdded}; // of the records really written, in file order
        // What the add settled first, under its lock: another run's interrupted add, a journal
        // that could not be removed. Empty when there was nothing.
        QString settledBefore;
        bool settledWarns = false; // the settling left something for the user to see to
    };
    // What an add gave, or why no record was written.
    using AddResult = Result<Added, AddFailure>;

    // What the run has to tell the user: a box's title and sentence (empty when there is
    // nothing to tell), and whether it is a warning.
    struct News
    {
        QString title;
        QString text;
        bool warning = false;
    };
    // What the user is asked before the add.
    struct Question
    {
        QString title;
        QString text;
    };
    static Question addAllQuestion();

    explicit UpdateRun(QObject* parent = nullptr);
    ~UpdateRun() override;

    State state() const { return m_state; }

    // Settles what a killed run left before any list is read: its scratch copy, and an add it
    // cut off in the own list. Once, before the fetch; tells what was found, if anything.
    News start();
    // The fetch of the server's list has begun.
    void fetchStarted();
    // The fetch's result. A body whose end the server did not announce cannot be told from one
    // cut short by a dying server: it is taken only when it ends with a whole record, and
    // otherwise counts as cut short. The text taken is saved as the server copy and the keys of
    // both lists are read, on a thread of their own; the run moves on when that is done. A
    // failed fetch, a cut one and a list without a single record end here: nothing is saved or
    // read, and the run goes no further, keeping the reason.
    void receive(const FetchResult& fetched);
    // The server's text as the run took it; empty when nothing was taken.
    const QByteArray& receivedText() const { return m_serverText; }
    // Why the run could go no further (CopyNotSaved, NoListReceived, OwnListNotRead): the
    // reason alone, in words for the user.
    const QString& failureText() const { return m_failureText; }
    // What there is to tell in the present state: why the run went no further, how the add went
    // (AddEnded), or that the list is up to date. Nothing in any other state.
    News news() const;
    const KeyList& ownKeys() const { return m_own; }
    // The server list's keys, until the search has ended; nothing needs them after it.
    const KeyList& serverKeys() const { return m_server; }

    // Starts the search (ListsLoaded). Where the run went no further (NoListReceived,
    // OwnListNotRead), it tells why instead, and ends. Asked while the lists are still read, it
    // does so as soon as they are.
    void startSearch();
    // Settles server keys until the search ends or the slice is used up. True once it has ended.
    bool searchStep();
    void setSearchSlice(std::chrono::milliseconds slice) { m_searchSlice = slice; }
    qsizetype settledCount() const { return m_search.settled(); }
    qsizetype progressValue() const { return m_search.progressValue(); }
    const KeyList& newKeys() const { return m_new; }
    // The search has run to its end, whatever came after.
    bool searchHasEnded() const { return m_searchEnded; }

    // The user asks to add all new cams (Reviewing): their records are put together, on a thread
    // of their own, while the question is answered.
    void gatherRecords();
    // Appends the records of all new cams to the own list, on a thread of its own. On success
    // the new cams are no longer on offer; on failure they stay for another try. An add is never
    // cut off: it finishes (or is undone) even when the run ends.
    void addNewCams();
    bool isAdding() const { return m_state == State::Adding; }
    // What the last add gave (AddEnded).
    const AddResult& addResult() const { return *m_addResult; }
    // A step of the review: after an add, it tells how the add went and goes back to the review
    // (or on to up to date); up to date, it tells so and ends. Nothing in any other state.
    void review();

    // The user leaves (OK): only once the search has ended and while no add is under way.
    void leave();
    // The user cancels: the run ends at once, whatever it is doing.
    void cancel() { end(); }
    // Ends the run: an add under way is waited for, reading the lists is given up at once, and
    // the server copy this run saved goes. Once ended, nothing asked of the run does anything.
    void end();

Q_SIGNALS:
    void stateChanged(UpdateRun::State state);
    // Something is to be told. The listener tells the user before it returns (a modal box, say);
    // the run goes on after it (ends, or goes back to the review), unless it was ended meanwhile.
    void newsDue(const UpdateRun::News& news);
    // The search found these keys, in server-list order.
    void newCamsFound(const KeyList& keys);

private:
    struct LoadJob;
    struct Gathering;
    struct AddJob;

    void setState(State state);
    void noListReceived(QString why);
    void loadLists(QByteArray serverText);
    News addNews() const;
    void tellAndEnd();
    void resumeReview();
    void listsRead(LoadJob& job);
    // Begins finding the new cams' records in the server's list, as they come on offer.
    void findRecords();
    void searchIfAsked();
    void added(AddJob& job);

    State m_state = State::Waiting;
    bool m_started = false;
    QString m_failureText;
    bool m_copySaved = false;
    bool m_searchEnded = false;
    bool m_searchAsked = false; // while the lists are read: the search starts once they are
    std::shared_ptr<LoadJob> m_loadJob;
    std::unique_ptr<BackgroundWork> m_loading;
    std::unique_ptr<BackgroundWork> m_adding;
    std::shared_ptr<Gathering> m_gathering; // of the new cams on offer
    std::unique_ptr<BackgroundWork> m_findingWork;
    std::unique_ptr<BackgroundWork> m_assemblingWork;
    std::optional<AddResult> m_addResult;
    QByteArray m_serverText;
    QByteArray m_ownText; // the own list as it was read, which the new cams are not in
    KeyList m_own{KeyList::Order::Sorted};
    KeyList m_server{KeyList::Order::Sorted};
    KeyList m_new{KeyList::Order::AsAdded};
    KeyIndex m_ownIndex; // of the own keys, until the search takes it
    CamSearch m_search;
    std::chrono::milliseconds m_searchSlice = defaultSearchSlice;
};
