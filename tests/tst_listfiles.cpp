// Line reading, key picking, the sorted key list and number captions.
#include "keylist.h"
#include "keypicking.h"
#include "linereader.h"
#include "listfiles.h"
#include "numbertext.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cerrno>

class TestListFiles final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void keys_data();
    void keys();
    void keysKeepEveryByte();
    void keysLiveAsLongAsTheirLists();
    void boundary_data();
    void boundary();
    void sortedOrderIgnoresCaseAndKeepsEquals();
    void bulkAddMatchesOneByOne();
    void sortedOrderOfLongKeys();
    void itemOutsideTheListIsEmpty();
    void aMillionKeys();
    void serverCopyRoundTrips();
    void missingOrUnreadableFilesHaveNoKeys();
    void leadingNumber_data();
    void leadingNumber();
};

namespace {

QByteArrayList copies(const QList<QByteArrayView>& views)
{
    QByteArrayList list;
    for (const QByteArrayView view : views)
        list.append(view.toByteArray());
    return list;
}

// A list file of the keys, each with the detail line "d:" + key.
QByteArray recordsOf(const QByteArrayList& keys)
{
    QByteArray file;
    for (const QByteArray& key : keys)
        file += key + "\r\nd:" + key + "\r\n";
    return file;
}

KeyList picked(const QByteArray& file)
{
    KeyList keys(KeyList::Order::AsAdded);
    keys.addAll(file, pickKeys(file));
    return keys;
}

// Each key's detail line, "(none)" for a key without one.
QByteArrayList detailsOf(const KeyList& keys)
{
    QByteArrayList details;
    for (qsizetype i = 0; i < keys.count(); ++i)
        details.append(keys.detail(i).value_or("(none)").toByteArray());
    return details;
}

QByteArrayList allLines(QByteArrayView data)
{
    QByteArrayList lines;
    LineReader reader(data);
    QByteArrayView line;
    while (reader.next(line))
        lines.append(line.toByteArray());
    return lines;
}

} // namespace

void TestListFiles::lines_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::newRow("nothing") << QByteArray() << QByteArrayList{};
    QTest::newRow("crlf ends") << QByteArray("a\r\nb\r\n") << QByteArrayList{"a", "b"};
    QTest::newRow("last line without end") << QByteArray("a\r\nb") << QByteArrayList{"a", "b"};
    QTest::newRow("lone cr ends") << QByteArray("a\rb\r") << QByteArrayList{"a", "b"};
    QTest::newRow("lone lf stays") << QByteArray("a\nb\r\n") << QByteArrayList{"a\nb"};
    QTest::newRow("cr then crlf") << QByteArray("a\r\r\n") << QByteArrayList{"a", ""};
    QTest::newRow("empty lines") << QByteArray("\r\n\r\nx") << QByteArrayList{"", "", "x"};
    QTest::newRow("single empty line") << QByteArray("\r\n") << QByteArrayList{""};
}

void TestListFiles::lines()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArrayList, expected);
    QCOMPARE(allLines(data), expected);
}

void TestListFiles::keys_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<QByteArrayList>("details");
    QTest::newRow("records with a gap") << QByteArray("k1\r\nd1\r\n\r\nk2\r\nd2\r\n")
                                        << QByteArrayList{"k1", "k2"} << QByteArrayList{"d1", "d2"};
    QTest::newRow("leading empty lines")
        << QByteArray("\r\n\r\nk1\r\nd1\r\n") << QByteArrayList{"k1"} << QByteArrayList{"d1"};
    QTest::newRow("empty detail shifts the records")
        << QByteArray("k1\r\n\r\nd1\r\nk2\r\n") << QByteArrayList{"k1", "d1"}
        << QByteArrayList{"", "k2"};
    QTest::newRow("key without detail at the end")
        << QByteArray("k1\r\nd1\r\nk2") << QByteArrayList{"k1", "k2"}
        << QByteArrayList{"d1", "(none)"};
    QTest::newRow("no line at all") << QByteArray() << QByteArrayList{} << QByteArrayList{};
    QTest::newRow("one empty line") << QByteArray("\r\n") << QByteArrayList{} << QByteArrayList{};
    QTest::newRow("lf-only text is one key")
        << QByteArray("k1\nd1\nk2\nd2\n") << QByteArrayList{"k1\nd1\nk2\nd2\n"}
        << QByteArrayList{"(none)"};
    QTest::newRow("case and trailing blank are kept")
        << QByteArray("Cam\r\nd\r\ncam\r\nd\r\ncam \r\nd\r\n")
        << QByteArrayList{"Cam", "cam", "cam "} << QByteArrayList{"d", "d", "d"};
    QTest::newRow("duplicates in file order")
        << QByteArray("b\r\n1\r\na\r\n2\r\nb\r\n3\r\n") << QByteArrayList{"b", "a", "b"}
        << QByteArrayList{"1", "2", "3"};
    QTest::newRow("lone cr ends key and detail")
        << QByteArray("k1\rd1\rk2\r") << QByteArrayList{"k1", "k2"}
        << QByteArrayList{"d1", "(none)"};
    QTest::newRow("key ends in cr lf at the end")
        << QByteArray("k\r\n") << QByteArrayList{"k"} << QByteArrayList{"(none)"};
    QTest::newRow("lone lf stays in the detail")
        << QByteArray("k\r\nd\nmore\r\nk2\r\nd2") << QByteArrayList{"k", "k2"}
        << QByteArrayList{"d\nmore", "d2"};
    QTest::newRow("cr then cr lf is an empty detail")
        << QByteArray("k\r\r\nx\r\ny") << QByteArrayList{"k", "x"} << QByteArrayList{"", "y"};
}

