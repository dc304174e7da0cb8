// The journal of an add: where a crash can stop an add, what the next start makes of what it
// left, the ends of an add that another program interferes with, and scratch files left over.
#include "addjournal.h"
#include "blockchecksums.h"
#include "camsfileappender.h"
#include "filereplacer.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

using Step = CamsFileAppender::Step;
using Found = AddJournal::Found;

class TestAddJournal final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { std::signal(SIGXFSZ, SIG_IGN); }
    void init();
    void cleanup() { QDir::setCurrent(QDir::tempPath()); }
    void checksums();
    void interruptions_data();
    void interruptions();
    void recoveryStates_data();
    void recoveryStates();
    void interferedAdds_data();
    void interferedAdds();
    void scratchLeftovers_data();
    void scratchLeftovers();

private:
    // In here, as result.h has a Done of its own outside.
    using Done = AddJournal::Done;

    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

const QString list = QStringLiteral("Cams.inf");
const QString journal = QStringLiteral("Cams.inf-journal");

// count records of about 43 bytes: over a megabyte and a half for 40,000, so an add of them
// is written in more than one stretch.
QByteArray manyRecords(int count)
{
    QByteArray records;
    for (int i = 0; i < count; ++i)
        records += "cam" + QByteArray::number(i) + "\r\nhttp://cams.example/" +
                   QByteArray::number(i) + ".jpg\r\n";
    return records;
}

// An old list that ends inside a chunk and lacks its last line end, so the add writes a
// boundary first.
const QByteArray oldList = "own\r\nhttp://own.example/1.jpg\r\nlonely";

// The add stopped at the step, the first time it comes, as a kill there would stop it.
Result<CamsFileAppender::Appended, CamsFileAppender::Refusal>
addStoppedAt(const QByteArray& records, Step stop)
{
    return CamsFileAppender::append(list, records, {}, CamsFileAppender::defaultLockWait,
                                    [stop](Step step) { return step == stop; });
}

// What a whole add of the records to the old list leaves.
QByteArray wholeAdd(const QByteArray& old, const QByteArray& records)
{
    QTemporaryDir other;
    const QString path = other.filePath(list);
    if (!old.isNull())
        writeFile(path, old);
    [[maybe_unused]] const auto added = CamsFileAppender::append(path, records);
    return fileBytes(path);
}

} // namespace

void TestAddJournal::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid() && QDir::setCurrent(m_dir->path()));
}

void TestAddJournal::checksums()
{
    QCOMPARE(crc32(0, "123456789"), 0xe3069283u);
    QCOMPARE(crc32ByTables(0, "123456789"), 0xe3069283u);
    const QByteArray bytes = manyRecords(300);
    QCOMPARE(crc32ByTables(crc32(0, bytes.first(13)), bytes.sliced(13)), crc32(0, bytes));
    QCOMPARE(crc32Combine(crc32(0, bytes.first(1000)), crc32(0, bytes.sliced(1000)),
                          bytes.size() - 1000),
             crc32(0, bytes));
    // Chunks end on the file's 4 KiB boundaries, however the bytes come.
    constexpr qint64 offset = 4000;
    BlockChecksums whole(offset);
    whole.add(bytes);
    whole.finish();
    BlockChecksums inPieces(offset);
    for (qsizetype at = 0; at < bytes.size(); at += 7)
        inPieces.add(QByteArrayView(bytes).sliced(at, std::min<qsizetype>(7, bytes.size() - at)));
    inPieces.finish();
    QCOMPARE(whole.chunks(), inPieces.chunks());
    QCOMPARE(whole.whole(), crc32(0, bytes));
    QCOMPARE(qint64(whole.chunks().size()), BlockChecksums::chunkCount(offset, bytes.size()));
    QCOMPARE(whole.chunks()[0], crc32(0, bytes.first(96)));
    QCOMPARE(whole.chunks()[1], crc32(0, bytes.sliced(96, 4096)));
}

// Stopped at each point where a crash leaves a state of its own, the next start finds the old
// bytes or the old bytes and the whole block, and says so.
void TestAddJournal::interruptions_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("old"); // null: no list before the add
    QTest::addColumn<bool>("journalLeft");
    QTest::addColumn<int>("found");
    QTest::addColumn<bool>("addKept");
    QTest::newRow("before the journal is whole")
        << int(Step::JournalHeaderWritten) << oldList << true << int(Found::TornJournal) << false;
    QTest::newRow("after the journal")
        << int(Step::JournalWritten) << oldList << true << int(Found::NothingWritten) << false;
    QTest::newRow("in the middle of the block")
        << int(Step::PartOfBlockWritten) << oldList << true << int(Found::TornBlock) << false;
    QTest::newRow("in the middle of a new list")
        << int(Step::PartOfBlockWritten) << QByteArray() << true << int(Found::TornBlock) << false;
    QTest::newRow("after the block")
        << int(Step::BlockWritten) << oldList << true << int(Found::WholeBlock) << true;
    QTest::newRow("after the journal is removed")
        << int(Step::JournalRemoved) << oldList << false << int(Found::None) << true;
}

