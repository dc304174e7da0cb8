// The search for new cams, the merge of their records, and the safe append to the own list.
#include "camsearch.h"
#include "camsfileappender.h"
#include "keyindex.h"
#include "keylist.h"
#include "keypicking.h"
#include "linereader.h"
#include "listfiles.h"
#include "recordmerge.h"
#include "testfiles.h"
#include "updaterun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class TestSearchAndMerge final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void search_data();
    void search();
    void searchComparesBytes();
    void searchInSlicesGivesTheSameResult();
    void searchStepStopsWhenTimeIsUp();
    void indexThatGrowsFindsWhatAFullOneFinds();
    void merge_data();
    void merge();
    void appendCreatesAndExtends();
    void appendClosesAnOpenRecord();
    void appendFailingWriteLeavesTheFileAsItWas();
    void appendToUnwritableFileChangesNothing();
    void appendLeavesOutWhatTheFileAlreadyHolds_data();
    void appendLeavesOutWhatTheFileAlreadyHolds();
    void folderFaults_data();
    void folderFaults();
    void runStates_data();
    void runStates();
};

namespace {

// A list file of the keys, each with the detail line "d:" + key.
QByteArray recordsOf(const QByteArrayList& keys)
{
    QByteArray file;
    for (const QByteArray& key : keys)
        file += key + "\r\nd:" + key + "\r\n";
    return file;
}

// The keys as a list, in the given order, as views into a list file of them.
KeyList listOf(const QByteArrayList& keys, KeyList::Order order = KeyList::Order::AsAdded)
{
    const QByteArray file = recordsOf(keys);
    KeyList list(order);
    list.addAll(file, pickKeys(file));
    return list;
}

QByteArrayList sorted(const QByteArrayList& keys)
{
    return listOf(keys, KeyList::Order::Sorted).toByteArrayList();
}

QList<QByteArrayView> viewsOf(const QByteArrayList& keys)
{
    return QList<QByteArrayView>(keys.cbegin(), keys.cend());
}

QByteArrayList searchAll(const QByteArrayList& own, const QByteArrayList& server)
{
    CamSearch search;
    search.start(listOf(own), listOf(server));
    while (!search.step([] { return false; })) {
    }
    return search.takeNewKeys().toByteArrayList();
}

// Every second line of a block of records: the detail lines.
QByteArrayList detailLines(QByteArrayView block)
{
    QByteArrayList details;
    LineReader reader(block);
    QByteArrayView key;
    QByteArrayView detail;
    while (reader.next(key) && reader.next(detail))
        details.append(detail.toByteArray());
    return details;
}

} // namespace

void TestSearchAndMerge::initTestCase()
{
    // A file-size limit must show up as a failed write, as in the program.
    std::signal(SIGXFSZ, SIG_IGN);
}

void TestSearchAndMerge::search_data()
{
    QTest::addColumn<QByteArrayList>("own");
    QTest::addColumn<QByteArrayList>("server");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::newRow("one new") << QByteArrayList{"k1", "k2"} << QByteArrayList{"k2", "k3"}
                             << QByteArrayList{"k3"};
    QTest::newRow("empty own list")
        << QByteArrayList{} << QByteArrayList{"k1", "k2"} << QByteArrayList{"k1", "k2"};
    QTest::newRow("duplicate new key twice")
        << QByteArrayList{"a"} << QByteArrayList{"b", "b"} << QByteArrayList{"b", "b"};
    QTest::newRow("letter case differs")
        << QByteArrayList{"Cam"} << QByteArrayList{"cam"} << QByteArrayList{"cam"};
    QTest::newRow("trailing blank differs")
        << QByteArrayList{"cam"} << QByteArrayList{"cam "} << QByteArrayList{"cam "};
    QTest::newRow("server order, not file order")
        << QByteArrayList{} << sorted({"k3", "k1"}) << QByteArrayList{"k1", "k3"};
    QTest::newRow("nothing new") << QByteArrayList{"a", "b"} << QByteArrayList{"b", "a"}
                                 << QByteArrayList{};
}

