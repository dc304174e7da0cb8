// One update run: its states from the received list to the end.
#include "camlist/format/keylist.h"
#include "camlist/format/keypicking.h"
#include "camlist/run/updaterun.h"
#include "camlist/store/addjournal.h"
#include "camlist/store/camsfileappender.h"
#include "camlist/store/listfiles.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestRun final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void runStates_data();
    void runStates();
    void receive_data();
    void receive();
    void startSettlesWhatAKilledRunLeft();
    void addAfterAnotherRunAddedOne();
};

void TestRun::initTestCase()
{
    // A file-size limit must show up as a failed write, as in the program.
    std::signal(SIGXFSZ, SIG_IGN);
}

using RunStates = QList<UpdateRun::State>;

namespace {

// Leaves Cams.inf as a run killed in the middle of an add leaves it: its journal, and part of
// the records appended.
bool tearAnAdd()
{
    QByteArray records;
    // Enough of them to be written in more than one piece.
    for (int i = 0; i < 40'000; ++i)
        records += "torn" + QByteArray::number(i) + "\r\nhttp://cams.example/torn.jpg\r\n";
    const auto stopped = CamsFileAppender::append(
        ListFiles::ownFile(), records, {}, CamsFileAppender::defaultLockWait,
        [](CamsFileAppender::Step step) {
            return step == CamsFileAppender::Step::PartOfBlockWritten;
        });
    return !stopped.ok() && QFileInfo::exists(AddJournal::nameFor(ListFiles::ownFile()));
}

} // namespace

// The run moves only forward through its states, and a step asked for out of turn does nothing.
void TestRun::runStates_data()
{
    QTest::addColumn<QByteArray>("serverText");
    QTest::addColumn<bool>("copyBlocked"); // a folder stands where the server copy goes
    QTest::addColumn<RunStates>("states");
    QTest::addColumn<QByteArrayList>("added");
    // The own list: "" a small list, "40G" a sparse file of that size, or a file it links to.
    QTest::addColumn<QByteArray>("ownList");
    QTest::addColumn<QString>("failure");
    using S = UpdateRun::State;
    QTest::newRow("new cams added")
        << QByteArray("k1\r\nd1\r\nk3\r\nd3") << false
        << RunStates{S::Loading, S::ListsLoaded, S::Searching, S::Reviewing,
                     S::Adding,  S::AddEnded,    S::UpToDate,  S::Ended}
        << QByteArrayList{"k3"} << QByteArray() << QString();
    QTest::newRow("up to date") << QByteArray("k1\r\nd1\r\n") << false
                                << RunStates{S::Loading, S::ListsLoaded, S::Searching, S::UpToDate,
                                             S::Ended}
                                << QByteArrayList{} << QByteArray() << QString();
    QTest::newRow("nothing received")
        << QByteArray() << false << RunStates{S::NoListReceived, S::Ended} << QByteArrayList{}
        << QByteArray() << u"The server's list holds no cams."_qs;
    QTest::newRow("copy not saved")
        << QByteArray("k3\r\nd3") << true << RunStates{S::Loading, S::CopyNotSaved, S::Ended}
        << QByteArrayList{} << QByteArray() << u"Is a directory"_qs;
    // An own list the program cannot hold or read ends the run before any cam is offered.
    const RunStates refused{S::Loading, S::OwnListNotRead, S::Ended};
    QTest::newRow("own list too large")
        << QByteArray("k3\r\nd3") << false << refused << QByteArrayList{} << QByteArray("40G")
        << u"Cams.inf is 40.0 GiB (42,949,672,960 bytes), more than the 256 MiB this program "
           "reads."_qs;
    QTest::newRow("own list of size 0 that reads without end")
        << QByteArray("k3\r\nd3") << false << refused << QByteArrayList{}
        << QByteArray("/proc/self/pagemap") << u"Cams.inf could not be read: Invalid argument"_qs;
    QTest::newRow("own list unreadable")
        << QByteArray("k3\r\nd3") << false << refused << QByteArrayList{}
        << QByteArray("/proc/self/mem") << u"Cams.inf could not be read: Input/output error"_qs;
}

void TestRun::runStates()
{
    QFETCH(QByteArray, serverText);
    QFETCH(bool, copyBlocked);
    QFETCH(RunStates, states);
    QFETCH(QByteArrayList, added);
    QFETCH(QByteArray, ownList);
    QFETCH(QString, failure);
    QTemporaryDir work;
    QVERIFY(work.isValid() && QDir::setCurrent(work.path()));
    if (ownList.isEmpty())
        QVERIFY(writeFile(ListFiles::ownFile(), "k1\r\nd1\r\n"));
    else if (ownList == "40G")
        QVERIFY(writeFile(ListFiles::ownFile(), "") &&
                ::truncate("Cams.inf", off_t{40} << 30) == 0);
    else
        QVERIFY(QFile::link(QString::fromLatin1(ownList), ListFiles::ownFile()));
    if (copyBlocked)
        QVERIFY(QDir().mkdir(ListFiles::tempFile()));

    UpdateRun run;
    QSignalSpy changes(&run, &UpdateRun::stateChanged);
    QByteArrayList foundKeys;
    connect(&run, &UpdateRun::newCamsFound, &run,
            [&](const KeyList& keys) { foundKeys += keys.toByteArrayList(); });
    // Out of turn: nothing to search or add yet.
    QVERIFY(!run.searchStep());
    run.addNewCams();
    run.review();
    run.leave();
    QCOMPARE(run.state(), UpdateRun::State::Waiting);
    run.receive(FetchedBody{serverText});
    // Asked for while the lists are read, the search waits for them.
    run.startSearch();
    QVERIFY(run.state() != UpdateRun::State::Searching);
    QTRY_VERIFY(run.state() != UpdateRun::State::Loading);
    run.setSearchSlice(std::chrono::milliseconds(0));
    for (int steps = 0; run.state() == UpdateRun::State::Searching && steps < 100; ++steps)
        run.searchStep();
    QCOMPARE(foundKeys, run.newKeys().toByteArrayList());

    const bool offered = run.state() == UpdateRun::State::Reviewing;
    run.addNewCams();
    QTRY_VERIFY(run.state() != UpdateRun::State::Adding);
    QCOMPARE(run.state() == UpdateRun::State::AddEnded, offered);
    QCOMPARE(offered && run.addResult().ok(), offered);
    QCOMPARE(offered ? run.addResult().value().keys.toByteArrayList() : QByteArrayList(), added);
    QCOMPARE(run.newKeys().count(), 0);
    run.review();
    run.end();
    // Once ended, nothing asked of the run does anything, and nothing comes back later.
    run.end();
    run.receive(FetchedBody{serverText});
    run.startSearch();
    run.addNewCams();
    run.review();
    run.leave();
    QTest::qWait(20);

    RunStates seen;
    for (const QList<QVariant>& change : changes)
        seen.append(change.first().value<UpdateRun::State>());
    QCOMPARE(seen, states);
    QCOMPARE(QFileInfo::exists(ListFiles::tempFile()), copyBlocked);
    QCOMPARE(run.failureText(), failure);
    if (ownList == "40G")
        QCOMPARE(QFileInfo(ListFiles::ownFile()).size(), qint64{40} << 30);
    else if (ownList.isEmpty())
        QCOMPARE(fileBytes(ListFiles::ownFile()), added.isEmpty()
                                                      ? QByteArray("k1\r\nd1\r\n")
                                                      : QByteArray("k1\r\nd1\r\nk3\r\nd3\r\n"));
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
}

// The run judges what the fetch gave: a body whose end was announced is taken as it is, one that
// ran to the close only when it ends with a whole record, and a failure keeps its reason. What
// is not taken is judged at once: nothing is saved, and the own list is not read.
void TestRun::receive_data()
{
    // What stands in the way of saving the copy or reading the own list: "" nothing, "folder"
    // a folder named temp.tmp, "40G" an own list far over the read limit.
    QTest::addColumn<QByteArray>("inTheWay");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("endAnnounced");
    QTest::addColumn<QString>("fetchFailure"); // the fetch failed with this reason
    QTest::addColumn<UpdateRun::State>("reached");
    QTest::addColumn<QByteArray>("taken");
    QTest::addColumn<QString>("news"); // what the box says where the run goes no further
    using S = UpdateRun::State;
    const QByteArray whole = "k1\r\nd1\r\nk3\r\nd3\r\n";
    const QString noList = u"No cam list could be received from the server.\n"_qs;
    const QString cutShort = u"The transfer was cut short before the whole list arrived."_qs;
    QTest::newRow("announced") << QByteArray() << QByteArray("k1\r\nd1\r\nk3") << true << QString()
                               << S::ListsLoaded << QByteArray("k1\r\nd1\r\nk3") << QString();
    QTest::newRow("announced, empty")
        << QByteArray() << QByteArray() << true << QString() << S::NoListReceived << QByteArray()
        << noList + u"The server's list holds no cams."_qs;
    QTest::newRow("unannounced, whole")
        << QByteArray() << whole << false << QString() << S::ListsLoaded << whole << QString();
    QTest::newRow("unannounced, cut inside a key")
        << QByteArray() << QByteArray("k1\r\nd1\r\nBeach Cou") << false << QString()
        << S::NoListReceived << QByteArray() << noList + cutShort;
    QTest::newRow("unannounced, cut before a detail line")
        << QByteArray() << QByteArray("k1\r\nd1\r\nk3\r\n") << false << QString()
        << S::NoListReceived << QByteArray() << noList + cutShort;
    const QString notFound = u"The server answered 404 Not Found."_qs;
    QTest::newRow("failed") << QByteArray() << QByteArray() << true << notFound << S::NoListReceived
                            << QByteArray() << noList + notFound;
    QTest::newRow("failed, a folder named temp.tmp")
        << QByteArray("folder") << QByteArray() << true << notFound << S::NoListReceived
        << QByteArray() << noList + notFound;
    QTest::newRow("failed, own list over the read limit")
        << QByteArray("40G") << QByteArray() << true << notFound << S::NoListReceived
        << QByteArray() << noList + notFound;
    QTest::newRow("announced, only empty lines, own list over the read limit")
        << QByteArray("40G") << QByteArray("\r\n\r\r\n") << true << QString() << S::NoListReceived
        << QByteArray() << noList + u"The server's list holds no cams."_qs;
}

void TestRun::receive()
{
    QFETCH(QByteArray, inTheWay);
    QFETCH(QByteArray, body);
    QFETCH(bool, endAnnounced);
    QFETCH(QString, fetchFailure);
    QFETCH(UpdateRun::State, reached);
    QFETCH(QByteArray, taken);
    QFETCH(QString, news);
    const FetchResult fetched =
        fetchFailure.isEmpty()
            ? FetchResult(FetchedBody{body, endAnnounced})
            : FetchResult(Failure<FetchFailure>{FetchFailure::HttpStatus, fetchFailure});
    QTemporaryDir work;
    QVERIFY(work.isValid() && QDir::setCurrent(work.path()));
    QVERIFY(writeFile(ListFiles::ownFile(), "k1\r\nd1\r\n"));
    if (inTheWay == "folder")
        QVERIFY(QDir().mkdir(ListFiles::tempFile()));
    else if (inTheWay == "40G")
        QVERIFY(::truncate("Cams.inf", off_t{40} << 30) == 0);
    const QStringList before = QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    UpdateRun run;
    run.fetchStarted();
    run.receive(fetched);
    QCOMPARE(run.receivedText(), taken);
    QTRY_VERIFY(run.state() != UpdateRun::State::Loading);
    QCOMPARE(run.state(), reached);
    QCOMPARE(run.news().text, news);
    QVERIFY(!run.news().warning);
    // The server copy holds what was taken, and one more line end; nothing is saved when
    // nothing was taken.
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             reached == UpdateRun::State::ListsLoaded ? before + QStringList{ListFiles::tempFile()}
                                                      : before);
    if (reached == UpdateRun::State::ListsLoaded)
        QCOMPARE(fileBytes(ListFiles::tempFile()), taken + "\r\n");
    // A second result is not the run's to take.
    run.receive(FetchedBody{"k9\r\nd9\r\n"});
    QCOMPARE(run.receivedText(), taken);
    run.end();
    // Only the copy this run saved goes; what stood in its way stays.
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
}

