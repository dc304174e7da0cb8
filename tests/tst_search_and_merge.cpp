// The search for new cams, the merge of their records, and the safe append to the own list.
#include "camsearch.h"
#include "camsfileappender.h"
#include "keylist.h"
#include "keypicking.h"
#include "linereader.h"
#include "listfiles.h"
#include "recordmerge.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
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
    void merge_data();
    void merge();
    void appendCreatesAndExtends();
    void appendClosesAnOpenRecord();
    void appendFailingWriteLeavesTheFileAsItWas();
    void appendToUnwritableFileChangesNothing();
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
    CamsFileAppender::Outcome outcome = CamsFileAppender::append(path, "k1\r\nd1\r\n");
    QVERIFY2(outcome.ok, qPrintable(outcome.error));
    QCOMPARE(fileBytes(path), QByteArray("k1\r\nd1\r\n"));
    outcome = CamsFileAppender::append(path, "k2\r\nd2\r\n");
    QVERIFY(outcome.ok);
    QCOMPARE(fileBytes(path), QByteArray("k1\r\nd1\r\nk2\r\nd2\r\n"));
    // Nothing to add touches nothing, not even a missing file.
    QVERIFY(CamsFileAppender::append(dir.filePath(QStringLiteral("other")), {}).ok);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("other"))));
}

void TestSearchAndMerge::appendClosesAnOpenRecord()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Cams.inf"));
    const QByteArray old("k1\r\nd1\r\nk2");
    QVERIFY(writeFile(path, old));
    QVERIFY(CamsFileAppender::append(path, "k3\r\nd3\r\n").ok);
    const QByteArray now = fileBytes(path);
    QVERIFY(now.startsWith(old));
    KeyList keys(KeyList::Order::AsAdded);
    keys.addAll(now, pickKeys(now));
    QCOMPARE(keys.toByteArrayList(), (QByteArrayList{"k1", "k2", "k3"}));
}

// Disk full, seen as a file-size limit: the file keeps exactly its old bytes.
void TestSearchAndMerge::appendFailingWriteLeavesTheFileAsItWas()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Cams.inf"));
    const QByteArray old("k1\r\nd1\r\n");
    QVERIFY(writeFile(path, old));

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = static_cast<rlim_t>(old.size() + 10);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const CamsFileAppender::Outcome outcome =
        CamsFileAppender::append(path, QByteArray(1'000, 'n') + "\r\nd\r\n");
    const CamsFileAppender::Outcome fresh =
        CamsFileAppender::append(dir.filePath(QStringLiteral("new.inf")), QByteArray(100, 'n'));
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);

    QVERIFY(!outcome.ok);
    QVERIFY2(outcome.error.contains(path), qPrintable(outcome.error));
    // The system's own reason, not a vague one: the user must know what to mend.
    QVERIFY2(outcome.error.contains(QStringLiteral("File too large")), qPrintable(outcome.error));
    QCOMPARE(fileBytes(path), old);
    QVERIFY(!fresh.ok);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("new.inf"))));
}

void TestSearchAndMerge::appendToUnwritableFileChangesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A directory in the file's place.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Cams.inf")));
    CamsFileAppender::Outcome outcome =
        CamsFileAppender::append(dir.filePath(QStringLiteral("Cams.inf")), "k\r\nd\r\n");
    QVERIFY(!outcome.ok);
    QVERIFY(!outcome.error.isEmpty());

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
    QVERIFY(!outcome.ok);
    QVERIFY2(outcome.error.contains(QStringLiteral("Permission denied")),
             qPrintable(outcome.error));
    QCOMPARE(fileBytes(path), old);
}

QTEST_GUILESS_MAIN(TestSearchAndMerge)
#include "tst_search_and_merge.moc"
