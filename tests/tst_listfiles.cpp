// Line reading, key picking, the sorted key list and number captions.
#include "keylist.h"
#include "keypicking.h"
#include "linereader.h"
#include "listfiles.h"
#include "numbertext.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestListFiles final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void keys_data();
    void keys();
    void keysKeepEveryByte();
    void boundary_data();
    void boundary();
    void sortedOrderIgnoresCaseAndKeepsEquals();
    void bulkAddMatchesOneByOne();
    void itemOutsideTheListIsEmpty();
    void aMillionKeys();
    void serverCopyRoundTrips();
    void missingOrUnreadableFilesHaveNoKeys();
    void leadingNumber_data();
    void leadingNumber();
};

namespace {

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
    QTest::newRow("records with a gap")
        << QByteArray("k1\r\nd1\r\n\r\nk2\r\nd2\r\n") << QByteArrayList{"k1", "k2"};
    QTest::newRow("leading empty lines")
        << QByteArray("\r\n\r\nk1\r\nd1\r\n") << QByteArrayList{"k1"};
    QTest::newRow("empty detail shifts the records")
        << QByteArray("k1\r\n\r\nd1\r\nk2\r\n") << QByteArrayList{"k1", "d1"};
    QTest::newRow("key without detail at the end")
        << QByteArray("k1\r\nd1\r\nk2") << QByteArrayList{"k1", "k2"};
    QTest::newRow("no line at all") << QByteArray() << QByteArrayList{};
    QTest::newRow("one empty line") << QByteArray("\r\n") << QByteArrayList{};
    QTest::newRow("lf-only text is one key")
        << QByteArray("k1\nd1\nk2\nd2\n") << QByteArrayList{"k1\nd1\nk2\nd2\n"};
    QTest::newRow("case and trailing blank are kept")
        << QByteArray("Cam\r\nd\r\ncam\r\nd\r\ncam \r\nd\r\n")
        << QByteArrayList{"Cam", "cam", "cam "};
    QTest::newRow("duplicates in file order")
        << QByteArray("b\r\n1\r\na\r\n2\r\nb\r\n3\r\n") << QByteArrayList{"b", "a", "b"};
}

void TestListFiles::keys()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArrayList, expected);
    QCOMPARE(pickKeys(data), expected);
}

void TestListFiles::keysKeepEveryByte()
{
    QByteArray odd("n\0ul\x80\xff", 7);
    const QByteArray huge(1 << 20, 'x');
    const QByteArray data = odd + "\r\ndetail\r\n" + huge + "\r\nd";
    QCOMPARE(pickKeys(data), (QByteArrayList{odd, huge}));
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
    QCOMPARE(pickKeys(old + boundary + records), pickKeys(old) + QByteArrayList{"new"});
    // A key may start with LF; it must not pair with a CR the old content ends in.
    const QByteArray lfRecords("\nnew\r\nd\r\n");
    const QByteArray lfKey = old + recordBoundaryAfter(old, lfRecords) + lfRecords;
    QCOMPARE(pickKeys(lfKey), pickKeys(old) + QByteArrayList{"\nnew"});
}

void TestListFiles::sortedOrderIgnoresCaseAndKeepsEquals()
{
    KeyList sorted(KeyList::Order::Sorted);
    KeyList asAdded(KeyList::Order::AsAdded);
    for (const char* key : {"b", "A", "c"}) {
        sorted.add(key);
        asAdded.add(key);
    }
    QCOMPARE(sorted.keys(), (QByteArrayList{"A", "b", "c"}));
    QCOMPARE(asAdded.keys(), (QByteArrayList{"b", "A", "c"}));

    // Keys equal but for case keep the order they came in; a duplicate goes after its twin.
    KeyList list(KeyList::Order::Sorted);
    for (const char* key : {"cam", "CAM", "Cam", "a", "cam"})
        list.add(key);
    QCOMPARE(list.keys(), (QByteArrayList{"a", "cam", "CAM", "Cam", "cam"}));

    // An added key that sorts first moves every other key one place up.
    QCOMPARE(list.add("0"), 0);
    QCOMPARE(list.item(1), QByteArray("a"));

    // Bytes past ASCII letters sort by value; '_' (0x5F) lies between 'Z' and 'a' unfolded,
    // but after the folded letters.
    KeyList bytes(KeyList::Order::Sorted);
    for (const char* key : {"\xe9t\xe9", "_x", "Zebra", "apple"})
        bytes.add(key);
    QCOMPARE(bytes.keys(), (QByteArrayList{"_x", "apple", "Zebra", "\xe9t\xe9"}));
}

void TestListFiles::bulkAddMatchesOneByOne()
{
    const QByteArrayList first{"m", "B", "b", "a"};
    const QByteArrayList second{"M", "b", "z", "A", "B"};
    KeyList one(KeyList::Order::Sorted);
    for (const QByteArray& key : first + second)
        one.add(key);
    KeyList bulk(KeyList::Order::Sorted);
    bulk.addAll(first);
    bulk.addAll(second);
    QCOMPARE(bulk.keys(), one.keys());
}

void TestListFiles::itemOutsideTheListIsEmpty()
{
    KeyList list(KeyList::Order::Sorted);
    list.add("x");
    QCOMPARE(list.item(1), QByteArray());
    QCOMPARE(list.item(-1), QByteArray());
    QVERIFY(list.item(1).isEmpty());
}

// Counts past a 16-bit number: a list far longer than 32767 keys keeps every key in order.
void TestListFiles::aMillionKeys()
{
    QByteArrayList keys;
    keys.reserve(1'000'000);
    for (int i = 999'999; i >= 0; --i)
        keys.append("cam" + QByteArray::number(i).rightJustified(7, '0'));
    KeyList list(KeyList::Order::Sorted);
    list.addAll(keys);
    QCOMPARE(list.count(), 1'000'000);
    QCOMPARE(list.item(0), QByteArray("cam0000000"));
    QCOMPARE(list.item(40'000), QByteArray("cam0040000"));
    QCOMPARE(list.item(999'999), QByteArray("cam0999999"));
}

void TestListFiles::serverCopyRoundTrips()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("temp.tmp"));
    QByteArray text;
    for (int byte = 0; byte < 256; ++byte)
        text += static_cast<char>(byte);
    QVERIFY(ListFiles::writeServerCopy(path, text).ok);
    QCOMPARE(ListFiles::readAll(path).value(), text + "\r\n");

    // A shorter second copy truncates the first.
    QVERIFY(ListFiles::writeServerCopy(path, "k1\r\nd1").ok);
    QCOMPARE(ListFiles::readAll(path).value(), QByteArray("k1\r\nd1\r\n"));
    QCOMPARE(ListFiles::pickKeysFromFile(path), QByteArrayList{"k1"});
}

void TestListFiles::missingOrUnreadableFilesHaveNoKeys()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(ListFiles::pickKeysFromFile(dir.filePath(QStringLiteral("Cams.inf"))).isEmpty());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Cams.inf"))));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Cams.inf")));
    QVERIFY(!ListFiles::readAll(dir.filePath(QStringLiteral("Cams.inf"))).has_value());
    const FileReplacer::Outcome copied =
        ListFiles::writeServerCopy(dir.filePath(QStringLiteral("Cams.inf")), "x");
    QVERIFY(!copied.ok);
    QCOMPARE(copied.error, QStringLiteral("Is a directory"));
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