void TestListFiles::keys()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArrayList, expected);
    QFETCH(QByteArrayList, details);
    QCOMPARE(copies(pickKeys(data)), expected);
    // A sorted list finds each key's detail line wherever the sort put the key.
    KeyList sorted(KeyList::Order::Sorted);
    sorted.addAll(picked(data));
    QHash<QByteArray, QByteArray> detailOf;
    for (qsizetype i = 0; i < expected.size(); ++i)
        detailOf.insert(expected.at(i), details.at(i));
    QCOMPARE(detailsOf(picked(data)), details);
    for (qsizetype i = 0; i < sorted.count(); ++i) {
        if (expected.count(sorted.item(i).toByteArray()) == 1)
            QCOMPARE(detailsOf(sorted).at(i), detailOf.value(sorted.item(i).toByteArray()));
    }
    QVERIFY(!sorted.detail(sorted.count()).has_value());
}

void TestListFiles::keysKeepEveryByte()
{
    QByteArray odd("n\0ul\x80\xff", 7);
    const QByteArray huge(1 << 20, 'x');
    const QByteArray data = odd + "\r\ndetail\r\n" + huge + "\r\nd";
    QCOMPARE(copies(pickKeys(data)), (QByteArrayList{odd, huge}));
}

// The keys are views: every other owner of their bytes goes away or writes over its copy, and
// the lists still read the same keys and detail lines. Under AddressSanitizer a view into
// freed bytes stops the test.
void TestListFiles::keysLiveAsLongAsTheirLists()
{
    KeyList own(KeyList::Order::Sorted);
    KeyList newCams(KeyList::Order::AsAdded);
    {
        QByteArray ownFile = recordsOf({"b", "D"});
        QByteArray serverFile = recordsOf({"c", "a", "b"});
        own.addAll(ownFile, pickKeys(ownFile));
        KeyList server(KeyList::Order::Sorted);
        server.addAll(picked(serverFile));
        newCams.addAll(
            server.withSameBytes(KeyList::Order::AsAdded, {server.item(0), server.item(2)}));
        // An add brings keys from other bytes into the own list.
        QByteArray block = recordsOf({"C", "a"});
        KeyList added(KeyList::Order::AsAdded);
        added.addAll(block, pickKeys(block));
        own.addAll(added);
        own.add(QByteArray("e").repeated(2));
        ownFile.fill('x');
        serverFile.fill('x');
        block.fill('x');
    }
    QCOMPARE(own.toByteArrayList(), (QByteArrayList{"a", "b", "C", "D", "ee"}));
    QCOMPARE(detailsOf(own), (QByteArrayList{"d:a", "d:b", "d:C", "d:D", "(none)"}));
    QCOMPARE(newCams.toByteArrayList(), (QByteArrayList{"a", "c"}));
    QCOMPARE(detailsOf(newCams), (QByteArrayList{"d:a", "d:c"}));

    // A copy of a list keeps the bytes after the list is cleared.
    const KeyList copy = own;
    own.clear();
    QCOMPARE(own.count(), 0);
    QCOMPARE(copy.item(2), QByteArrayView("C"));
    QCOMPARE(copy.detail(2).value_or(""), QByteArrayView("d:C"));
}

