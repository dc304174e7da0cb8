#include "camlist/run/updaterun.h"

#include "camlist/format/keypicking.h"
#include "camlist/format/recordmerge.h"
#include "camlist/format/recordreader.h"
#include "camlist/store/camsfileappender.h"
#include "camlist/store/filereplacer.h"
#include "camlist/store/journalrecovery.h"
#include "camlist/store/listfiles.h"
#include "camlist/store/posixfile.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

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

// What reads as an empty own list rather than as a fault: no list yet, or something that is no
// list file (adding then says why it cannot be done).
bool readsAsEmpty(int error)
{
    return error == ENOENT || error == PosixFile::notARegularFile || error == EISDIR;
}

} // namespace

// Saving the copy and reading the lists, on the worker's side. The copy is written on a thread
// of its own, and the own list read and sorted on another, beside the server list's keys, so
// that neither waits for the disk or for the other's sorting; the lists are reported read only
// once the copy is in place too. The run may give it all up at any moment (the program ends):
// the copy then stops at its next piece, and what it saved is removed by whichever side comes
// last.
struct UpdateRun::LoadJob
{
    QByteArray serverText;
    std::optional<Result<>> copy; // once the copy is done
    Result<QByteArray> ownRead = QByteArray();
    KeyList server{KeyList::Order::Sorted};
    KeyList own{KeyList::Order::Sorted};
    // The own keys' index, for the search: built here, where the list is read, so that the
    // search has only to look the server keys up.
    KeyIndex ownIndex;
    std::atomic<bool> outOfMemory{false};

    std::mutex mutex;
    std::condition_variable partEnded;
    bool copyDone = false;
    bool ownDone = false;
    bool copySaved = false; // saved and not handed over to the run
    bool givenUp = false;
    std::atomic<bool> stopCopy{false};

    void saveCopy()
    {
        Result<> saved = ListFiles::writeServerCopy(ListFiles::tempFile(), serverText, &stopCopy);
        {
            const std::lock_guard lock(mutex);
            copy = std::move(saved);
            copySaved = copy->ok();
            copyDone = true;
            if (givenUp)
                removeCopyLocked();
        }
        partEnded.notify_all();
    }