void TestAddJournal::interruptions()
{
    QFETCH(int, step);
    QFETCH(QByteArray, old);
    QFETCH(bool, journalLeft);
    QFETCH(int, found);
    QFETCH(bool, addKept);
    if (!old.isNull())
        QVERIFY(writeFile(list, old));
    const QByteArray records = manyRecords(40'000);
    QVERIFY(!addStoppedAt(records, Step(step)).ok());
    QCOMPARE(QFile::exists(journal), journalLeft);
    if (step == int(Step::PartOfBlockWritten)) {
        const qint64 size = QFileInfo(list).size();
        QVERIFY(size > old.size() && size < wholeAdd(old, records).size());
    }

    const AddJournal::Recovery recovery = AddJournal::recover(list);
    QCOMPARE(int(recovery.found), found);
    QCOMPARE(recovery.text.isEmpty(), !journalLeft);
    QVERIFY(recovery.done != Done::JournalKept);
    QVERIFY(!QFile::exists(journal));
    const QByteArray expected = addKept ? wholeAdd(old, records) : old.isNull() ? "" : old;
    QCOMPARE(fileBytes(list), expected);
    // Settled once: the next start finds nothing, and adds go on as usual.
    QCOMPARE(AddJournal::recover(list).found, Found::None);
    QVERIFY(CamsFileAppender::append(list, "z\r\nd\r\n").ok());
    QCOMPARE(fileBytes(list), wholeAdd(expected.isEmpty() ? QByteArray() : expected, "z\r\nd\r\n"));
}

namespace {

enum class Shape {
    TornAtAChunk,
    WholeBlock,
    WholeBlockThenOthers,
    OthersInsteadOfTheBlock,
    OldBytesCut,
    JournalCut,
    JournalIsALink,
    ListLockedByAnotherRun,
    ListGone,
};

} // namespace

// What the next start makes of each state an add can be found in: it cuts only a block it can
// prove torn, keeps everything else, and leaves the journal where it proves nothing.
void TestAddJournal::recoveryStates_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("found");
    QTest::addColumn<int>("done");
    QTest::addColumn<QString>("said");
    const QString kept = QStringLiteral("Nothing was changed");
    QTest::newRow("torn block") << int(Shape::TornAtAChunk) << int(Found::TornBlock)
                                << int(Done::BlockCut) << QStringLiteral("were cut off");
    QTest::newRow("whole block") << int(Shape::WholeBlock) << int(Found::WholeBlock)
                                 << int(Done::JournalRemoved) << QStringLiteral("whole");
    QTest::newRow("whole block, then another program's bytes")
        << int(Shape::WholeBlockThenOthers) << int(Found::WholeBlock) << int(Done::JournalRemoved)
        << QStringLiteral("The 10 bytes after them were written by another program");
    QTest::newRow("another program's bytes instead of the block")
        << int(Shape::OthersInsteadOfTheBlock) << int(Found::OtherBytes) << int(Done::JournalKept)
        << kept;
    QTest::newRow("old bytes cut") << int(Shape::OldBytesCut) << int(Found::OtherBytes)
                                   << int(Done::JournalKept) << QStringLiteral("changed it since");
    QTest::newRow("torn journal") << int(Shape::JournalCut) << int(Found::TornJournal)
                                  << int(Done::JournalRemoved) << QStringLiteral("not changed");
    QTest::newRow("journal is a link") << int(Shape::JournalIsALink) << int(Found::Unusable)
                                       << int(Done::JournalKept) << QStringLiteral("left alone");
    QTest::newRow("list locked by another run")
        << int(Shape::ListLockedByAnotherRun) << int(Found::InUse) << int(Done::Nothing)
        << QString();
    QTest::newRow("list gone") << int(Shape::ListGone) << int(Found::ListGone)
                               << int(Done::JournalRemoved) << QStringLiteral("not there");
}

