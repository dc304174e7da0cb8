// The dial-up check and the resource download.
#include "net/dialupstatus.h"
#include "net/internettransfer.h"
#include "net/linuxremoteaccess.h"
#include "net/remoteaccess.h"
#include "net/resourcedownload.h"
#include "tests/support/fakeremoteaccess.h"
#include "tests/support/loopbackhttpserver.h"
#include "tests/support/testfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QList>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

using Connection = FakeRemoteAccess::Connection;
using Link = LinuxRemoteAccess::Link;

Q_DECLARE_METATYPE(FakeRemoteAccess::Connection)

namespace {

constexpr unsigned upAndRunning = IFF_UP | IFF_RUNNING;

// A binding that owns the service while the test keeps a way to look at it.
std::unique_ptr<RemoteAccessBinding> bindingTo(std::unique_ptr<RemoteAccessService> service)
{
    auto owned = std::make_shared<std::unique_ptr<RemoteAccessService>>(std::move(service));
    return std::make_unique<RemoteAccessBinding>([owned] { return std::move(*owned); });
}

std::unique_ptr<LinuxRemoteAccess> linuxWith(std::vector<Link> links)
{
    return std::make_unique<LinuxRemoteAccess>([links] { return std::optional(links); });
}

QList<HRASCONN> handlesOf(const RASCONN* entries, std::uint32_t count)
{
    QList<HRASCONN> handles;
    for (std::uint32_t i = 0; i < count; ++i)
        handles.append(entries[i].hrasconn);
    return handles;
}

} // namespace

class TestDialUpStatus final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void examinesOnlyTheFirstConnection_data();
    void examinesOnlyTheFirstConnection();
    void bindsOnTheFirstCheck();
    void unbindableLayerThrows();

    void linuxListsPointToPointLinksInOrder();
    void linuxConnectedMeansUpAndRunning_data();
    void linuxConnectedMeansUpAndRunning();
    void linuxNeverWritesPastTheByteCount();
    void linuxRefusesBadRecordsAndHandles();
    void linuxUnreadableLinksListNothing();
    void linuxDialUpCheckEndToEnd();
    void linuxSystemLinksCarryKernelIndexesAndRunningFlag();
};

void TestDialUpStatus::examinesOnlyTheFirstConnection_data()
{
    QTest::addColumn<QList<Connection>>("connections");
    QTest::addColumn<bool>("statusFails");
    QTest::addColumn<std::uint32_t>("enumCode");
    QTest::addColumn<bool>("expected");

    const Connection up7{7, RASCS_Connected};
    const Connection down7{7, RASCS_Disconnected};
    const Connection up9{9, RASCS_Connected};
    const Connection down9{9, RASCS_Disconnected};

    QTest::newRow("no connection") << QList<Connection>{} << false << RAS_SUCCESS << false;
    QTest::newRow("one connected") << QList{up7} << false << RAS_SUCCESS << true;
    QTest::newRow("one not connected") << QList{down7} << false << RAS_SUCCESS << false;
    QTest::newRow("first not connected, second is")
        << QList{down7, up9} << false << RAS_SUCCESS << false;
    QTest::newRow("first connected, second not")
        << QList{up7, down9} << false << RAS_SUCCESS << true;
    QTest::newRow("status query fails, fills nothing")
        << QList{up7} << true << RAS_SUCCESS << false;
    QTest::newRow("listing reports an error yet a count")
        << QList{up7} << false << RAS_ERROR_BUFFER_TOO_SMALL << true;
}