void TestSearchAndMerge::search()
{
    QFETCH(QByteArrayList, own);
    QFETCH(QByteArrayList, server);
    QFETCH(QByteArrayList, expected);
    auto search = std::make_unique<CamSearch>();
    {
        QByteArray ownFile = recordsOf(own);
        QByteArray serverFile = recordsOf(server);
        KeyList ownKeys(KeyList::Order::AsAdded);
        ownKeys.addAll(ownFile, pickKeys(ownFile));
        KeyList serverKeys(KeyList::Order::AsAdded);
        serverKeys.addAll(serverFile, pickKeys(serverFile));
        search->start(ownKeys, serverKeys);
        // The search shares the lists' bytes: the lists and every other owner may go.
        ownFile.fill('x');
        serverFile.fill('x');
    }
    while (!search->step([] { return false; })) {
    }
    QCOMPARE(search->settled(), server.size());
    QCOMPARE(search->progressValue(), std::max<qsizetype>(server.size() - 1, 0));
    const KeyList found = search->takeNewKeys();
    search.reset();
    QCOMPARE(found.toByteArrayList(), expected);
    // The new keys are the server list's own lines, each with its detail line.
    for (qsizetype i = 0; i < found.count(); ++i)
        QCOMPARE(found.detail(i).value_or("(none)"), "d:" + found.item(i).toByteArray());
}

void TestSearchAndMerge::searchComparesBytes()
{
    const QByteArray nul("cam\0one", 7);
    const QByteArray nulOther("cam\0two", 7);
    const QByteArray high("caf\xe9");
    const QByteArray highUpper("CAF\xc9");
    const QByteArray huge(1 << 20, 'h');
    QByteArray hugeButLast = huge;
    hugeButLast[hugeButLast.size() - 1] = 'i';
    QCOMPARE(searchAll({nul, high, huge}, {nulOther, nul, highUpper, high, hugeButLast, huge}),
             (QByteArrayList{nulOther, highUpper, hugeButLast}));
}

