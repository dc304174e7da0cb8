// The store: the server copy and the own list as files, the locked append and the journal of
// an add: where a crash can stop an add, what the next start makes of what it
// left, the ends of an add that another program interferes with, and scratch files left over.
#include "camlist/format/keylist.h"
#include "camlist/format/keypicking.h"
#include "camlist/format/linereader.h"
#include "camlist/store/blockchecksums.h"
#include "camlist/store/camsfileappender.h"
#include "camlist/store/filereplacer.h"
#include "camlist/store/journalrecovery.h"
#include "camlist/store/listfiles.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
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

using Step = CamsFileAppender::Step;
using Found = JournalRecovery::Found;
using Action = JournalRecovery::Action;

class TestStore final : public QObject
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
    void serverCopyRoundTrips();
    void missingOrUnreadableFilesHaveNoKeys();
    void appendCreatesAndExtends();
    void appendClosesAnOpenRecord();
    void appendFailingWriteLeavesTheFileAsItWas();
    void appendToUnwritableFileChangesNothing();
    void appendLeavesOutWhatTheFileAlreadyHolds_data();
    void appendLeavesOutWhatTheFileAlreadyHolds();
    void folderFaults_data();
    void folderFaults();

private:
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
// boundary first: that line end, and an empty detail line for "lonely".
const QByteArray oldList = "own\r\nhttp://own.example/1.jpg\r\nlonely";
const QByteArray boundary = "\r\n\r\n";

// The add stopped at the step, the first time it comes, as a kill there would stop it.
Result<CamsFileAppender::Appended, CamsFileAppender::Refusal>
addStoppedAt(const QByteArray& records, Step stop)
{
    return CamsFileAppender::append(list, records, {}, CamsFileAppender::defaultLockWait,
                                    [stop](Step step) { return step == stop; });
}

} // namespace

void TestStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid() && QDir::setCurrent(m_dir->path()));
}

void TestStore::checksums()
{
    QCOMPARE(crc32(0, "123456789"), 0xe3069283u);
    QCOMPARE(crc32ByTables(0, "123456789"), 0xe3069283u);
    const QByteArray bytes = manyRecords(300);
    QCOMPARE(crc32ByTables(crc32(0, bytes.first(13)), bytes.sliced(13)), crc32(0, bytes));
    QCOMPARE(crc32Combine(crc32(0, bytes.first(1000)), crc32(0, bytes.sliced(1000)),
                          bytes.size() - 1000),
             crc32(0, bytes));
    // Chunks end on the file's 512-byte boundaries, however the bytes come.
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
    QCOMPARE(whole.chunks()[1], crc32(0, bytes.sliced(96, 512)));
}

// Stopped at each point where a crash leaves a state of its own, the next start finds the old
// bytes or the old bytes and the whole block, and says so.
void TestStore::interruptions_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("old"); // null: no list before the add
    QTest::addColumn<bool>("journalLeft");
    QTest::addColumn<int>("found");
    QTest::addColumn<QByteArray>("after");     // the list once the next start has settled it
    QTest::addColumn<QByteArray>("nextAdded"); // and once "z" is added to it
    const QByteArray added = oldList + boundary + manyRecords(40'000);
    const QByteArray oldThenZ = oldList + boundary + "z\r\nd\r\n";
    QTest::newRow("before the journal is whole")
        << int(Step::JournalHeaderWritten) << oldList << true << int(Found::TornJournal) << oldList
        << oldThenZ;
    QTest::newRow("after the journal") << int(Step::JournalWritten) << oldList << true
                                       << int(Found::NothingWritten) << oldList << oldThenZ;
    QTest::newRow("in the middle of the block") << int(Step::PartOfBlockWritten) << oldList << true
                                                << int(Found::TornBlock) << oldList << oldThenZ;
    QTest::newRow("in the middle of a new list")
        << int(Step::PartOfBlockWritten) << QByteArray() << true << int(Found::TornBlock)
        << QByteArray("") << QByteArray("z\r\nd\r\n");
    QTest::newRow("after the block") << int(Step::BlockWritten) << oldList << true
                                     << int(Found::WholeBlock) << added << added + "z\r\nd\r\n";
    QTest::newRow("after the journal is removed")
        << int(Step::JournalRemoved) << oldList << false << int(Found::NoJournal) << added
        << added + "z\r\nd\r\n";
}

