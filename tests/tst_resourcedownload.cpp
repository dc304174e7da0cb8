#include "dialupstatus.h"
#include "fakeremoteaccess.h"
#include "internettransfer.h"
#include "loopbackhttpserver.h"
#include "remoteaccess.h"
#include "resourcedownload.h"
#include "testfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QList>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

QByteArray pngOf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QImage pattern(int width, int height, QRgb base)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, base ^ qRgba(x * 40, y * 60, 0, 0));
    }
    return image;
}

LoopbackHttpServer::Answer cannedAnswer(int status, const QByteArray& body)
{
    LoopbackHttpServer::Answer result;
    result.status = status;
    result.body = body;
    return result;
}

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

enum class Line { Connected, NotConnected, NoConnection, Unbindable };

// One download with everything it touches: a loopback server, the transfer, a scripted
// dial-up layer, a folder of its own and recorders for the three window roles.
class Rig final
{
public:
    explicit Rig(Line line)
        : binding(makeBinding(line)), download(transfer, [this] { return DFÜStatus(*binding); })
    {
        folder = root.filePath(QStringLiteral("app"));
        QDir().mkpath(folder);
        download.setFolder(folder);
        download.setNameSource([this] { return nameText; });
        download.setPictureTarget([this](const QImage& picture) { pictures.append(picture); });
        download.setPointerShape([this](bool busy) { pointer.append(busy); });
    }

    QString fileUrl(const QString& path) const { return server.url(path).toString(); }
    QString inFolder(const QString& name) const { return folder + u'/' + name; }

    QTemporaryDir root;
    QString folder;
    LoopbackHttpServer server;
    InternetTransfer transfer;
    std::unique_ptr<RemoteAccessBinding> binding;
    ResourceDownload download;
    QString nameText;
    QList<QImage> pictures;
    QList<bool> pointer;

private:
    static std::unique_ptr<RemoteAccessBinding> makeBinding(Line line)
    {
        std::vector<FakeRemoteAccess::Connection> connections;
        if (line == Line::Connected)
            connections.push_back({21, RASCS_Connected});
        if (line == Line::NotConnected)
            connections.push_back({21, RASCS_Disconnected});
        if (line == Line::Unbindable)
            return std::make_unique<RemoteAccessBinding>(
                [] { return std::unique_ptr<RemoteAccessService>(); });
        return std::make_unique<RemoteAccessBinding>(
            [connections]() -> std::unique_ptr<RemoteAccessService> {
                return std::make_unique<FakeRemoteAccess>(connections);
            });
    }
};

const QList<bool> busyThenBack{true, false};

} // namespace

Q_DECLARE_METATYPE(Line)
Q_DECLARE_METATYPE(LoopbackHttpServer::Answer)

class TestResourceDownload final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void GetFileName_data();
    void GetFileName();

    void offlineTouchesNothing_data();
    void offlineTouchesNothing();
    void storesAndShowsThePicture();
    void replacesWhatStoodUnderTheName();
    void refusedNamesWriteNothing_data();
    void refusedNamesWriteNothing();
    void failedDownloadKeepsTheFile_data();
    void failedDownloadKeepsTheFile();
    void unsetRolesStillFetch();
    void failingStepIsSkipped();
};

void TestResourceDownload::GetFileName_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("web address") << u"http://h/cams/cam1.jpg"_s << u"cam1.jpg"_s;
    QTest::newRow("windows path") << u"C:\\pics\\cam1.jpg"_s << u"cam1.jpg"_s;
    QTest::newRow("no separator") << u"plain"_s << u"plain"_s;
    QTest::newRow("ends in slash") << u"a/"_s << QString();
    QTest::newRow("ends in backslash") << u"a\\"_s << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("backslash after slash") << u"a/b\\c"_s << u"c"_s;
    QTest::newRow("slash after backslash") << u"a\\b/c"_s << u"c"_s;
    QTest::newRow("query stays") << u"http://h/get?id=1"_s << u"get?id=1"_s;
    QTest::newRow("spaces and dots kept") << u"x/ cam .1. "_s << u" cam .1. "_s;
}

void TestResourceDownload::GetFileName()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(ResourceDownload::GetFileName(text), expected);
}

void TestResourceDownload::offlineTouchesNothing_data()
{
    QTest::addColumn<Line>("line");
    QTest::newRow("no connection") << Line::NoConnection;
    QTest::newRow("not connected") << Line::NotConnected;
    QTest::newRow("check throws") << Line::Unbindable;
}