void TestAddJournal::recoveryStates()
{
    QFETCH(int, shape);
    QFETCH(int, found);
    QFETCH(int, done);
    QFETCH(QString, said);
    QVERIFY(writeFile(list, oldList));
    const QByteArray records = manyRecords(300); // about 13 KiB: four chunks
    const QByteArray block = wholeAdd(oldList, records).sliced(oldList.size());
    QVERIFY(!addStoppedAt(records, Step::JournalWritten).ok());
    const QByteArray others("others\r\n\r\n");
    // The block's first chunk ends on the file's first 4 KiB boundary.
    const QByteArray torn = block.first(4096 - oldList.size());
    QByteArray now = oldList;
    int lockFd = -1;
    switch (Shape(shape)) {
    case Shape::TornAtAChunk:
        now += torn;
        break;
    case Shape::WholeBlock:
        now += block;
        break;
    case Shape::WholeBlockThenOthers:
        now += block + others;
        break;
    case Shape::OthersInsteadOfTheBlock:
        now += others + block;
        break;
    case Shape::OldBytesCut:
        now.chop(1);
        break;
    case Shape::JournalCut:
        QVERIFY(writeFile(journal, fileBytes(journal).chopped(3)));
        now += torn; // not the add's: an add begins only once its journal is whole
        break;
    case Shape::JournalIsALink:
        QVERIFY(QFile::rename(journal, QStringLiteral("elsewhere")));
        QVERIFY(QFile::link(QStringLiteral("elsewhere"), journal));
        now += torn;
        break;
    case Shape::ListLockedByAnotherRun:
        now += torn;
        lockFd = ::open("Cams.inf", O_RDONLY | O_CLOEXEC);
        QCOMPARE(::flock(lockFd, LOCK_EX), 0);
        break;
    case Shape::ListGone:
        break;
    }
    if (Shape(shape) == Shape::ListGone)
        QVERIFY(QFile::remove(list));
    else
        QVERIFY(writeFile(list, now));

    const AddJournal::Recovery recovery = AddJournal::recover(list);
    QCOMPARE(int(recovery.found), found);
    QCOMPARE(int(recovery.done), done);
    QVERIFY2(recovery.text.contains(said), qPrintable(recovery.text));
    QCOMPARE(QFileInfo(journal).exists() || QFileInfo(journal).isSymLink(),
             recovery.done == Done::JournalKept || recovery.done == Done::Nothing);
    const QByteArray after = recovery.done == Done::BlockCut ? oldList : now;
    if (Shape(shape) != Shape::ListGone)
        QCOMPARE(fileBytes(list), after);
    if (Shape(shape) == Shape::JournalIsALink)
        QVERIFY(QFile::exists(QStringLiteral("elsewhere")));

    // An add settles the journal under the lock as the start does, or refuses to add after
    // what it cannot settle.
    if (lockFd >= 0)
        ::close(lockFd);
    const auto added = CamsFileAppender::append(list, "z\r\nd\r\n");
    if (recovery.done == Done::JournalKept) {
        QVERIFY(!added.ok());
        QVERIFY2(added.text().contains(QStringLiteral("could not be settled")),
                 qPrintable(added.text()));
        QCOMPARE(fileBytes(list), after);
    } else {
        QVERIFY2(added.ok(), qPrintable(added.text()));
        const QByteArray settled = Shape(shape) == Shape::ListLockedByAnotherRun ? oldList : after;
        QCOMPARE(fileBytes(list),
                 wholeAdd(Shape(shape) == Shape::ListGone ? QByteArray() : settled, "z\r\nd\r\n"));
        QVERIFY(!QFile::exists(journal));
    }
}

namespace {

enum class Interference { ReplacedAfterTheLock, AppendedBeforeAFailedWrite };

} // namespace

// Another program replaces or writes to the list while an add runs: the outcome says where the
// records went, and an undo never cuts what is not its own.
void TestAddJournal::interferedAdds_data()
{
    QTest::addColumn<int>("interference");
    QTest::addColumn<QString>("said");
    QTest::newRow("replaced after the lock")
        << int(Interference::ReplacedAfterTheLock)
        << QStringLiteral("Cams.inf was replaced by another program while the new cams were "
                          "added: they went into the file that was replaced");
    QTest::newRow("appended to before a failed write")
        << int(Interference::AppendedBeforeAFailedWrite)
        << QStringLiteral("Another program has written to it meanwhile, so nothing was cut");
}