    void readOwn()
    {
        try {
            ownRead = ListFiles::read(ListFiles::ownFile(), ListFiles::ownListLimit);
            if (ownRead.ok())
                own.addAll(ownRead.value(), pickKeys(ownRead.value()));
            ownIndex.reset(own.views());
            while (!ownIndex.isComplete())
                ownIndex.indexNext(KeyIndex::batchSize);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
        {
            const std::lock_guard lock(mutex);
            ownDone = true;
        }
        partEnded.notify_all();
    }

    void run()
    {
        try {
            // The copy holds the text and one more line end, which can only end or follow the
            // last line: it gives the same keys as the text in hand, so the file need not be
            // read back and the keys point into the one copy of the bytes the run keeps.
            server.addAll(serverText, pickKeys(serverText));
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
        std::unique_lock lock(mutex);
        partEnded.wait(lock, [this] { return copyDone && ownDone; });
        if (givenUp)
            removeCopyLocked();
    }

    // Waits only for the copy, which stops at its next piece: the program may end right after,
    // and must leave neither the copy nor its scratch file. A disk that does not answer (a hung
    // network folder) is waited for a while only; its scratch file then goes at the next
    // start. The reading is not waited for; it may hang on such a folder too.
    void giveUp()
    {
        std::unique_lock lock(mutex);
        givenUp = true;
        stopCopy = true;
        partEnded.wait_for(lock, std::chrono::seconds(2), [this] { return copyDone; });
        removeCopyLocked();
    }

    // Takes the saved copy over; false when there is none.
    bool takeCopy()
    {
        const std::lock_guard lock(mutex);
        return std::exchange(copySaved, false);
    }

private:
    void removeCopyLocked()
    {
        if (copySaved)
            ListFiles::remove(ListFiles::tempFile());
        copySaved = false;
    }
};

// The records of the new cams, gathered ahead of an add so that an add after Yes has only to
// write, in two steps on threads of their own. Where each record stands in the server's list is
// found as soon as the new cams are on offer: that takes the time, and little room. The records
// themselves are put together when the user asks to add them, while the question is answered.
// Nothing is written here: given up (the program ends), it just stops mattering.
struct UpdateRun::Gathering
{
    QByteArray serverText;
    QList<QByteArrayView> newKeys;

    std::mutex mutex;
    std::condition_variable changed;
    bool found = false;
    std::optional<RecordMerge::Found> where; // none when there was not enough memory
    bool assembling = false;
    bool assembled = false;
    std::optional<RecordMerge> merge; // none when there was not enough memory

    void find()
    {
        std::optional<RecordMerge::Found> finding;
        try {
            finding = RecordMerge::find(serverText, newKeys);
        } catch (const std::bad_alloc&) {
            finding.reset();
        }
        {
            const std::lock_guard lock(mutex);
            where = std::move(finding);
            found = true;
        }
        changed.notify_all();
    }

    // Whether the caller is the one to put the records together: the first to ask.
    bool takeAssembling()
    {
        const std::lock_guard lock(mutex);
        return !std::exchange(assembling, true);
    }

    void giveBackAssembling()
    {
        const std::lock_guard lock(mutex);
        assembling = false;
    }

    void assemble()
    {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return found; });
        }
        std::optional<RecordMerge> records;
        try {
            if (where)
                records = RecordMerge::assemble(newKeys, *std::exchange(where, std::nullopt));
        } catch (const std::bad_alloc&) {
            records.reset();
        }
        {
            const std::lock_guard lock(mutex);
            // What was found is in the records now.
            where.reset();
            merge = std::move(records);
            assembled = true;
        }
        changed.notify_all();
    }

    void waitAssembled()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return assembled; });
    }
};

// The append, on the worker's side, with the records gathered for it.
struct UpdateRun::AddJob
{
    QByteArray serverText;
    QByteArray ownText;
    QList<QByteArrayView> newKeys;
    std::shared_ptr<Gathering> gathered; // none when no thread could gather them
    // The own list's keys; once the add is done, with the keys it wrote in their places.
    KeyList ownKeys{KeyList::Order::Sorted};
    std::optional<AddResult> result; // once the add is done
    QElapsedTimer clock;

