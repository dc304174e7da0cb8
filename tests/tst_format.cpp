// The list format: line reading, key picking and records, the sorted key list and its index,
// the search for new cams and the merge of their records.
#include "camlist/format/camsearch.h"
#include "camlist/format/keyindex.h"
#include "camlist/format/keylist.h"
#include "camlist/format/keypicking.h"
#include "camlist/format/linereader.h"
#include "camlist/format/recordmerge.h"
#include "camlist/format/recordreader.h"

#include <QElapsedTimer>
#include <QTest>

class TestFormat final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void records_data();
    void records();
    void keys_data();
    void keys();
    void keysKeepEveryByte();
    void keysLiveAsLongAsTheirLists();
    void boundary_data();
    void boundary();
    void sortedOrderIgnoresCaseAndKeepsEquals();
    void bulkAddMatchesOneByOne();
    void sortedOrderOfLongKeys();
    void sortedOrderOfLongLists();
    void itemOutsideTheListIsEmpty();
    void aMillionKeys();
    void search_data();
    void search();
    void searchComparesBytes();
    void searchInSlicesGivesTheSameResult();
    void searchStepStopsWhenTimeIsUp();
    void indexThatGrowsFindsWhatAFullOneFinds();
    void merge_data();
    void merge();
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

// Each record as "key / detail @begin-end", the detail "(none)" where there is none.
QByteArrayList recordsIn(QByteArrayView data, RecordReader::Walk walk)
{
    QByteArrayList records;
    RecordReader reader(data, walk);
    for (RecordReader::Record record; reader.next(record);) {
        records.append(record.key.toByteArray() + " / " +
                       (record.hasDetail ? record.detail.toByteArray() : "(none)") + " @" +
                       QByteArray::number(record.begin) + "-" + QByteArray::number(record.end));
    }
    return records;
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

namespace {

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

void TestFormat::lines_data()
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

void TestFormat::lines()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArrayList, expected);
    QCOMPARE(allLines(data), expected);
    QCOMPARE(LineReader::count(data), expected.size());
}

void TestFormat::records_data()
{
    using Walk = RecordReader::Walk;
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("walk");
    QTest::addColumn<QByteArrayList>("expected");
    const auto records = int(Walk::Records);
    QTest::newRow("cr lf") << QByteArray("k1\r\nd1\r\nk2\r\nd2\r\n") << records
                           << QByteArrayList{"k1 / d1 @0-8", "k2 / d2 @8-16"};
    QTest::newRow("lone cr") << QByteArray("k\rd\rk2\rd2") << records
                             << QByteArrayList{"k / d @0-4", "k2 / d2 @4-9"};
    QTest::newRow("lone lf inside lines")
        << QByteArray("k\nx\r\nd\ny\r\n") << records << QByteArrayList{"k\nx / d\ny @0-10"};
    QTest::newRow("key last, no line end") << QByteArray("k\r\nd\r\nlast") << records
                                           << QByteArrayList{"k / d @0-6", "last / (none) @6-10"};
    QTest::newRow("key last, line end") << QByteArray("k\r\nd\r\nlast\r\n") << records
                                        << QByteArrayList{"k / d @0-6", "last / (none) @6-12"};
    QTest::newRow("empty lines between records")
        << QByteArray("\r\n\rk\r\nd\r\n\r\n\r\nk2\r\nd2") << records
        << QByteArrayList{"k / d @3-9", "k2 / d2 @13-19"};
    QTest::newRow("cr then cr lf")
        << QByteArray("k\r\r\nd") << records << QByteArrayList{"k /  @0-4", "d / (none) @4-5"};
    // The records this program wrote: an empty key line is a key there.
    QTest::newRow("pairs keep an empty key") << QByteArray("\r\nd\r\nk\r") << int(Walk::Pairs)
                                             << QByteArrayList{" / d @0-5", "k / (none) @5-7"};
    QTest::newRow("every line, empty ones too")
        << QByteArray("a\r\nb\r\n\r\nc") << int(Walk::EveryLine)
        << QByteArrayList{"a / b @0-6", "b /  @3-8", " / c @6-9", "c / (none) @8-9"};
    QTest::newRow("every line of nothing")
        << QByteArray() << int(Walk::EveryLine) << QByteArrayList{};
}

void TestFormat::records()
{
    QFETCH(QByteArray, data);
    QFETCH(int, walk);
    QFETCH(QByteArrayList, expected);
    QCOMPARE(recordsIn(data, RecordReader::Walk(walk)), expected);
    // The quick count of two-line records counts what reading them gives.
    QCOMPARE(RecordReader::pairCount(data), recordsIn(data, RecordReader::Walk::Pairs).size());
}

void TestFormat::keys_data()
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

void TestFormat::keys()
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

void TestFormat::keysKeepEveryByte()
{
    QByteArray odd("n\0ul\x80\xff", 7);
    const QByteArray huge(1 << 20, 'x');
    const QByteArray data = odd + "\r\ndetail\r\n" + huge + "\r\nd";
    QCOMPARE(copies(pickKeys(data)), (QByteArrayList{odd, huge}));
}