void TestAddJournal::interferedAdds()
{
    QFETCH(int, interference);
    QFETCH(QString, said);
    QVERIFY(writeFile(list, oldList));
    QCOMPARE(::link("Cams.inf", "written.inf"), 0); // the file the add writes, by another name
    const QByteArray records = manyRecords(100);
    const QByteArray others("others\r\nx\r\n");
    const QByteArray replacement("replacement\r\nx\r\n");
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto interfere = [&](Step step) {
        if (step != Step::JournalWritten)
            return false;
        if (Interference(interference) == Interference::ReplacedAfterTheLock) {
            writeFile(QStringLiteral("new.inf"), replacement);
            ::rename("new.inf", "Cams.inf");
            return false;
        }
        QFile file(list);
        file.open(QIODevice::Append);
        file.write(others);
        file.close();
        rlimit small = saved;
        small.rlim_cur = static_cast<rlim_t>(oldList.size() + others.size() + 100);
        setrlimit(RLIMIT_FSIZE, &small);
        return false;
    };
    const auto outcome =
        CamsFileAppender::append(list, records, {}, CamsFileAppender::defaultLockWait, interfere);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
    // A failure carries no records written.
    QVERIFY(!outcome.ok());
    QVERIFY(!CamsFileAppender::leftAsItWas(outcome.code()));
    QVERIFY2(outcome.text().contains(said), qPrintable(outcome.text()));
    if (Interference(interference) == Interference::ReplacedAfterTheLock) {
        QCOMPARE(outcome.code(), CamsFileAppender::Refusal::Replaced);
        QCOMPARE(fileBytes(list), replacement);
        QCOMPARE(fileBytes(QStringLiteral("written.inf")), wholeAdd(oldList, records));
        QVERIFY(!QFile::exists(journal));
    } else {
        QVERIFY(outcome.code() != CamsFileAppender::Refusal::Replaced);
        QCOMPARE(fileBytes(list),
                 oldList + others + wholeAdd(oldList, records).mid(oldList.size(), 100));
        // The next start finds bytes that are not the add's, and changes nothing either.
        QCOMPARE(AddJournal::recover(list).found, Found::OtherBytes);
    }
}

namespace {

enum class Leftover { Own, HeldByARunningReplace, Link, OtherName, OtherUser };

} // namespace

// Only the server copy's own scratch files, regular, the user's, and not in use, are removed.
void TestAddJournal::scratchLeftovers_data()
{
    QTest::addColumn<int>("leftover");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("removed");
    QTest::newRow("left by a killed run") << int(Leftover::Own) << "temp.tmp.aZ09xQ" << true;
    QTest::newRow("held by a replace going on")
        << int(Leftover::HeldByARunningReplace) << "temp.tmp.aZ09xQ" << false;
    QTest::newRow("a link") << int(Leftover::Link) << "temp.tmp.aZ09xQ" << false;
    QTest::newRow("five characters") << int(Leftover::OtherName) << "temp.tmp.aZ09x" << false;
    QTest::newRow("another name") << int(Leftover::OtherName) << "Cams.inf.aZ09xQ" << false;
    QTest::newRow("another user's") << int(Leftover::OtherUser) << "temp.tmp.aZ09xQ" << false;
}

void TestAddJournal::scratchLeftovers()
{
    QFETCH(int, leftover);
    QFETCH(QString, name);
    QFETCH(bool, removed);
    const QByteArray bytes("server copy, half written");
    QVERIFY(writeFile(QStringLiteral("target"), bytes));
    int heldFd = -1;
    switch (Leftover(leftover)) {
    case Leftover::Own:
    case Leftover::OtherName:
        QVERIFY(writeFile(name, bytes));
        break;
    case Leftover::HeldByARunningReplace:
        QVERIFY(writeFile(name, bytes));
        heldFd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC);
        QCOMPARE(::flock(heldFd, LOCK_EX), 0);
        break;
    case Leftover::Link:
        QVERIFY(QFile::link(QStringLiteral("target"), name));
        break;
    case Leftover::OtherUser:
        if (geteuid() != 0)
            QSKIP("only root can give a file to another user");
        QVERIFY(writeFile(name, bytes));
        QCOMPARE(::chown(QFile::encodeName(name).constData(), 65534, 65534), 0);
        break;
    }
    QCOMPARE(FileReplacer::removeLeftovers(QStringLiteral("temp.tmp")), removed ? 1 : 0);
    if (heldFd >= 0)
        ::close(heldFd);
    QCOMPARE(QFileInfo(name).exists() || QFileInfo(name).isSymLink(), !removed);
    QCOMPARE(fileBytes(QStringLiteral("target")), bytes);
    // A replace of its own leaves nothing behind either.
    QVERIFY(FileReplacer::replace(QStringLiteral("temp.tmp"), {"copy"}).ok());
    QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size(),
             removed ? 2 : 3);
}

QTEST_GUILESS_MAIN(TestAddJournal)
#include "tst_addjournal.moc"