void TestStore::interruptions()
{
    QFETCH(int, step);
    QFETCH(QByteArray, old);
    QFETCH(bool, journalLeft);
    QFETCH(int, found);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, nextAdded);
    if (!old.isNull())
        QVERIFY(writeFile(list, old));
    const QByteArray records = manyRecords(40'000);
    QVERIFY(!addStoppedAt(records, Step(step)).ok());
    QCOMPARE(QFile::exists(journal), journalLeft);
    if (step == int(Step::PartOfBlockWritten)) {
        const qint64 size = QFileInfo(list).size();
        QVERIFY(size > old.size() && size < old.size() + records.size());
    }

    const JournalRecovery::Recovery recovery = JournalRecovery::recover(list);
    QCOMPARE(int(recovery.found), found);
    QCOMPARE(recovery.text.isEmpty(), !journalLeft);
    QVERIFY(recovery.done != Action::JournalKept);
    QVERIFY(!QFile::exists(journal));
    QCOMPARE(fileBytes(list), after);
    // Settled once: the next start finds nothing, and adds go on as usual.
    QCOMPARE(JournalRecovery::recover(list).found, Found::NoJournal);
    QVERIFY(CamsFileAppender::append(list, "z\r\nd\r\n").ok());
    QCOMPARE(fileBytes(list), nextAdded);
}