// The start settles what a killed run left before any list is read, and says so as news: a
// torn add is cut off, a scratch copy goes; a second start does nothing.
void TestRun::startSettlesWhatAKilledRunLeft()
{
    QTemporaryDir work;
    QVERIFY(work.isValid() && QDir::setCurrent(work.path()));
    QVERIFY(writeFile(ListFiles::ownFile(), "k1\r\nd1\r\n"));
    QVERIFY(writeFile(QStringLiteral("temp.tmp.Xq3Zt1"), "k1\r\n"));
    QVERIFY(tearAnAdd());

    UpdateRun run;
    const UpdateRun::News settled = run.start();
    QVERIFY2(settled.text.contains(u"they were cut off"_qs), qPrintable(settled.text));
    QVERIFY(!settled.warning);
    QCOMPARE(fileBytes(ListFiles::ownFile()), QByteArray("k1\r\nd1\r\n"));
    QCOMPARE(QDir().entryList(QDir::Files), QStringList{ListFiles::ownFile()});
    QVERIFY(tearAnAdd());
    QCOMPARE(run.start().text, QString());
    QVERIFY(QFileInfo::exists(AddJournal::nameFor(ListFiles::ownFile())));
    QCOMPARE(run.state(), UpdateRun::State::Waiting);
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
}