void TestListFiles::boundary_data()
{
    QTest::addColumn<QByteArray>("old");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("empty file") << QByteArray() << QByteArray();
    QTest::newRow("whole records") << QByteArray("k\r\nd\r\n") << QByteArray();
    QTest::newRow("detail without line end") << QByteArray("k\r\nd") << QByteArray("\r\n");
    QTest::newRow("key without detail") << QByteArray("k\r\nd\r\nk2\r\n") << QByteArray("\r\n");
    QTest::newRow("key without detail or line end") << QByteArray("k") << QByteArray("\r\n\r\n");
    // A lone CR already ends the line: no empty line in front of every append.
    QTest::newRow("ends in lone cr") << QByteArray("k\rd\r") << QByteArray();
    QTest::newRow("key ends in lone cr") << QByteArray("k\r") << QByteArray("\r\n");
    QTest::newRow("ends in lone lf") << QByteArray("k\r\nd\n") << QByteArray("\r\n");
    QTest::newRow("trailing empty line") << QByteArray("k\r\nd\r\n\r\n") << QByteArray();
}

// Whatever state the old list is in, its keys plus the new ones must read back.
void TestListFiles::boundary()
{
    QFETCH(QByteArray, old);
    QFETCH(QByteArray, expected);
    const QByteArray records("new\r\nnew detail\r\n");
    const QByteArray boundary = recordBoundaryAfter(old, records);
    QCOMPARE(boundary, expected);
    // Bytes that need nothing in front of new records end with a whole record; nothing else does.
    QCOMPARE(endsWithWholeRecord(old), expected.isEmpty());
    QCOMPARE(copies(pickKeys(old + boundary + records)),
             copies(pickKeys(old)) + QByteArrayList{"new"});
    // A key may start with LF; it must not pair with a CR the old content ends in.
    const QByteArray lfRecords("\nnew\r\nd\r\n");
    const QByteArray lfKey = old + recordBoundaryAfter(old, lfRecords) + lfRecords;
    QCOMPARE(copies(pickKeys(lfKey)), copies(pickKeys(old)) + QByteArrayList{"\nnew"});
}

void TestListFiles::sortedOrderIgnoresCaseAndKeepsEquals()
{
    KeyList sorted(KeyList::Order::Sorted);
    KeyList asAdded(KeyList::Order::AsAdded);
    for (const char* key : {"b", "A", "c"}) {
        sorted.add(key);
        asAdded.add(key);
    }
    QCOMPARE(sorted.toByteArrayList(), (QByteArrayList{"A", "b", "c"}));
    QCOMPARE(asAdded.toByteArrayList(), (QByteArrayList{"b", "A", "c"}));

    // Keys equal but for case keep the order they came in; a duplicate goes after its twin.
    KeyList list(KeyList::Order::Sorted);
    for (const char* key : {"cam", "CAM", "Cam", "a", "cam"})
        list.add(key);
    QCOMPARE(list.toByteArrayList(), (QByteArrayList{"a", "cam", "CAM", "Cam", "cam"}));

    // An added key that sorts first moves every other key one place up.
    QCOMPARE(list.add("0"), 0);
    QCOMPARE(list.item(1), QByteArrayView("a"));

    // Bytes past ASCII letters sort by value; '_' (0x5F) lies between 'Z' and 'a' unfolded,
    // but after the folded letters.
    KeyList bytes(KeyList::Order::Sorted);
    for (const char* key : {"\xe9t\xe9", "_x", "Zebra", "apple"})
        bytes.add(key);
    QCOMPARE(bytes.toByteArrayList(), (QByteArrayList{"_x", "apple", "Zebra", "\xe9t\xe9"}));
}

void TestListFiles::bulkAddMatchesOneByOne()
{
    const QByteArrayList first{"m", "B", "b", "a"};
    const QByteArrayList second{"M", "b", "z", "A", "B"};
    KeyList one(KeyList::Order::Sorted);
    for (const QByteArray& key : first + second)
        one.add(key);
    KeyList bulk(KeyList::Order::Sorted);
    bulk.addAll(picked(recordsOf(first)));
    bulk.addAll(picked(recordsOf(second)));
    QCOMPARE(bulk.toByteArrayList(), one.toByteArrayList());
}