namespace {

enum class Shape {
    TornAtAChunk,
    TornInsideAPage,
    PageLost,
    BlockLost,
    ZerosPastTheBlock,
    PageChunkedJournal, // as earlier releases wrote it
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
void TestStore::recoveryStates_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<int>("found");
    QTest::addColumn<int>("done");
    QTest::addColumn<QString>("said");
    const QString kept = QStringLiteral("Nothing was changed");
    QTest::newRow("torn block") << int(Shape::TornAtAChunk) << int(Found::TornBlock)
                                << int(Action::BlockCut) << QStringLiteral("were cut off");
    QTest::newRow("torn at a sector inside a page")
        << int(Shape::TornInsideAPage) << int(Found::TornBlock) << int(Action::BlockCut)
        << QStringLiteral("It had written 1499 bytes");
    QTest::newRow("zeros in place of a lost page")
        << int(Shape::PageLost) << int(Found::LostPages) << int(Action::BlockCut)
        << QStringLiteral("but 4096 bytes of them never reached the disk");
    QTest::newRow("the whole block lost as zeros")
        << int(Shape::BlockLost) << int(Found::LostPages) << int(Action::BlockCut)
        << QStringLiteral("but 10884 bytes of them");
    QTest::newRow("zeros past the block's length")
        << int(Shape::ZerosPastTheBlock) << int(Found::OtherBytes) << int(Action::JournalKept)
        << QStringLiteral("A power cut during the add or another program");
    QTest::newRow("journal of an earlier release")
        << int(Shape::PageChunkedJournal) << int(Found::TornBlock) << int(Action::BlockCut)
        << QStringLiteral("were cut off");
    QTest::newRow("whole block") << int(Shape::WholeBlock) << int(Found::WholeBlock)
                                 << int(Action::JournalRemoved) << QStringLiteral("whole");
    QTest::newRow("whole block, then another program's bytes")
        << int(Shape::WholeBlockThenOthers) << int(Found::WholeBlock) << int(Action::JournalRemoved)
        << QStringLiteral("The 10 bytes after them were written by another program");
    QTest::newRow("another program's bytes instead of the block")
        << int(Shape::OthersInsteadOfTheBlock) << int(Found::OtherBytes) << int(Action::JournalKept)
        << kept;
    QTest::newRow("old bytes cut") << int(Shape::OldBytesCut) << int(Found::OtherBytes)
                                   << int(Action::JournalKept) << QStringLiteral("not all there");
    QTest::newRow("torn journal") << int(Shape::JournalCut) << int(Found::TornJournal)
                                  << int(Action::JournalRemoved) << QStringLiteral("not changed");
    QTest::newRow("journal is a link") << int(Shape::JournalIsALink) << int(Found::Unusable)
                                       << int(Action::JournalKept) << QStringLiteral("left alone");
    QTest::newRow("list locked by another run")
        << int(Shape::ListLockedByAnotherRun) << int(Found::InUse) << int(Action::Nothing)
        << QString();
    QTest::newRow("list gone") << int(Shape::ListGone) << int(Found::ListGone)
                               << int(Action::JournalRemoved) << QStringLiteral("not there");
}

void TestStore::recoveryStates()
{
    QFETCH(int, shape);
    QFETCH(int, found);
    QFETCH(int, done);
    QFETCH(QString, said);
    QVERIFY(writeFile(list, oldList));
    const QByteArray records = manyRecords(300); // about 13 KiB: four chunks
    const QByteArray block = boundary + records;
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
    case Shape::TornInsideAPage:
        now += block.first(1536 - oldList.size());
        break;
    case Shape::PageLost:
        now += torn + QByteArray(4096, '\0') + block.sliced(torn.size() + 4096);
        break;
    case Shape::BlockLost:
        now += QByteArray(block.size(), '\0');
        break;
    case Shape::ZerosPastTheBlock:
        now += torn + QByteArray(block.size() - torn.size() + 512, '\0');
        break;
    case Shape::PageChunkedJournal:
        QVERIFY(writeFile(journal, QByteArray::fromHex("43414d534a524e4c01000000001000000300000025"
                                                       "00000000000000842a00000000000066670a1b9838"
                                                       "4a1c3937b4cc9c7c1ee76a9daa379eb61347")));
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

    const JournalRecovery::Recovery recovery = JournalRecovery::recover(list);
    QCOMPARE(int(recovery.found), found);
    QCOMPARE(int(recovery.done), done);
    QVERIFY2(recovery.text.contains(said), qPrintable(recovery.text));
    QCOMPARE(QFileInfo(journal).exists() || QFileInfo(journal).isSymLink(),
             recovery.done == Action::JournalKept || recovery.done == Action::Nothing);
    const QByteArray after = recovery.done == Action::BlockCut ? oldList : now;
    if (Shape(shape) != Shape::ListGone)
        QCOMPARE(fileBytes(list), after);
    if (Shape(shape) == Shape::JournalIsALink)
        QVERIFY(QFile::exists(QStringLiteral("elsewhere")));

    // An add settles the journal under the lock as the start does, or refuses to add after
    // what it cannot settle.
    if (lockFd >= 0)
        ::close(lockFd);
    const auto added = CamsFileAppender::append(list, "z\r\nd\r\n");
    if (recovery.done == Action::JournalKept) {
        QVERIFY(!added.ok());
        QVERIFY2(added.text().contains(QStringLiteral("could not be settled")),
                 qPrintable(added.text()));
        QCOMPARE(fileBytes(list), after);
    } else {
        QVERIFY2(added.ok(), qPrintable(added.text()));
        // What the add settled itself under its lock is news for the user; what the start
        // settled is not the add's to tell again.
        const bool addSettled = Shape(shape) == Shape::ListLockedByAnotherRun;
        QVERIFY2(addSettled ? added.value().settledBefore.contains(QStringLiteral("were cut off"))
                            : added.value().settledBefore.isEmpty(),
                 qPrintable(added.value().settledBefore));
        const QByteArray settled = Shape(shape) == Shape::ListLockedByAnotherRun ? oldList : after;
        // The add closes what it finds open first: "lonely", or the stray bytes' last record.
        const QByteArray closing = settled == oldList                  ? boundary
                                   : Shape(shape) == Shape::JournalCut ? QByteArray("\r\n")
                                                                       : QByteArray();
        QCOMPARE(fileBytes(list), Shape(shape) == Shape::ListGone
                                      ? QByteArray("z\r\nd\r\n")
                                      : settled + closing + "z\r\nd\r\n");
        QVERIFY(!QFile::exists(journal));
    }
}

namespace {

enum class Interference { ReplacedAfterTheLock, AppendedBeforeAFailedWrite };

} // namespace

// Another program replaces or writes to the list while an add runs: the outcome says where the
// records went, and an undo never cuts what is not its own.
void TestStore::interferedAdds_data()
{
    QTest::addColumn<int>("interference");
    // An earlier add left a torn block, which this add settles under its lock before its own
    // trouble: its failure still says so.
    QTest::addColumn<bool>("earlierAddLeft");
    QTest::addColumn<QString>("said");
    QTest::newRow("replaced after the lock")
        << int(Interference::ReplacedAfterTheLock) << false
        << QStringLiteral("Cams.inf was replaced by another program while the new cams were "
                          "added: they went into the file that was replaced");
    QTest::newRow("appended to before a failed write")
        << int(Interference::AppendedBeforeAFailedWrite) << false
        << QStringLiteral("Another program has written to it meanwhile, so nothing was cut");
    QTest::newRow("an earlier add settled, then appended to before a failed write")
        << int(Interference::AppendedBeforeAFailedWrite) << true
        << QStringLiteral("Another program has written to it meanwhile, so nothing was cut");
}

void TestStore::interferedAdds()
{
    QFETCH(int, interference);
    QFETCH(bool, earlierAddLeft);
    QFETCH(QString, said);
    QVERIFY(writeFile(list, oldList));
    if (earlierAddLeft) {
        const QByteArray earlier = manyRecords(300);
        QVERIFY(!addStoppedAt(earlier, Step::JournalWritten).ok());
        QVERIFY(writeFile(list, oldList + (boundary + earlier).first(4096 - oldList.size())));
    }
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
    QVERIFY2(outcome.text().contains(QStringLiteral("An earlier add of new cams to Cams.inf was "
                                                    "interrupted")) == earlierAddLeft,
             qPrintable(outcome.text()));
    if (Interference(interference) == Interference::ReplacedAfterTheLock) {
        QCOMPARE(outcome.code(), CamsFileAppender::Refusal::Replaced);
        QCOMPARE(fileBytes(list), replacement);
        QCOMPARE(fileBytes(QStringLiteral("written.inf")), oldList + boundary + records);
        QVERIFY(!QFile::exists(journal));
    } else {
        QVERIFY(outcome.code() != CamsFileAppender::Refusal::Replaced);
        QCOMPARE(fileBytes(list), oldList + others + (boundary + records).first(100));
        // The next start finds bytes that are not the add's, and changes nothing either.
        QCOMPARE(JournalRecovery::recover(list).found, Found::OtherBytes);
    }
}

namespace {

enum class Leftover { Own, HeldByARunningReplace, Link, OtherName, OtherUser };

} // namespace

// Only the server copy's own scratch files, regular, the user's, and not in use, are removed.
void TestStore::scratchLeftovers_data()
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

void TestStore::scratchLeftovers()
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

namespace {

// A list file of the keys, each with the detail line "d:" + key.
QByteArray recordsOf(const QByteArrayList& keys)
{
    QByteArray file;
    for (const QByteArray& key : keys)
        file += key + "\r\nd:" + key + "\r\n";
    return file;
}

} // namespace

void TestStore::serverCopyRoundTrips()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("temp.tmp"));
    QByteArray text;
    for (int byte = 0; byte < 256; ++byte)
        text += static_cast<char>(byte);
    QVERIFY(ListFiles::writeServerCopy(path, text).ok());
    QCOMPARE(ListFiles::read(path, ListFiles::ownListLimit).value(), text + "\r\n");

    // A shorter second copy truncates the first.
    QVERIFY(ListFiles::writeServerCopy(path, "k1\r\nd1").ok());
    QCOMPARE(ListFiles::read(path, ListFiles::ownListLimit).value(), QByteArray("k1\r\nd1\r\n"));
    const KeyList keys = keysOfListFile(ListFiles::read(path, ListFiles::ownListLimit).value());
    QCOMPARE(keys.toByteArrayList(), QByteArrayList{"k1"});
    QCOMPARE(keys.detail(0).value_or(""), QByteArrayView("d1"));

    // A copy of many pieces is whole.
    QByteArray large(9 * 1024 * 1024 + 3, 'k');
    for (qsizetype at = 0; at < large.size(); at += 4099)
        large[at] = static_cast<char>(at % 251);
    std::atomic<bool> stop{false};
    QVERIFY(ListFiles::writeServerCopy(path, large, &stop).ok());
    QCOMPARE(ListFiles::read(path, ListFiles::ownListLimit).value(), large + "\r\n");

    // Given up: the copy there stays as it was, and no scratch file is left.
    stop = true;
    const Result<> stopped = ListFiles::writeServerCopy(path, "k2\r\nd2", &stop);
    QVERIFY(!stopped.ok());
    QCOMPARE(stopped.code(), ECANCELED);
    QCOMPARE(ListFiles::read(path, ListFiles::ownListLimit).value(), large + "\r\n");
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("temp.tmp")});
}