// However the work is cut into steps, the result is the same.
void TestSearchAndMerge::searchInSlicesGivesTheSameResult()
{
    QByteArrayList own;
    QByteArrayList server;
    for (int i = 0; i < 5'000; ++i) {
        server.append("cam" + QByteArray::number(i));
        if (i % 3 == 0)
            own.append("cam" + QByteArray::number(i));
    }
    own = sorted(own);
    server = sorted(server);
    const QByteArrayList whole = searchAll(own, server);
    QCOMPARE(whole.size(), 5'000 - 1'667);

    CamSearch search;
    search.start(listOf(own), listOf(server));
    QByteArrayList pieces;
    int steps = 0;
    qsizetype lastSettled = 0;
    bool ended = false;
    while (!ended) {
        ended = search.step([] { return true; });
        pieces += search.takeNewKeys().toByteArrayList();
        QVERIFY(search.settled() >= lastSettled);
        QVERIFY(search.progressValue() < server.size());
        lastSettled = search.settled();
        ++steps;
        QVERIFY(steps < 1'000);
    }
    QVERIFY(steps > 10);
    QCOMPARE(pieces, whole);
}

// A step asks the clock as it goes and stops soon after the time is up.
void TestSearchAndMerge::searchStepStopsWhenTimeIsUp()
{
    QByteArrayList server;
    for (int i = 0; i < 100'000; ++i)
        server.append("k" + QByteArray::number(i));
    CamSearch search;
    search.start(listOf({"k1"}), listOf(server));
    int asked = 0;
    QVERIFY(!search.step([&] { return ++asked >= 3; }));
    QCOMPARE(asked, 3);
    QVERIFY(search.settled() > 0);
    QVERIFY(search.settled() < 2'000);
}

// An index that takes room as distinct keys come, and regrows many times on the way, finds
// each key where one that took room for all of them at once finds it.
void TestSearchAndMerge::indexThatGrowsFindsWhatAFullOneFinds()
{
    QByteArrayList keys;
    for (int i = 0; i < 20'000; ++i)
        keys.append("k" + QByteArray::number(i < 10'000 ? i / 3 : (i * 7919) % 4'000));
    const QList<QByteArrayView> views = viewsOf(keys);
    KeyIndex full;
    KeyIndex growing;
    full.reset(views, KeyIndex::Room::ForAll);
    growing.reset(views, KeyIndex::Room::AsNeeded);
    QVERIFY(growing.slotCount() < full.slotCount());
    for (qsizetype from = 0; from < views.size(); from += KeyIndex::batchSize) {
        qsizetype fullFirst[KeyIndex::batchSize];
        qsizetype growingFirst[KeyIndex::batchSize];
        const qsizetype count = full.indexNext(KeyIndex::batchSize, fullFirst);
        QCOMPARE(growing.indexNext(KeyIndex::batchSize, growingFirst), count);
        for (qsizetype i = 0; i < count; ++i)
            QCOMPARE(growingFirst[i], fullFirst[i]);
    }
    QCOMPARE(growing.distinctCount(), 4'000);
    QCOMPARE(full.distinctCount(), 4'000);
    QVERIFY(growing.slotCount() < full.slotCount());
    const QByteArrayView wanted[] = {"k0", "k3333", "k3999", "k4000", "", "k1"};
    qsizetype fullAt[std::size(wanted)];
    qsizetype growingAt[std::size(wanted)];
    qsizetype slots[std::size(wanted)];
    full.find(wanted, std::size(wanted), fullAt);
    growing.find(wanted, std::size(wanted), growingAt);
    growing.findSlots(wanted, std::size(wanted), slots);
    for (size_t i = 0; i < std::size(wanted); ++i) {
        QCOMPARE(growingAt[i], fullAt[i]);
        QCOMPARE(slots[i] < 0 ? -1 : growing.positionIn(slots[i]), growingAt[i]);
    }
    QCOMPARE(fullAt[0], 0);
    QCOMPARE(fullAt[3], -1);
    QCOMPARE(fullAt[4], -1);
}

void TestSearchAndMerge::merge_data()
{
    QTest::addColumn<QByteArray>("copy");
    QTest::addColumn<QByteArrayList>("newKeys");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArrayList>("added");
    QTest::newRow("one record") << QByteArray("k1\r\nd1\r\nk3\r\nd3\r\n\r\n")
                                << QByteArrayList{"k3"} << QByteArray("k3\r\nd3\r\n")
                                << QByteArrayList{"k3"};
    QTest::newRow("first occurrence is a detail line")
        << QByteArray("a\r\nk3\r\nk3\r\nd3\r\n") << QByteArrayList{"k3"}
        << QByteArray("k3\r\nk3\r\n") << QByteArrayList{"k3"};
    QTest::newRow("key twice in the copy")
        << QByteArray("k\r\nfirst\r\nk\r\nsecond\r\n") << QByteArrayList{"k"}
        << QByteArray("k\r\nfirst\r\n") << QByteArrayList{"k"};
    QTest::newRow("duplicate new keys")
        << QByteArray("k\r\nd\r\n") << QByteArrayList{"k", "k"}
        << QByteArray("k\r\nd\r\nk\r\nd\r\n") << QByteArrayList{"k", "k"};
    QTest::newRow("key on the last line") << QByteArray("a\r\nb\r\nlast") << QByteArrayList{"last"}
                                          << QByteArray("last\r\n\r\n") << QByteArrayList{"last"};
    QTest::newRow("missing key adds nothing")
        << QByteArray("a\r\nb\r\n") << QByteArrayList{"gone", "a"} << QByteArray("a\r\nb\r\n")
        << QByteArrayList{"a"};
    QTest::newRow("keys in new-list order")
        << QByteArray("b\r\n2\r\na\r\n1\r\n") << QByteArrayList{"a", "b"}
        << QByteArray("a\r\n1\r\nb\r\n2\r\n") << QByteArrayList{"a", "b"};
    QTest::newRow("lone cr and lf inside") << QByteArray("x\ry\nz\r\nw") << QByteArrayList{"y\nz"}
                                           << QByteArray("y\nz\r\nw\r\n") << QByteArrayList{"y\nz"};
    QTest::newRow("empty detail line")
        << QByteArray("k\r\n\r\nz\r\nd\r\n") << QByteArrayList{"k", "z", "k"}
        << QByteArray("k\r\n\r\nz\r\nd\r\nk\r\n\r\n") << QByteArrayList{"k", "z", "k"};
    // Thousands of keys among a few hundred distinct ones, equal ones side by side and apart,
    // some not in the copy: the index regrows as they come, and each key still gets its own
    // first line's record.
    QByteArray copy;
    for (int i = 0; i < 300; i += 1 + (i % 7 == 0 ? 1 : 0))
        copy += "k" + QByteArray::number(i) + "\r\nd" + QByteArray::number(i) + "\r\n";
    QByteArrayList keys;
    QByteArray block;
    QByteArrayList added;
    for (int i = 0; i < 5'000; ++i) {
        // Runs of five equal keys first, then keys that come back far apart.
        const QByteArray n = QByteArray::number(i < 2'500 ? i / 5 % 300 : (i * 7) % 300);
        keys.append("k" + n);
        if (copy.contains("\nk" + n + "\r") || copy.startsWith("k" + n + "\r")) {
            block += "k" + n + "\r\nd" + n + "\r\n";
            added.append("k" + n);
        }
    }
    QVERIFY(added.size() < keys.size());
    QTest::newRow("many keys, few distinct") << copy << keys << block << added;
}

void TestSearchAndMerge::merge()
{
    QFETCH(QByteArray, copy);
    QFETCH(QByteArrayList, newKeys);
    QFETCH(QByteArray, block);
    QFETCH(QByteArrayList, added);
    KeyList addedKeys(KeyList::Order::AsAdded);
    {
        QByteArray copyBytes = copy;
        QByteArrayList keys = newKeys;
        const RecordMerge merge = RecordMerge::build(copyBytes, viewsOf(keys));
        QCOMPARE(merge.block, block);
        addedKeys = merge.addedKeys;
        copyBytes.fill('x');
        for (QByteArray& key : keys)
            key.fill('x');
    }
    // The added keys outlive the merge, and each carries the detail line written with it.
    QCOMPARE(addedKeys.toByteArrayList(), added);
    QByteArrayList details;
    for (qsizetype i = 0; i < addedKeys.count(); ++i)
        details.append(addedKeys.detail(i).value_or("(none)").toByteArray());
    QCOMPARE(details, detailLines(block));
}

void TestSearchAndMerge::appendCreatesAndExtends()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Cams.inf"));
    auto outcome = CamsFileAppender::append(path, "k1\r\nd1\r\n");
    QVERIFY2(outcome.ok(), qPrintable(outcome.text()));
    QCOMPARE(fileBytes(path), QByteArray("k1\r\nd1\r\n"));
    outcome = CamsFileAppender::append(path, "k2\r\nd2\r\n");
    QVERIFY(outcome.ok());
    QCOMPARE(fileBytes(path), QByteArray("k1\r\nd1\r\nk2\r\nd2\r\n"));
    // Nothing to add touches nothing, not even a missing file.
    QVERIFY(CamsFileAppender::append(dir.filePath(QStringLiteral("other")), {}).ok());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("other"))));
}

void TestSearchAndMerge::appendClosesAnOpenRecord()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Cams.inf"));
    const QByteArray old("k1\r\nd1\r\nk2");
    QVERIFY(writeFile(path, old));
    QVERIFY(CamsFileAppender::append(path, "k3\r\nd3\r\n").ok());
    const QByteArray now = fileBytes(path);
    QVERIFY(now.startsWith(old));
    KeyList keys(KeyList::Order::AsAdded);
    keys.addAll(now, pickKeys(now));
    QCOMPARE(keys.toByteArrayList(), (QByteArrayList{"k1", "k2", "k3"}));
}

namespace {

// Sets or clears the file system's append-only flag; false where that is not allowed.
bool setAppendOnly(const QString& path, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

} // namespace

// Disk full, seen as a file-size limit: the file keeps exactly its old bytes. When cutting it
// back fails too, the user must not read that the list is as it was.
void TestSearchAndMerge::appendFailingWriteLeavesTheFileAsItWas()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Cams.inf"));
    // Longer than the add's journal, so the limit is reached by the records themselves.
    const QByteArray old = recordsOf({"k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8"});
    QVERIFY(writeFile(path, old));
    // Appending works on an append-only file; cutting it back does not.
    const QString stuck = dir.filePath(QStringLiteral("append-only.inf"));
    QVERIFY(writeFile(stuck, old));
    const bool appendOnly = setAppendOnly(stuck, true);

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(old.size() + 10);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QByteArray records = QByteArray(1'000, 'n') + "\r\nd\r\n";
    const auto outcome = CamsFileAppender::append(path, records);
    const auto fresh =
        CamsFileAppender::append(dir.filePath(QStringLiteral("new.inf")), QByteArray(100, 'n'));
    const auto notUndone = CamsFileAppender::append(stuck, records);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
    if (appendOnly)
        QVERIFY(setAppendOnly(stuck, false));

    QVERIFY(!outcome.ok());
    QVERIFY(CamsFileAppender::leftAsItWas(outcome.code()));
    QVERIFY2(outcome.text().contains(path), qPrintable(outcome.text()));
    // The system's own reason, not a vague one: the user must know what to mend.
    QVERIFY2(outcome.text().contains(QStringLiteral("File too large")), qPrintable(outcome.text()));
    QCOMPARE(fileBytes(path), old);
    QVERIFY(!QFile::exists(path + QStringLiteral("-journal")));
    QVERIFY(!fresh.ok());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("new.inf"))));
    if (!appendOnly)
        QSKIP("the append-only flag needs root on a file system that has it");
    QVERIFY(!notUndone.ok());
    QVERIFY(!CamsFileAppender::leftAsItWas(notUndone.code()));
    QVERIFY2(notUndone.text().contains(QStringLiteral("could not be cut back")),
             qPrintable(notUndone.text()));
    QVERIFY2(notUndone.text().contains(QStringLiteral("10 bytes")), qPrintable(notUndone.text()));
    QCOMPARE(QFileInfo(stuck).size(), old.size() + 10);
}