void TestDialUpStatus::examinesOnlyTheFirstConnection()
{
    QFETCH(QList<Connection>, connections);
    QFETCH(bool, statusFails);
    QFETCH(std::uint32_t, enumCode);
    QFETCH(bool, expected);

    auto service = std::make_unique<FakeRemoteAccess>(
        std::vector<Connection>(connections.cbegin(), connections.cend()));
    service->setStatusFails(statusFails);
    service->setEnumCode(enumCode);
    const FakeRemoteAccess& fake = *service;
    const auto binding = bindingTo(std::move(service));

    QCOMPARE(DFÜStatus(*binding), expected);

    QCOMPARE(fake.enumCalls().size(), 1u);
    QCOMPARE(fake.enumCalls()[0].byteCount, 105'472u);
    QCOMPARE(fake.enumCalls()[0].entry0Size, 412u);
    QVERIFY(fake.enumCalls()[0].bufferZeroed);
    if (connections.isEmpty()) {
        QVERIFY(fake.statusQueries().empty());
    } else {
        QCOMPARE(fake.statusQueries().size(), 1u);
        QCOMPARE(fake.statusQueries()[0].handle, connections.first().handle);
        QCOMPARE(fake.statusQueries()[0].dwSize, 160u);
    }
}

void TestDialUpStatus::bindsOnTheFirstCheck()
{
    int resolved = 0;
    bool available = false;
    RemoteAccessBinding binding([&]() -> std::unique_ptr<RemoteAccessService> {
        ++resolved;
        if (!available)
            return nullptr;
        return std::make_unique<FakeRemoteAccess>(std::vector{Connection{3, RASCS_Connected}});
    });
    QCOMPARE(resolved, 0);
    QVERIFY(!binding.isBound());

    QVERIFY_THROWS_EXCEPTION(RemoteAccessUnavailable, DFÜStatus(binding));
    QCOMPARE(resolved, 1);

    // A service that turns up later is bound on the next check, and then kept.
    available = true;
    QVERIFY(DFÜStatus(binding));
    QVERIFY(DFÜStatus(binding));
    QCOMPARE(resolved, 2);
    QVERIFY(binding.isBound());
}

void TestDialUpStatus::unbindableLayerThrows()
{
    RemoteAccessBinding noService([] { return std::unique_ptr<RemoteAccessService>(); });
    QVERIFY_THROWS_EXCEPTION(RemoteAccessUnavailable, DFÜStatus(noService));

    RemoteAccessBinding failingResolver([]() -> std::unique_ptr<RemoteAccessService> {
        throw RemoteAccessUnavailable("no dial-up here");
    });
    QVERIFY_THROWS_EXCEPTION(RemoteAccessUnavailable, DFÜStatus(failingResolver));

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const std::string missing = dir.filePath(QStringLiteral("no-such-folder")).toStdString();
    QVERIFY(!LinuxRemoteAccess::open(missing));
    QVERIFY(LinuxRemoteAccess::open(dir.path().toStdString()));
    RemoteAccessBinding linuxMissing([missing]() -> std::unique_ptr<RemoteAccessService> {
        return LinuxRemoteAccess::open(missing);
    });
    QVERIFY_THROWS_EXCEPTION(RemoteAccessUnavailable, DFÜStatus(linuxMissing));
}

void TestDialUpStatus::linuxListsPointToPointLinksInOrder()
{
    const auto ras = linuxWith({
        {1, "lo", IFF_LOOPBACK | upAndRunning},
        {2, "eth0", IFF_BROADCAST | upAndRunning},
        {5, "ppp1", IFF_POINTOPOINT | upAndRunning},
        {3, "tun0", IFF_POINTOPOINT | IFF_UP},
        {4, "ppp0", IFF_POINTOPOINT},
    });
    std::vector<RASCONN> entries(8);
    entries[0].dwSize = sizeof(RASCONN);
    std::uint32_t byteCount = sizeof(RASCONN) * 8;
    std::uint32_t count = 99;

    QCOMPARE(ras->RasEnumConnectionsA(entries.data(), &byteCount, &count), RAS_SUCCESS);
    QCOMPARE(count, 3u);
    QCOMPARE(handlesOf(entries.data(), count), (QList<HRASCONN>{5, 3, 4}));
    QCOMPARE(byteCount, 3 * sizeof(RASCONN));
    for (std::uint32_t i = 0; i < count; ++i)
        QCOMPARE(entries[i].dwSize, sizeof(RASCONN));
    QCOMPARE(QByteArray(entries[1].szEntryName), QByteArray("tun0"));
}

void TestDialUpStatus::linuxConnectedMeansUpAndRunning_data()
{
    QTest::addColumn<unsigned>("flags");
    QTest::addColumn<std::uint32_t>("state");

    QTest::newRow("up and running") << unsigned{IFF_POINTOPOINT | upAndRunning} << RASCS_Connected;
    QTest::newRow("up, not running") << unsigned{IFF_POINTOPOINT | IFF_UP} << RASCS_Disconnected;
    QTest::newRow("running, not up")
        << unsigned{IFF_POINTOPOINT | IFF_RUNNING} << RASCS_Disconnected;
    QTest::newRow("down") << unsigned{IFF_POINTOPOINT} << RASCS_Disconnected;
}

void TestDialUpStatus::linuxConnectedMeansUpAndRunning()
{
    QFETCH(unsigned, flags);
    QFETCH(std::uint32_t, state);

    const auto ras = linuxWith({{2, "eth0", IFF_BROADCAST | upAndRunning}, {6, "ppp0", flags}});
    RASCONNSTATUS status{};
    status.dwSize = sizeof(RASCONNSTATUS);
    QCOMPARE(ras->RasGetConnectStatusA(6, &status), RAS_SUCCESS);
    QCOMPARE(status.rasconnstate, state);
    QCOMPARE(status.dwSize, sizeof(RASCONNSTATUS));
    QCOMPARE(QByteArray(status.szDeviceName), QByteArray("ppp0"));
}

void TestDialUpStatus::linuxNeverWritesPastTheByteCount()
{
    const auto ras = linuxWith({
        {4, "ppp0", IFF_POINTOPOINT | upAndRunning},
        {5, "ppp1", IFF_POINTOPOINT},
        {6, "ppp2", IFF_POINTOPOINT},
    });
    constexpr unsigned char untouched = 0xAB;
    const auto freshBuffer = [] {
        std::vector<RASCONN> entries(4);
        std::memset(entries.data(), untouched, entries.size() * sizeof(RASCONN));
        entries[0].dwSize = sizeof(RASCONN);
        return entries;
    };
    const auto untouchedFrom = [](const std::vector<RASCONN>& entries, std::size_t offset) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(entries.data());
        const std::size_t end = entries.size() * sizeof(RASCONN);
        return std::all_of(bytes + offset, bytes + end,
                           [](unsigned char b) { return b == untouched; });
    };

    // Room for two entries and a part of a third: two are written, not a byte more.
    std::vector<RASCONN> entries = freshBuffer();
    std::uint32_t byteCount = 2 * sizeof(RASCONN) + 100;
    std::uint32_t count = 0;
    QCOMPARE(ras->RasEnumConnectionsA(entries.data(), &byteCount, &count),
             RAS_ERROR_BUFFER_TOO_SMALL);
    QCOMPARE(count, 2u);
    QCOMPARE(handlesOf(entries.data(), count), (QList<HRASCONN>{4, 5}));
    QCOMPARE(byteCount, 3 * sizeof(RASCONN));
    QVERIFY(untouchedFrom(entries, 2 * sizeof(RASCONN)));

    // Less than one entry: nothing beyond the dwSize the caller set.
    entries = freshBuffer();
    byteCount = sizeof(RASCONN) - 1;
    count = 99;
    QCOMPARE(ras->RasEnumConnectionsA(entries.data(), &byteCount, &count),
             RAS_ERROR_BUFFER_TOO_SMALL);
    QCOMPARE(count, 0u);
    QVERIFY(untouchedFrom(entries, sizeof(entries[0].dwSize)));
}