// Another run in the same folder added one of the new cams while this one was asked: the add
// writes the others, and the own list holds what this run read and wrote, each key once.
void TestRun::addAfterAnotherRunAddedOne()
{
    QTemporaryDir work;
    QVERIFY(work.isValid() && QDir::setCurrent(work.path()));
    QVERIFY(writeFile(ListFiles::ownFile(), "k1\r\nd1\r\n"));
    UpdateRun run;
    run.receive(FetchedBody{"k1\r\nd1\r\nk2\r\nd2\r\nk3\r\nd3\r\n"});
    run.startSearch();
    QTRY_COMPARE(run.state(), UpdateRun::State::Searching);
    while (!run.searchStep()) {
    }
    run.gatherRecords();
    QVERIFY(writeFile(ListFiles::ownFile(), "k1\r\nd1\r\nk2\r\nd2\r\n"));
    run.addNewCams();
    QTRY_COMPARE(run.state(), UpdateRun::State::AddEnded);
    QVERIFY2(run.addResult().ok(), qPrintable(run.addResult().text()));
    QCOMPARE(run.addResult().value().keys.toByteArrayList(), QByteArrayList{"k3"});
    QCOMPARE(run.ownKeys().toByteArrayList(), (QByteArrayList{"k1", "k3"}));
    QCOMPARE(fileBytes(ListFiles::ownFile()), QByteArray("k1\r\nd1\r\nk2\r\nd2\r\nk3\r\nd3\r\n"));
    run.end();
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
}

QTEST_GUILESS_MAIN(TestRun)
#include "tst_run.moc"