void TestSearchAndMerge::appendToUnwritableFileChangesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A directory in the file's place.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Cams.inf")));
    auto outcome = CamsFileAppender::append(dir.filePath(QStringLiteral("Cams.inf")), "k\r\nd\r\n");
    QVERIFY(!outcome.ok());
    QVERIFY(!outcome.text().isEmpty());

    // A read-only file; root ignores file modes, so the write is tried as nobody.
    const QString path = dir.filePath(QStringLiteral("ro.inf"));
    const QByteArray old("k1\r\nd1\r\n");
    QVERIFY(writeFile(path, old));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther |
                                                  QFile::ReadOther));
    const bool root = geteuid() == 0;
    if (root)
        QCOMPARE(seteuid(65534), 0);
    outcome = CamsFileAppender::append(path, "k2\r\nd2\r\n");
    if (root)
        QCOMPARE(seteuid(0), 0);
    QVERIFY(!outcome.ok());
    QVERIFY2(outcome.text().contains(QStringLiteral("Permission denied")),
             qPrintable(outcome.text()));
    QCOMPARE(fileBytes(path), old);
}

void TestSearchAndMerge::appendLeavesOutWhatTheFileAlreadyHolds_data()
{
    QTest::addColumn<QByteArray>("now");        // the file when the append comes
    QTest::addColumn<QByteArray>("readBefore"); // what it held when the cams were chosen
    QTest::addColumn<QList<qsizetype>>("written");
    QTest::addColumn<QByteArray>("after");
    const QByteArray records("k2\r\nd2\r\nk3\r\nd3\r\nk3\r\nd3b\r\n");
    QTest::addColumn<QByteArray>("records");
    const QByteArray k1("k1\r\nd1\r\n");
    const QByteArray k2("k2\r\nd2\r\n");
    const QByteArray k3s("k3\r\nd3\r\nk3\r\nd3b\r\n");
    // Duplicates among this run's own new cams still go in, as the search found them.
    QTest::newRow("another run added one")
        << k1 + k2 << k1 << QList<qsizetype>{1, 2} << k1 + k2 + k3s << records;
    QTest::newRow("nothing known before")
        << k1 + k2 << QByteArray() << QList<qsizetype>{1, 2} << k1 + k2 + k3s << records;
    QTest::newRow("list rewritten since")
        << k2 + k1 << k1 << QList<qsizetype>{1, 2} << k2 + k1 + k3s << records;
    QTest::newRow("its last key written on since")
        << k1 + k2 << QByteArray("k1\r\nd1\r\nk") << QList<qsizetype>{1, 2} << k1 + k2 + k3s
        << records;
    // The records around one already there go in as they are, without it.
    QTest::newRow("another run added one in the middle")
        << k1 + k3s.first(8) << k1 << QList<qsizetype>{0, 3}
        << k1 + k3s.first(8) + k2 + "k4\r\nd4\r\n"
        << k2 + k3s + "k4\r\nd4\r\n";
    QTest::newRow("unchanged since")
        << k1 << k1 << QList<qsizetype>{0, 1, 2} << k1 + records << records;
    // Everything already there: nothing is written, not even a boundary.
    QTest::newRow("all there already") << QByteArray("k1\r\nd1") << QByteArray()
                                       << QList<qsizetype>{} << QByteArray("k1\r\nd1") << k1;
}