    void run()
    {
        try {
            result = append();
        } catch (const std::bad_alloc&) {
            result = Failure<AddFailure>{
                AddFailure::ListChanged,
                QStringLiteral("%1 could not be updated: there was not enough memory. Records "
                               "written in part are set right at the next start.")
                    .arg(ListFiles::ownFile())};
        }
    }

private:
    AddResult append()
    {
        // The records come from the text this run received and saved. The saved copy is not
        // read back: another run in the same folder may have replaced or removed it.
        if (gathered) {
            // Not asked for while the question was answered: put together here.
            if (gathered->takeAssembling())
                gathered->assemble();
            gathered->waitAssembled();
        }
        const RecordMerge merge = gathered && gathered->merge
                                      ? *gathered->merge
                                      : RecordMerge::build(serverText, newKeys);
        newKeys = {};
        // The own list as it will be once all of them are in, as they mostly go in, is put
        // together beside the append: that works on the disk, this on the keys.
        KeyList ownWithAll = ownKeys;
        std::thread merging;
        try {
            merging = std::thread([&] {
                try {
                    ownWithAll.addAll(merge.addedKeys);
                } catch (const std::bad_alloc&) {
                    ownWithAll = ownKeys; // tried again below, where running short is told
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the keys go in after the append, as they are written.
        }
        auto appended = CamsFileAppender::append(ListFiles::ownFile(), merge.block, ownText);
        if (merging.joinable())
            merging.join();
        if (!appended.ok())
            return Failure<AddFailure>{CamsFileAppender::leftAsItWas(appended.code())
                                           ? AddFailure::ListLeftAsItWas
                                           : AddFailure::ListChanged,
                                       appended.text()};
        CamsFileAppender::Appended& done = appended.value();
        KeyList written = keysWritten(merge, done);
        // All of them went in, as they mostly do: the own list with them is there already.
        if (ownWithAll.count() == ownKeys.count() + merge.addedKeys.count() &&
            written.count() == merge.addedKeys.count())
            ownKeys = std::move(ownWithAll);
        else
            ownKeys.addAll(written);
        // What the settling says is done is done; a journal the add had to leave is the user's
        // to see to.
        return Added{std::move(written), std::move(done.settledBefore), done.journalKept};
    }

    static KeyList keysWritten(const RecordMerge& merge, const CamsFileAppender::Appended& done)
    {
        // When all went in they are all of them: no second list needed.
        if (done.count == merge.addedKeys.count())
            return merge.addedKeys;
        QList<QByteArrayView> written;
        written.reserve(done.count);
        for (const qsizetype index : done.someWritten)
            written.append(merge.addedKeys.item(index));
        return merge.addedKeys.withSameBytes(KeyList::Order::AsAdded, written);
    }
};

UpdateRun::News UpdateRun::start()
{
    if (m_state != State::Waiting || std::exchange(m_started, true))
        return {};
    FileReplacer::removeLeftovers(ListFiles::tempFile());
    const JournalRecovery::Recovery earlier = JournalRecovery::recover(ListFiles::ownFile());
    if (earlier.text.isEmpty())
        return {};
    // A journal kept means the list may hold what is not the user's: they must look at it.
    return {QStringLiteral("Interrupted add"), earlier.text,
            earlier.done == JournalRecovery::Action::JournalKept};
}

void UpdateRun::fetchStarted()
{
    if (m_state == State::Waiting)
        setState(State::Fetching);
}

void UpdateRun::receive(const FetchResult& fetched)
{
    if (m_state != State::Waiting && m_state != State::Fetching)
        return;
    if (!fetched.ok()) {
        noListReceived(fetched.text());
        return;
    }
    const FetchedBody& got = fetched.value();
    if (!got.endAnnounced && !endsWithWholeRecord(got.body)) {
        noListReceived(QStringLiteral("The transfer was cut short before the whole list arrived."));
        return;
    }
    // Key picking finds a key in the same bytes exactly when there is a first record; looking
    // for one stops at the first line that is not empty.
    RecordReader::Record first;
    if (!RecordReader(got.body).next(first)) {
        noListReceived(QStringLiteral("The server's list holds no cams."));
        return;
    }
    loadLists(got.body);
}

// Nothing from the server: no copy is saved and no list read, so the reason told is the
// server's, whatever stands in the folder.
void UpdateRun::noListReceived(QString why)
{
    m_failureText = std::move(why);
    setState(State::NoListReceived);
}

void UpdateRun::loadLists(QByteArray serverText)
{
    setState(State::Loading);
    auto job = std::make_shared<LoadJob>();
    // The run keeps the text from here on: it is what the copy and the add are made of.
    m_serverText = serverText;
    job->serverText = std::move(serverText);
    m_loadJob = job;
    // No thread to be had: the part is done here and now, the copy first, as it once was.
    for (void (LoadJob::*part)() : {&LoadJob::saveCopy, &LoadJob::readOwn}) {
        try {
            std::thread([job, part] { (*job.*part)(); }).detach();
        } catch (const std::system_error&) {
            (*job.*part)();
        }
    }
    m_loading = std::make_unique<BackgroundWork>([job] { job->run(); }, this,
                                                 [this, job] { listsRead(*job); });
}

void UpdateRun::listsRead(LoadJob& job)
{
    m_loading.reset();
    m_loadJob.reset();
    m_copySaved = job.takeCopy();

    if (job.outOfMemory) {
        m_failureText = QStringLiteral("There is not enough memory to read the lists.");
        setState(State::OwnListNotRead);
        searchIfAsked();
        return;
    }
    if (!job.copy->ok()) {
        // A local fault, not the server's; the user's files are left alone.
        m_failureText = job.copy->text();
        setState(State::CopyNotSaved);
        tellAndEnd();
        return;
    }
    if (!job.ownRead.ok() && !readsAsEmpty(job.ownRead.code())) {
        m_failureText = job.ownRead.text();
        setState(State::OwnListNotRead);
        searchIfAsked();
        return;
    }
    m_serverText = std::move(job.serverText);
    m_ownText = job.ownRead.ok() ? std::move(job.ownRead).value() : QByteArray();
    m_server = std::move(job.server);
    m_own = std::move(job.own);
    m_ownIndex = std::move(job.ownIndex);
    setState(State::ListsLoaded);
    searchIfAsked();
}

void UpdateRun::searchIfAsked()
{
    if (std::exchange(m_searchAsked, false))
        startSearch();
}

void UpdateRun::startSearch()
{
    switch (m_state) {
    case State::Loading:
        // Not before the lists are read: the search then starts at once.
        m_searchAsked = true;
        return;
    case State::ListsLoaded:
        m_search.start(m_own, m_server, std::move(m_ownIndex));
        setState(State::Searching);
        return;
    case State::NoListReceived:
    case State::OwnListNotRead:
        // Showing every server cam as new would invite adding them all over again.
        tellAndEnd();
        return;
    default:
        return;
    }
}

bool UpdateRun::searchStep()
{
    if (m_state != State::Searching)
        return m_searchEnded;
    // When each step begins, to the microsecond: the longest gap between two is the longest
    // the windows went unserved during the search. Off unless asked for
    // (QT_LOGGING_RULES="camupdate.run.debug=true"); the time is not even read then.
    qCDebug(runLog, "search step at %.3f",
            static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count()) /
                1000.0);
    QElapsedTimer clock;
    clock.start();
    const bool ended = m_search.step([&] { return clock.elapsed() >= m_searchSlice.count(); });
    const KeyList found = m_search.takeNewKeys();
    if (found.count() > 0) {
        m_new.addAll(found);
        Q_EMIT newCamsFound(found);
    }
    if (ended) {
        m_searchEnded = true;
        // Nothing reads the server list's keys after the search, and they take as much room
        // as the new cams: the add has the room instead. Their bytes stay, for the new keys.
        m_server = m_server.withSameBytes(KeyList::Order::Sorted, {});
        if (m_new.count() > 0)
            findRecords();
        setState(m_new.count() > 0 ? State::Reviewing : State::UpToDate);
    }
    return ended;
}

void UpdateRun::findRecords()
{
    auto gathering = std::make_shared<Gathering>();
    gathering->serverText = m_serverText;
    gathering->newKeys = m_new.views();
    try {
        m_findingWork =
            std::make_unique<BackgroundWork>([gathering] { gathering->find(); }, this, [] {});
    } catch (const std::system_error&) {
        return; // no thread to be had: the add finds them itself
    }
    m_gathering = std::move(gathering);
}

void UpdateRun::gatherRecords()
{
    if (m_state != State::Reviewing || !m_gathering || !m_gathering->takeAssembling())
        return;
    try {
        m_assemblingWork = std::make_unique<BackgroundWork>(
            [gathering = m_gathering] { gathering->assemble(); }, this, [] {});
    } catch (const std::system_error&) {
        // No thread to be had: the add puts them together itself.
        m_gathering->giveBackAssembling();
    }
}

void UpdateRun::addNewCams()
{
    if (m_state != State::Reviewing)
        return;
    auto job = std::make_shared<AddJob>();
    job->serverText = m_serverText;
    job->ownText = m_ownText;
    job->newKeys = m_new.views();
    job->gathered = m_gathering;
    job->ownKeys = m_own;
    job->clock.start();
    m_adding =
        std::make_unique<BackgroundWork>([job] { job->run(); }, this, [this, job] { added(*job); });
    setState(State::Adding);
}

void UpdateRun::added(AddJob& job)
{
    m_adding.reset();
    m_addResult.emplace(std::move(*job.result));
    if (m_addResult->ok()) {
        m_own = std::move(job.ownKeys);
        m_new.clear();
        m_gathering.reset();
        m_findingWork.reset();
        m_assemblingWork.reset();
        qCInfo(runLog, "appended %lld records in %lld ms",
               static_cast<long long>(m_addResult->value().keys.count()),
               static_cast<long long>(job.clock.elapsed()));
    }
    setState(State::AddEnded);
}

// Every box about the run, by the state it tells of: its title, and its sentence around the
// reason the failure came with.
UpdateRun::News UpdateRun::news() const
{
    switch (m_state) {
    case State::CopyNotSaved:
        // A local fault, not the server's: which file, and why.
        return {QStringLiteral("List not saved"),
                QStringLiteral("The server's list could not be saved as %1: %2")
                    .arg(ListFiles::tempFile(), m_failureText),
                true};
    case State::NoListReceived:
        // Nothing from the server: saying the list is up to date would be a lie.
        return {QStringLiteral("No list received"),
                QStringLiteral("No cam list could be received from the server.\n") + m_failureText,
                false};
    case State::OwnListNotRead:
        return {QStringLiteral("List not read"),
                m_failureText + QStringLiteral("\nNothing was changed."), true};
    case State::UpToDate:
        return {QStringLiteral("No new Cams available"), QStringLiteral("Your list is up to date."),
                false};
    case State::AddEnded:
        return addNews();
    default:
        return {};
    }
}

UpdateRun::Question UpdateRun::addAllQuestion()
{
    return {QStringLiteral("Add all"), QStringLiteral("Do you really want to add all new cams?")};
}

UpdateRun::News UpdateRun::addNews() const
{
    const AddResult& result = *m_addResult;
    if (!result.ok()) {
        // Say the list is as it was only when it is: a failed undo says what is left instead.
        QString text = result.text();
        if (result.code() == AddFailure::ListLeftAsItWas)
            text += QStringLiteral("\nYour list was left as it was.");
        return {QStringLiteral("Cams not added"), text, true};
    }
    // The count of records really written: a key that vanished from the server's copy, or that
    // another run added meanwhile, is not claimed as added.
    const Added& added = result.value();
    QString text = QStringLiteral(" %1 Cams was/were added").arg(added.keys.count());
    if (!added.settledBefore.isEmpty())
        text += QStringLiteral("\n") + added.settledBefore;
    return {QStringLiteral("New Cams added"), text, added.settledWarns};
}

// Whoever listens has told the news by the time the signal returns, and may have ended the run
// meanwhile (a logout under the box): then there is nothing left to end.
void UpdateRun::tellAndEnd()
{
    Q_EMIT newsDue(news());
    end();
}

void UpdateRun::review()
{
    switch (m_state) {
    case State::AddEnded:
        Q_EMIT newsDue(news());
        resumeReview();
        return;
    case State::UpToDate:
        tellAndEnd();
        return;
    default:
        return;
    }
}

void UpdateRun::resumeReview()
{
    if (m_state != State::AddEnded)
        return;
    setState(m_new.count() > 0 ? State::Reviewing : State::UpToDate);
}

void UpdateRun::leave()
{
    if (m_state == State::Reviewing || m_state == State::UpToDate)
        end();
}

void UpdateRun::end()
{
    if (m_state == State::Ended)
        return;
    // The add finishes first; what it gave is of no more use.
    if (m_adding)
        m_adding->waitUntilDone();
    m_adding.reset();
    // Gathering writes nothing: it is just left behind.
    m_findingWork.reset();
    m_assemblingWork.reset();
    if (m_loadJob) {
        m_loadJob->giveUp();
        m_loading->giveUp();
    }
    // Only a copy this run saved is its to remove; what stood in its way stays.
    if (std::exchange(m_copySaved, false))
        ListFiles::remove(ListFiles::tempFile());
    setState(State::Ended);
}