// Keys that differ past their first eight bytes, or only in length, or in bytes a case fold
// must leave alone: the sort's prefix must not decide what only the whole key can. Added in
// bulk from two sources and one by one, the order is the same.
void TestListFiles::sortedOrderOfLongKeys()
{
    const QByteArrayList keys{
        "Webcam Berlin", "webcam berlin", "WEBCAM",        "webcam",
        "webca",         "Webcam Bern",   "webcam\x80",    "webcam@",
        "webcam[",       "webcam_",       "Webcam Berlin", "webcamZ",
        "webcamz",       "webcam\xc1",    "webcam a",      QByteArray("webcam\0", 7),
        "WEBCAMbb",      "webcama"};
    KeyList one(KeyList::Order::Sorted);
    for (const QByteArray& key : keys)
        one.add(key);
    const QByteArrayList expected{
        "webca",       "WEBCAM",        "webcam",        QByteArray("webcam\0", 7),
        "webcam a",    "Webcam Berlin", "webcam berlin", "Webcam Berlin",
        "Webcam Bern", "webcam@",       "webcam[",       "webcam_",
        "webcama",     "WEBCAMbb",      "webcamZ",       "webcamz",
        "webcam\x80",  "webcam\xc1"};
    QCOMPARE(one.toByteArrayList(), expected);
    KeyList bulk(KeyList::Order::Sorted);
    bulk.addAll(picked(recordsOf(keys.mid(0, 9))));
    bulk.addAll(picked(recordsOf(keys.mid(9))));
    QCOMPARE(bulk.toByteArrayList(), expected);
    for (qsizetype i = 0; i < bulk.count(); ++i)
        QCOMPARE(bulk.detail(i).value_or(""), "d:" + bulk.item(i).toByteArray());

    // Keys that do not come in the order of their bytes still keep their order among equals.
    const KeyList inFileOrder = picked(recordsOf(keys));
    const QList<QByteArrayView> backwards(inFileOrder.views().crbegin(),
                                          inFileOrder.views().crend());
    KeyList fromTheEnd(KeyList::Order::Sorted);
    fromTheEnd.addAll(inFileOrder.withSameBytes(KeyList::Order::AsAdded, backwards));
    KeyList oneFromTheEnd(KeyList::Order::Sorted);
    for (auto key = keys.crbegin(); key != keys.crend(); ++key)
        oneFromTheEnd.add(*key);
    QCOMPARE(fromTheEnd.toByteArrayList(), oneFromTheEnd.toByteArrayList());
    QVERIFY(fromTheEnd.toByteArrayList() != expected);
}

void TestListFiles::itemOutsideTheListIsEmpty()
{
    KeyList list(KeyList::Order::Sorted);
    list.add("x");
    QCOMPARE(list.item(1), QByteArrayView());
    QCOMPARE(list.item(-1), QByteArrayView());
    QVERIFY(list.item(1).isEmpty());
}

// Counts past a 16-bit number: a list far longer than 32767 keys keeps every key in order.
void TestListFiles::aMillionKeys()
{
    QByteArray file;
    for (int i = 999'999; i >= 0; --i)
        file += "cam" + QByteArray::number(i).rightJustified(7, '0') + "\r\nd\r\n";
    KeyList list(KeyList::Order::Sorted);
    list.addAll(picked(file));
    QCOMPARE(list.count(), 1'000'000);
    QCOMPARE(list.item(0), QByteArrayView("cam0000000"));
    QCOMPARE(list.item(40'000), QByteArrayView("cam0040000"));
    QCOMPARE(list.item(999'999), QByteArrayView("cam0999999"));
}

void TestListFiles::serverCopyRoundTrips()
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

void TestListFiles::missingOrUnreadableFilesHaveNoKeys()
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

void TestListFiles::leadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("value");
    QTest::newRow("plain") << QStringLiteral("13") << qint64{13};
    QTest::newRow("trailing text") << QStringLiteral("7 frames") << qint64{7};
    QTest::newRow("none") << QStringLiteral("Text1") << qint64{0};
    QTest::newRow("empty") << QString() << qint64{0};
    QTest::newRow("blank and sign") << QStringLiteral(" -4") << qint64{-4};
    QTest::newRow("beyond 16 bits") << QStringLiteral("1000000") << qint64{1'000'000};
}

void TestListFiles::leadingNumber()
{
    QFETCH(QString, text);
    QFETCH(qint64, value);
    QCOMPARE(::leadingNumber(text), value);
    QCOMPARE(::leadingNumber(numberText(value)), value);
}

QTEST_GUILESS_MAIN(TestListFiles)
#include "tst_listfiles.moc"