void TestResourceDownload::offlineTouchesNothing()
{
    QFETCH(Line, line);
    Rig rig(line);
    QVERIFY(rig.root.isValid());
    rig.server.setAnswer(u"/cam1.png"_s, cannedAnswer(200, pngOf(pattern(4, 3, 0xff102030))));
    rig.nameText = u"cam1.png"_s;

    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));

    QCOMPARE(rig.server.requestCount(), 0);
    QVERIFY(rig.pointer.isEmpty());
    QVERIFY(rig.pictures.isEmpty());
    QCOMPARE(entriesOf(rig.folder), QStringList());
}

void TestResourceDownload::storesAndShowsThePicture()
{
    Rig rig(Line::Connected);
    QVERIFY(rig.root.isValid());
    const QImage image = pattern(5, 4, 0xff336699);
    const QByteArray body = pngOf(image);
    rig.server.setAnswer(u"/cams/served.png"_s, cannedAnswer(200, body));
    // The name comes from the name source, not from the address.
    rig.nameText = u"http://elsewhere/pics\\cam1.png"_s;

    rig.download.GetRESOURCE(rig.fileUrl(u"/cams/served.png"_s));

    QCOMPARE(rig.server.requestCount(), 1);
    QCOMPARE(entriesOf(rig.folder), QStringList{u"cam1.png"_s});
    QCOMPARE(fileBytes(rig.inFolder(u"cam1.png"_s)), body);
    QCOMPARE(rig.pictures.size(), 2);
    QVERIFY(rig.pictures[0].isNull());
    QCOMPARE(rig.pictures[1].convertToFormat(QImage::Format_ARGB32), image);
    QCOMPARE(rig.pointer, busyThenBack);
    // The transfer is used as it was set up.
    QCOMPARE(rig.transfer.accessType(), InternetTransfer::AccessType::UseDefault);
    QCOMPARE(rig.transfer.protocol(), InternetTransfer::Protocol::Default);
}

void TestResourceDownload::replacesWhatStoodUnderTheName()
{
    Rig rig(Line::Connected);
    QVERIFY(rig.root.isValid());
    const QString target = rig.inFolder(u"cam1.png"_s);
    QVERIFY(writeFile(target, QByteArray(64 * 1024, 'x')));
    const QImage image = pattern(3, 3, 0xff00ff00);
    const QByteArray body = pngOf(image);
    rig.server.setAnswer(u"/cam1.png"_s, cannedAnswer(200, body));
    rig.nameText = u"cam1.png"_s;

    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));

    QCOMPARE(fileBytes(target), body);
    QCOMPARE(entriesOf(rig.folder), QStringList{u"cam1.png"_s});
    QCOMPARE(rig.pictures.size(), 2);
    QCOMPARE(rig.pictures[1].convertToFormat(QImage::Format_ARGB32), image);
    QCOMPARE(rig.pointer, busyThenBack);

    // A link under the name is replaced; the file it points to is never written.
    const QString outside = rig.root.filePath(u"outside.png"_s);
    QVERIFY(writeFile(outside, "someone else's"));
    QVERIFY(QFile::remove(target) && QFile::link(outside, target));
    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));
    QCOMPARE(fileBytes(outside), QByteArray("someone else's"));
    QVERIFY(!QFileInfo(target).isSymLink());
    QCOMPARE(fileBytes(target), body);
    QCOMPARE(entriesOf(rig.folder), QStringList{u"cam1.png"_s});
}

void TestResourceDownload::refusedNamesWriteNothing_data()
{
    QTest::addColumn<QString>("nameText");
    QTest::newRow("empty") << QString();
    QTest::newRow("ends in a separator") << u"C:\\pics\\"_s;
    QTest::newRow("dot") << u"."_s;
    QTest::newRow("dot dot") << u"pics/.."_s;
}

void TestResourceDownload::refusedNamesWriteNothing()
{
    QFETCH(QString, nameText);
    Rig rig(Line::Connected);
    QVERIFY(rig.root.isValid());
    rig.server.setAnswer(u"/cam1.png"_s, cannedAnswer(200, pngOf(pattern(4, 4, 0xffaabbcc))));
    rig.nameText = nameText;

    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));

    // Still fetched, but neither the folder nor its parent gained anything.
    QCOMPARE(rig.server.requestCount(), 1);
    QCOMPARE(entriesOf(rig.folder), QStringList());
    QCOMPARE(entriesOf(rig.root.path()), QStringList{u"app"_s});
    QCOMPARE(rig.pictures.size(), 1);
    QVERIFY(rig.pictures[0].isNull());
    QCOMPARE(rig.pointer, busyThenBack);
}