void TestSearchAndMerge::appendLeavesOutWhatTheFileAlreadyHolds()
{
    QFETCH(QByteArray, now);
    QFETCH(QByteArray, readBefore);
    QFETCH(QList<qsizetype>, written);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, records);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Cams.inf"));
    QVERIFY(writeFile(path, now));
    const auto outcome = CamsFileAppender::append(path, records, readBefore);
    QVERIFY2(outcome.ok(), qPrintable(outcome.text()));
    QCOMPARE(outcome.value().written(), written);
    QCOMPARE(fileBytes(path), after);
}

namespace {

enum class Fault {
    TempLinksToOwn,
    TempHardLinkToOwn,
    TempLinksOutside,
    TempDangles,
    TempIsAFolder,
    OwnIsAFifo,
    OwnLinksToADevice,
    OwnLinksOutside,
    OwnDangles,
    OwnIsLocked,
};

constexpr char ownBytes[] = "own\r\nown detail\r\n";
constexpr char outsideBytes[] = "someone else's file\r\n";

} // namespace

// A working folder whose names are links, special files or held by another program: the
// server copy is put in place without writing through anything, the own list is read only
// when it is a regular file, and the append changes nothing but the real list.
void TestSearchAndMerge::folderFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("copyError"); // empty: the copy is saved
    QTest::addColumn<QByteArrayList>("ownKeys");
    QTest::addColumn<QString>("appendError"); // empty: the record is appended
    // What the list file (a link's target, where Cams.inf is one) holds afterwards.
    QTest::addColumn<QByteArray>("ownAfter");
    const QByteArray own(ownBytes);
    const QByteArray added = own + "new\r\nnew detail\r\n";
    const QByteArrayList ownKeys{"own"};
    const QString notRegular = QStringLiteral("Cams.inf could not be updated: Not a regular file");

    QTest::newRow("temp.tmp links to Cams.inf")
        << int(Fault::TempLinksToOwn) << QString() << ownKeys << QString() << added;
    QTest::newRow("temp.tmp is a hard link to Cams.inf")
        << int(Fault::TempHardLinkToOwn) << QString() << ownKeys << QString() << added;
    QTest::newRow("temp.tmp links outside")
        << int(Fault::TempLinksOutside) << QString() << ownKeys << QString() << added;
    QTest::newRow("temp.tmp dangles")
        << int(Fault::TempDangles) << QString() << ownKeys << QString() << added;
    QTest::newRow("temp.tmp is a folder")
        << int(Fault::TempIsAFolder) << QStringLiteral("Is a directory") << ownKeys << QString()
        << added;
    QTest::newRow("Cams.inf is a FIFO")
        << int(Fault::OwnIsAFifo) << QString() << QByteArrayList() << notRegular << QByteArray();
    QTest::newRow("Cams.inf links to a device") << int(Fault::OwnLinksToADevice) << QString()
                                                << QByteArrayList() << notRegular << QByteArray();
    QTest::newRow("Cams.inf links to a list elsewhere")
        << int(Fault::OwnLinksOutside) << QString() << ownKeys << QString() << added;
    QTest::newRow("Cams.inf dangles")
        << int(Fault::OwnDangles) << QString() << QByteArrayList()
        << QStringLiteral("Cams.inf could not be updated: No such file or directory")
        << QByteArray();
    QTest::newRow("Cams.inf is locked by another run")
        << int(Fault::OwnIsLocked) << QString() << ownKeys
        << QStringLiteral("Cams.inf is being updated by another program") << own;
}