void TestDialUpStatus::linuxRefusesBadRecordsAndHandles()
{
    const auto ras = linuxWith({
        {1, "lo", IFF_LOOPBACK | upAndRunning},
        {4, "ppp0", IFF_POINTOPOINT | upAndRunning},
    });

    std::vector<RASCONN> entries(2);
    entries[0].dwSize = sizeof(RASCONN) - 4;
    std::uint32_t byteCount = 2 * sizeof(RASCONN);
    std::uint32_t count = 0;
    QCOMPARE(ras->RasEnumConnectionsA(entries.data(), &byteCount, &count), RAS_ERROR_INVALID_SIZE);
    QCOMPARE(entries[0].hrasconn, 0u);
    QCOMPARE(count, 0u);

    // A link that is not point-to-point is no dial-up connection, whatever its state.
    for (const HRASCONN handle : {HRASCONN{0}, HRASCONN{1}, HRASCONN{9}}) {
        RASCONNSTATUS status{};
        status.dwSize = sizeof(RASCONNSTATUS);
        QCOMPARE(ras->RasGetConnectStatusA(handle, &status), RAS_ERROR_INVALID_HANDLE);
        QCOMPARE(status.rasconnstate, 0u);
    }

    RASCONNSTATUS wrongSize{};
    wrongSize.dwSize = sizeof(RASCONNSTATUS) + 4;
    QCOMPARE(ras->RasGetConnectStatusA(4, &wrongSize), RAS_ERROR_INVALID_SIZE);
    QCOMPARE(wrongSize.rasconnstate, 0u);
}

void TestDialUpStatus::linuxUnreadableLinksListNothing()
{
    LinuxRemoteAccess ras([] { return std::optional<std::vector<Link>>(); });
    std::vector<RASCONN> entries(1);
    entries[0].dwSize = sizeof(RASCONN);
    std::uint32_t byteCount = sizeof(RASCONN);
    std::uint32_t count = 5;
    QCOMPARE(ras.RasEnumConnectionsA(entries.data(), &byteCount, &count), RAS_ERROR_OPEN_FAILED);
    QCOMPARE(count, 0u);
}