// The keys are views: every other owner of their bytes goes away or writes over its copy, and
// the lists still read the same keys and detail lines. Under AddressSanitizer a view into
// freed bytes stops the test.
void TestFormat::keysLiveAsLongAsTheirLists()
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

void TestFormat::boundary_data()
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
void TestFormat::boundary()
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

void TestFormat::sortedOrderIgnoresCaseAndKeepsEquals()
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

void TestFormat::bulkAddMatchesOneByOne()
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
void TestFormat::sortedOrderOfLongKeys()
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

    // The same keys four times over, as many as are sorted by their prefixes byte by byte:
    // keys that compare equal keep the order of the file among all four rounds.
    const QList<QByteArrayList> groups{{"webca"},
                                       {"WEBCAM", "webcam"},
                                       {QByteArray("webcam\0", 7)},
                                       {"webcam a"},
                                       {"Webcam Berlin", "webcam berlin", "Webcam Berlin"},
                                       {"Webcam Bern"},
                                       {"webcam@"},
                                       {"webcam["},
                                       {"webcam_"},
                                       {"webcama"},
                                       {"WEBCAMbb"},
                                       {"webcamZ", "webcamz"},
                                       {"webcam\x80"},
                                       {"webcam\xc1"}};
    QByteArrayList fourTimes;
    for (const QByteArrayList& group : groups)
        for (int round = 0; round < 4; ++round)
            fourTimes += group;
    KeyList rounds(KeyList::Order::Sorted);
    rounds.addAll(picked(recordsOf(keys + keys + keys + keys)));
    QCOMPARE(rounds.toByteArrayList(), fourTimes);

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

// A long list of few different keys is sorted by counting them; one of many different keys,
// after the count gave up on it, by their prefixes. Either way, the order of adding them one
// by one.
void TestFormat::sortedOrderOfLongLists()
{
    QByteArrayList few; // b, A, a, B, as letters of a sorted list A = a < b = B
    for (int i = 0; i < 1'250; ++i)
        few += {"b", "A", "a", "B"};
    QByteArrayList fewSorted;
    for (int i = 0; i < 1'250; ++i)
        fewSorted += {"A", "a"};
    for (int i = 0; i < 1'250; ++i)
        fewSorted += {"b", "B"};
    KeyList counted(KeyList::Order::Sorted);
    counted.addAll(picked(recordsOf(few)));
    QCOMPARE(counted.toByteArrayList(), fewSorted);

    // Numbers in a scrambled order: more different keys than counting is worth.
    QByteArrayList many;
    QByteArrayList manySorted;
    for (int i = 0; i < 5'000; ++i) {
        many += "cam " + QByteArray::number(i * 2'003 % 5'000).rightJustified(4, '0');
        manySorted += "cam " + QByteArray::number(i).rightJustified(4, '0');
    }
    KeyList sorted(KeyList::Order::Sorted);
    sorted.addAll(picked(recordsOf(many)));
    QCOMPARE(sorted.toByteArrayList(), manySorted);
}

void TestFormat::itemOutsideTheListIsEmpty()
{
    KeyList list(KeyList::Order::Sorted);
    list.add("x");
    QCOMPARE(list.item(1), QByteArrayView());
    QCOMPARE(list.item(-1), QByteArrayView());
}

// Counts past a 16-bit number: a list far longer than 32767 keys keeps every key in order.
void TestFormat::aMillionKeys()
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

void TestFormat::search_data()
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

void TestFormat::search()
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

void TestFormat::searchComparesBytes()
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
void TestFormat::searchInSlicesGivesTheSameResult()
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
void TestFormat::searchStepStopsWhenTimeIsUp()
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
void TestFormat::indexThatGrowsFindsWhatAFullOneFinds()
{
    QByteArrayList keys;
    for (int i = 0; i < 20'000; ++i)
        keys.append("k" + QByteArray::number(i < 10'000 ? i / 3 : (i * 7919) % 4'000));
    const QList<QByteArrayView> views = viewsOf(keys);
    KeyIndex full;
    KeyIndex growing;
    full.reset(views, KeyIndex::Room::ForAll);
    growing.reset(views, KeyIndex::Room::AsNeeded);
    const qsizetype firstSlots = growing.slotCount();
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
    QVERIFY(growing.slotCount() > firstSlots);
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

void TestFormat::merge_data()
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
    // Lines that only look like the key at their ends and in length are not it; a line that is
    // it is, whatever lies between.
    QTest::newRow("look-alike lines")
        << QByteArray("Webcam 1 North Gate\r\nWebcam 1 South Gate\r\nWebcam 1 North Gate\r\nd\r\n")
        << QByteArrayList{"Webcam 1 South Gate"}
        << QByteArray("Webcam 1 South Gate\r\nWebcam 1 North Gate\r\n")
        << QByteArrayList{"Webcam 1 South Gate"};
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

void TestFormat::merge()
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

QTEST_GUILESS_MAIN(TestFormat)
#include "tst_format.moc"