void TestResourceDownload::failedDownloadKeepsTheFile_data()
{
    QTest::addColumn<LoopbackHttpServer::Answer>("answer");
    QTest::addColumn<bool>("shortStallTimeout");

    const QByteArray png = pngOf(pattern(6, 6, 0xff445566));
    LoopbackHttpServer::Answer dropped = cannedAnswer(200, png);
    dropped.dropAfterBytes = 10;
    LoopbackHttpServer::Answer stalled = cannedAnswer(200, png);
    stalled.stallAfterBytes = 10;

    QTest::newRow("not found") << cannedAnswer(404, png) << false;
    QTest::newRow("server error") << cannedAnswer(500, png) << false;
    QTest::newRow("dropped mid-body") << dropped << false;
    QTest::newRow("empty body") << cannedAnswer(200, QByteArray()) << false;
    QTest::newRow("stalled") << stalled << true;
}

void TestResourceDownload::failedDownloadKeepsTheFile()
{
    QFETCH(LoopbackHttpServer::Answer, answer);
    QFETCH(bool, shortStallTimeout);
    Rig rig(Line::Connected);
    QVERIFY(rig.root.isValid());
    if (shortStallTimeout)
        rig.transfer.setStallTimeout(300ms);
    const QImage earlier = pattern(2, 2, 0xff0000ff);
    const QByteArray earlierBytes = pngOf(earlier);
    const QString target = rig.inFolder(u"cam1.png"_s);
    QVERIFY(writeFile(target, earlierBytes));
    rig.server.setAnswer(u"/cam1.png"_s, answer);
    rig.nameText = u"cam1.png"_s;

    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));

    // Qt sends the request once more when a connection closes before any answer arrived.
    QVERIFY(rig.server.requestCount() >= 1);
    QCOMPARE(fileBytes(target), earlierBytes);
    QCOMPARE(entriesOf(rig.folder), QStringList{u"cam1.png"_s});
    // The picture shown is what that path holds: the earlier file.
    QCOMPARE(rig.pictures.size(), 2);
    QVERIFY(rig.pictures[0].isNull());
    QCOMPARE(rig.pictures[1].convertToFormat(QImage::Format_ARGB32), earlier);
    QCOMPARE(rig.pointer, busyThenBack);
}

void TestResourceDownload::unsetRolesStillFetch()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    LoopbackHttpServer server;
    server.setAnswer(u"/cam1.png"_s, cannedAnswer(200, pngOf(pattern(4, 4, 0xff123456))));
    InternetTransfer transfer;
    RemoteAccessBinding binding([]() -> std::unique_ptr<RemoteAccessService> {
        return std::make_unique<FakeRemoteAccess>(
            std::vector{FakeRemoteAccess::Connection{3, RASCS_Connected}});
    });
    ResourceDownload download(transfer, [&binding] { return DFÜStatus(binding); });
    download.setFolder(folder.path());
    QList<bool> pointer;
    download.setPointerShape([&pointer](bool busy) { pointer.append(busy); });

    download.GetRESOURCE(server.url(u"/cam1.png"_s).toString());

    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(entriesOf(folder.path()), QStringList());
    QCOMPARE(pointer, busyThenBack);
}

void TestResourceDownload::failingStepIsSkipped()
{
    Rig rig(Line::Connected);
    QVERIFY(rig.root.isValid());
    const QByteArray body = pngOf(pattern(4, 2, 0xff999999));
    rig.server.setAnswer(u"/cam1.png"_s, cannedAnswer(200, body));
    rig.nameText = u"cam1.png"_s;
    int pictureCalls = 0;
    rig.download.setPictureTarget([&pictureCalls](const QImage&) {
        ++pictureCalls;
        throw std::runtime_error("the picture display is gone");
    });

    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));

    QCOMPARE(pictureCalls, 2);
    QCOMPARE(fileBytes(rig.inFolder(u"cam1.png"_s)), body);
    QCOMPARE(rig.pointer, busyThenBack);
}

QTEST_GUILESS_MAIN(TestResourceDownload)
#include "tst_resourcedownload.moc"