void TestDialUpStatus::linuxDialUpCheckEndToEnd()
{
    const auto firstDown = bindingTo(linuxWith({
        {2, "eth0", IFF_BROADCAST | upAndRunning},
        {4, "ppp0", IFF_POINTOPOINT | IFF_UP},
        {5, "ppp1", IFF_POINTOPOINT | upAndRunning},
    }));
    QVERIFY(!DFÜStatus(*firstDown));

    const auto firstUp = bindingTo(linuxWith({
        {2, "eth0", IFF_BROADCAST | upAndRunning},
        {5, "ppp1", IFF_POINTOPOINT | upAndRunning},
        {4, "ppp0", IFF_POINTOPOINT | IFF_UP},
    }));
    QVERIFY(DFÜStatus(*firstUp));

    const auto noDialUp = bindingTo(linuxWith({{2, "eth0", IFF_BROADCAST | upAndRunning}}));
    QVERIFY(!DFÜStatus(*noDialUp));
}

void TestDialUpStatus::linuxSystemLinksCarryKernelIndexesAndRunningFlag()
{
    const std::optional<std::vector<Link>> links = LinuxRemoteAccess::systemLinks();
    QVERIFY(links.has_value());
    for (const Link& link : *links)
        QCOMPARE(link.index, ::if_nametoindex(link.name.c_str()));

    const auto loopback = std::find_if(links->begin(), links->end(),
                                       [](const Link& link) { return link.flags & IFF_LOOPBACK; });
    if (loopback == links->end() || !(loopback->flags & IFF_UP))
        QSKIP("this system has no loopback link that is up");
    // The kernel reports RUNNING only through the interface flags call, not through sysfs.
    QVERIFY(loopback->flags & IFF_RUNNING);
    QVERIFY(!(loopback->flags & IFF_POINTOPOINT));
}

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
// What stands under the picture's name before the download, other than a file.
enum class Standing { Fifo, Folder, DanglingLink };

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
Q_DECLARE_METATYPE(Standing)
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
    void neverOpensWhatIsNotAFile_data();
    void neverOpensWhatIsNotAFile();
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

// What stands under the name is replaced or left, but never opened: a FIFO would hold the
// download until a writer came, whether it is written or a picture is read from it.
void TestResourceDownload::neverOpensWhatIsNotAFile_data()
{
    QTest::addColumn<Standing>("standing");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("FIFO, picture received") << Standing::Fifo << 200 << true;
    QTest::newRow("FIFO, nothing received") << Standing::Fifo << 404 << false;
    QTest::newRow("folder, picture received") << Standing::Folder << 200 << false;
    QTest::newRow("link to nothing, picture received") << Standing::DanglingLink << 200 << true;
}

void TestResourceDownload::neverOpensWhatIsNotAFile()
{
    QFETCH(Standing, standing);
    QFETCH(int, status);
    QFETCH(bool, replaced);
    Rig rig(Line::Connected);
    QVERIFY(rig.root.isValid());
    const QString target = rig.inFolder(u"cam1.png"_s);
    const QString nowhere = rig.root.filePath(u"nowhere.png"_s);
    if (standing == Standing::Fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);
    if (standing == Standing::Folder)
        QVERIFY(QDir().mkpath(target));
    if (standing == Standing::DanglingLink)
        QVERIFY(QFile::link(nowhere, target));
    const QImage image = pattern(3, 2, 0xff204060);
    const QByteArray body = pngOf(image);
    rig.server.setAnswer(u"/cam1.png"_s, cannedAnswer(status, body));
    rig.nameText = u"cam1.png"_s;

    rig.download.GetRESOURCE(rig.fileUrl(u"/cam1.png"_s));

    QCOMPARE(rig.pointer, busyThenBack);
    // FIFOs and broken links are listed as system entries only.
    QCOMPARE(QDir(rig.folder)
                 .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"cam1.png"_s});
    QVERIFY(!QFileInfo::exists(nowhere));
    const QFileInfo after(target);
    if (replaced) {
        QVERIFY(after.isFile() && !after.isSymLink());
        QCOMPARE(fileBytes(target), body);
        QCOMPARE(rig.pictures.size(), 2);
        QCOMPARE(rig.pictures[1].convertToFormat(QImage::Format_ARGB32), image);
    } else {
        QVERIFY(!after.isFile());
        QCOMPARE(rig.pictures.size(), 1);
        QVERIFY(rig.pictures[0].isNull());
    }
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

// Both parts in one program: each test class runs in turn, and any failure fails it.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int failed = 0;
    {
        TestDialUpStatus dialUp;
        failed += QTest::qExec(&dialUp, argc, argv);
    }
    {
        TestResourceDownload resources;
        failed += QTest::qExec(&resources, argc, argv);
    }
    return failed;
}

#include "tst_dialup_resource.moc"