void TestStore::missingOrUnreadableFilesHaveNoKeys()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(
        !ListFiles::read(dir.filePath(QStringLiteral("Cams.inf")), ListFiles::ownListLimit).ok());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Cams.inf"))));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Cams.inf")));
    QVERIFY(
        !ListFiles::read(dir.filePath(QStringLiteral("Cams.inf")), ListFiles::ownListLimit).ok());
    const Result<> copied =
        ListFiles::writeServerCopy(dir.filePath(QStringLiteral("Cams.inf")), "x");
    QVERIFY(!copied.ok());
    QCOMPARE(copied.text(), QStringLiteral("Is a directory"));
    // The failed copy leaves no scratch file behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("Cams.inf")});
}

void TestStore::appendCreatesAndExtends()
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

void TestStore::appendClosesAnOpenRecord()
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
void TestStore::appendFailingWriteLeavesTheFileAsItWas()
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

void TestStore::appendToUnwritableFileChangesNothing()
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

void TestStore::appendLeavesOutWhatTheFileAlreadyHolds_data()
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
    QTest::newRow("rewritten since to the same length")
        << k2 << k1 << QList<qsizetype>{1, 2} << k2 + k3s << records;
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

void TestStore::appendLeavesOutWhatTheFileAlreadyHolds()
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
void TestStore::folderFaults_data()
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

void TestStore::folderFaults()
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
    QCOMPARE(!appended.ok() && appended.code() == CamsFileAppender::Refusal::Busy,
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

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