void TestSearchAndMerge::folderFaults()
{
    QFETCH(int, fault);
    QFETCH(QString, copyError);
    QFETCH(QByteArrayList, ownKeys);
    QFETCH(QString, appendError);
    QFETCH(QByteArray, ownAfter);

    QTemporaryDir work;
    QTemporaryDir elsewhere;
    QVERIFY(work.isValid() && elsewhere.isValid());
    const QString outside = elsewhere.filePath(QStringLiteral("outside.txt"));
    const QString synced = elsewhere.filePath(QStringLiteral("synced.inf"));
    QVERIFY(writeFile(outside, outsideBytes));
    QVERIFY(QDir::setCurrent(work.path()));
    const QString temp = ListFiles::tempFile();
    const QString ownName = ListFiles::ownFile();
    // Where the list really lives: Cams.inf itself, or the file it links to.
    QString list = ownName;
    int lockFd = -1;

    switch (static_cast<Fault>(fault)) {
    case Fault::TempLinksToOwn:
        QVERIFY(writeFile(ownName, ownBytes) && QFile::link(ownName, temp));
        break;
    case Fault::TempHardLinkToOwn:
        QVERIFY(writeFile(ownName, ownBytes));
        QCOMPARE(::link("Cams.inf", "temp.tmp"), 0);
        break;
    case Fault::TempLinksOutside:
        QVERIFY(writeFile(ownName, ownBytes) && QFile::link(outside, temp));
        break;
    case Fault::TempDangles:
        QVERIFY(writeFile(ownName, ownBytes) && QFile::link(synced, temp));
        break;
    case Fault::TempIsAFolder:
        QVERIFY(writeFile(ownName, ownBytes) && QDir().mkdir(temp));
        break;
    case Fault::OwnIsAFifo:
        QCOMPARE(::mkfifo("Cams.inf", 0600), 0);
        list.clear(); // reading it to check would block the test itself
        break;
    case Fault::OwnLinksToADevice:
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), ownName));
        list.clear();
        break;
    case Fault::OwnLinksOutside:
        QVERIFY(writeFile(synced, ownBytes) && QFile::link(synced, ownName));
        list = synced;
        break;
    case Fault::OwnDangles:
        QVERIFY(QFile::link(synced, ownName));
        list = synced;
        break;
    case Fault::OwnIsLocked:
        QVERIFY(writeFile(ownName, ownBytes));
        lockFd = ::open("Cams.inf", O_RDONLY | O_CLOEXEC);
        QCOMPARE(::flock(lockFd, LOCK_EX), 0);
        break;
    }

    const Result<> copied = ListFiles::writeServerCopy(temp, "new\r\nnew detail");
    QCOMPARE(copied.text(), copyError);
    if (copied.ok()) {
        const QFileInfo copy(temp);
        QVERIFY(copy.isFile() && !copy.isSymLink());
        QCOMPARE(fileBytes(temp), QByteArray("new\r\nnew detail\r\n"));
    }

    QElapsedTimer clock;
    clock.start();
    const Result<QByteArray> read = ListFiles::read(ownName, ListFiles::ownListLimit);
    QCOMPARE(read.ok() ? keysOfListFile(read.value()).toByteArrayList() : QByteArrayList(),
             ownKeys);
    const auto appended = CamsFileAppender::append(ownName, "new\r\nnew detail\r\n", {},
                                                   std::chrono::milliseconds(100));
    // A FIFO or a device must never hold the program up.
    QVERIFY(clock.elapsed() < 5'000);
    if (lockFd >= 0)
        ::close(lockFd);
    QVERIFY2(appendError.isEmpty() ? appended.ok() : appended.text().startsWith(appendError),
             qPrintable(appended.text()));
    QCOMPARE(appended.code() == CamsFileAppender::Refusal::Busy,
             static_cast<Fault>(fault) == Fault::OwnIsLocked);
    // No fault leaves the list changed: the add works, or leaves it as it was.
    QVERIFY(appended.ok() || CamsFileAppender::leftAsItWas(appended.code()));

    QCOMPARE(fileBytes(outside), QByteArray(outsideBytes));
    if (!list.isEmpty())
        QCOMPARE(QFile::exists(list) ? fileBytes(list) : QByteArray(), ownAfter);
    // Nothing is left over beside the two list files (and the folder standing as temp.tmp).
    const QStringList names =
        QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    for (const QString& name : names)
        QVERIFY2(name == temp || name == ownName, qPrintable(name));
    QVERIFY(QDir::setCurrent(QDir::tempPath()));
}

