#include "dialupstatus.h"
#include "fakeremoteaccess.h"
#include "linuxremoteaccess.h"
#include "remoteaccess.h"

#include <QList>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstring>
#include <memory>
#include <net/if.h>
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

QTEST_GUILESS_MAIN(TestDialUpStatus)
#include "tst_dialupstatus.moc"