using RunStates = QList<UpdateRun::State>;

// The run moves only forward through its states, and a step asked for out of turn does nothing.
void TestSearchAndMerge::runStates_data()
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
        << QByteArray() << false << RunStates{S::Loading, S::NoListReceived, S::Ended}
        << QByteArrayList{} << QByteArray() << u"The server's list holds no cams."_qs;
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

void TestSearchAndMerge::runStates()
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
    run.resumeReview();
    run.leave();
    QCOMPARE(run.state(), UpdateRun::State::Waiting);
    run.loadLists(serverText);
    QTRY_VERIFY(run.state() != UpdateRun::State::Loading);
    run.startSearch();
    run.setSearchSlice(std::chrono::milliseconds(0));
    for (int steps = 0; run.state() == UpdateRun::State::Searching && steps < 100; ++steps)
        run.searchStep();
    QCOMPARE(foundKeys, run.newKeys().toByteArrayList());

    const bool offered = run.state() == UpdateRun::State::Reviewing;
    run.addNewCams();
    QTRY_VERIFY(run.state() != UpdateRun::State::Adding);
    QCOMPARE(run.state() == UpdateRun::State::AddEnded, offered);
    QCOMPARE(offered && run.addResult().ok(), offered);
    QCOMPARE(offered ? run.addResult().value().toByteArrayList() : QByteArrayList(), added);
    QCOMPARE(run.newKeys().count(), 0);
    run.resumeReview();
    run.end();
    // Once ended, nothing asked of the run does anything, and nothing comes back later.
    run.end();
    run.loadLists(serverText);
    run.startSearch();
    run.addNewCams();
    run.resumeReview();
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

QTEST_GUILESS_MAIN(TestSearchAndMerge)
#include "tst_search_and_merge.moc"
