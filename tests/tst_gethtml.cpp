// The text fetch and the transfer control behind it, against a real server on 127.0.0.1.
#include "gethtml.h"
#include "internettransfer.h"
#include "loopbackhttpserver.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <optional>
#include <unistd.h>

// A name server that takes its time with one name: every other name goes to the system's own
// lookup. The transfer looks names up on a thread of its own, which finds this one first.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result)
{
    if (node && std::strcmp(node, "slow-lookup.invalid") == 0) {
        ::usleep(1'500'000);
        return EAI_NONAME;
    }
    if (node && std::strcmp(node, "no-such-name.invalid") == 0)
        return EAI_NONAME;
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto systemLookup = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    return systemLookup(node, service, hints, result);
}

using namespace std::chrono_literals;

class TestGetHtml final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void returnsTheExactBytes();
    void failuresGiveTheEmptyText_data();
    void failuresGiveTheEmptyText();
    void failuresNameTheirReason();
    void zeroByteBodyIsEmpty();
    void nothingListening();
    void secondCallAfterAFailureFetchesAnew();
    void stallEndsAtTheTimeout();
    void slowButSteadyIsTaken();
    void followsAFewRedirects();
    void refusesOtherSchemes();
    void cancelEndsAnOpenTransfer();
    void cancelWithNothingOpenIsHarmless();
    void cancelDuringASlowNameLookup();
    void bytesForBinaryData();

private:
    static QString fetch(LoopbackHttpServer& server, const LoopbackHttpServer::Answer& answer,
                         InternetTransfer& inet)
    {
        server.setAnswer(QStringLiteral("/list.txt"), answer);
        return GetHTML(inet, server.url(QStringLiteral("/list.txt")).toString());
    }
};

namespace {

LoopbackHttpServer::Answer ok(const QByteArray& body)
{
    LoopbackHttpServer::Answer answer;
    answer.body = body;
    return answer;
}

// A fetch that runs while the event loop turns, as the windows start it: what it ended with.
FetchResult startedFetch(InternetTransfer& inet, const QString& address)
{
    std::optional<FetchResult> ended;
    const QMetaObject::Connection told =
        QObject::connect(&inet, &InternetTransfer::finished, &inet, [&](const FetchResult& result) {
            if (ended)
                qFatal("a fetch was told to have ended twice");
            ended = result;
        });
    StartGetHTML(inet, address);
    if (ended)
        qFatal("a fetch was told to have ended from inside its start");
    if (!QTest::qWaitFor([&] { return ended.has_value(); }, 30'000))
        qWarning("a started fetch did not end");
    QTest::qWait(10);
    QObject::disconnect(told);
    return ended ? *ended : FetchResult(Failure<FetchFailure>{FetchFailure::Other, {}});
}

} // namespace

void TestGetHtml::returnsTheExactBytes()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    QByteArray body("k1\r\nd1\r\nk2\r\nd2\r\n");
    QCOMPARE(fetch(server, ok(body), inet), QString::fromLatin1(body));

    // Every byte value comes back as the character of the same number.
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte)
        all += static_cast<char>(byte);
    QCOMPARE(fetch(server, ok(all), inet).toLatin1(), all);

    // Without Content-Length the body runs to the close, and its end was not announced: a cut
    // would look the same. A length or chunks announce it.
    LoopbackHttpServer::Answer unsized = ok("k9\rd9");
    unsized.sendLength = false;
    QCOMPARE(fetch(server, unsized, inet), QStringLiteral("k9\rd9"));
    server.setAnswer(QStringLiteral("/list.txt"), unsized);
    const QString address = server.url(QStringLiteral("/list.txt")).toString();
    QCOMPARE(GetHTMLResult(inet, address).value().endAnnounced, false);
    LoopbackHttpServer::Answer chunked = ok(QByteArray(2'500, 'c'));
    chunked.chunked = true;
    server.setAnswer(QStringLiteral("/list.txt"), chunked);
    FetchResult whole = GetHTMLResult(inet, address);
    QCOMPARE(whole.value().body, chunked.body);
    QVERIFY(whole.value().endAnnounced);
    server.setAnswer(QStringLiteral("/list.txt"), ok("k1\r\nd1"));
    QVERIFY(GetHTMLResult(inet, address).value().endAnnounced);

    // Identity is the one content encoding that leaves the bytes as they are.
    LoopbackHttpServer::Answer identity = ok("k8\r\nd8\r\n");
    identity.extraHeaders = "Content-Encoding: identity\r\n";
    QCOMPARE(fetch(server, identity, inet), QStringLiteral("k8\r\nd8\r\n"));
    QCOMPARE(inet.accessType(), InternetTransfer::AccessType::Direct);
    QCOMPARE(inet.protocol(), InternetTransfer::Protocol::Http);
}

void TestGetHtml::failuresGiveTheEmptyText_data()
{
    QTest::addColumn<LoopbackHttpServer::Answer>("answer");
    QTest::addColumn<qint64>("maxBodyBytes");
    // The transfer must hang up long before the server has sent its whole answer.
    QTest::addColumn<bool>("hangsUp");
    // What the user is told, word for word.
    QTest::addColumn<QString>("reason");
    constexpr qint64 anyBody = InternetTransfer::defaultMaxBodyBytes;
    const QString cutShort =
        QStringLiteral("The transfer was cut short before the whole list arrived.");
    const QString notHttp = QStringLiteral("The server's answer was not HTTP.");
    const QString encoded =
        QStringLiteral("The server sent the list packed in a coding, not as plain text.");
    LoopbackHttpServer::Answer notFound = ok("<html>Not Found</html>\r\n");
    notFound.status = 404;
    QTest::newRow("404 with a page")
        << notFound << anyBody << false << QStringLiteral("The server answered 404 Canned.");
    LoopbackHttpServer::Answer serverError = ok("k1\r\nd1\r\n");
    serverError.status = 500;
    QTest::newRow("500 with a list-like body")
        << serverError << anyBody << false << QStringLiteral("The server answered 500 Canned.");
    // Only printable characters of a phrase reach the user, and not without end.
    LoopbackHttpServer::Answer hostilePhrase;
    hostilePhrase.raw = "HTTP/1.1 503 <b>Busy</b>\x1b[2J\x7f\xe2\x80\xae" + QByteArray(200, 'z') +
                        "\r\nContent-Length: 0\r\n\r\n";
    QTest::newRow("status phrase with control bytes")
        << hostilePhrase << anyBody << false
        << QStringLiteral("The server answered 503 <b>Busy</b>[2J%1.").arg(QString(66, u'z'));
    LoopbackHttpServer::Answer dropped = ok(QByteArray(100'000, 'x'));
    dropped.dropAfterBytes = 5'000;
    QTest::newRow("dropped half way") << dropped << anyBody << false << cutShort;
    LoopbackHttpServer::Answer droppedChunks = dropped;
    droppedChunks.chunked = true;
    QTest::newRow("chunks dropped half way") << droppedChunks << anyBody << false << cutShort;
    LoopbackHttpServer::Answer garbage;
    garbage.raw = "this is not HTTP at all\r\n\r\n";
    QTest::newRow("not HTTP") << garbage << anyBody << false << notHttp;
    LoopbackHttpServer::Answer silentClose;
    silentClose.raw = "";
    QTest::newRow("closed without an answer")
        << silentClose << anyBody << false
        << QStringLiteral("The server closed the connection without an answer.");
    const QString tooLarge = QStringLiteral("The list is larger than 1000 bytes.");
    LoopbackHttpServer::Answer tooBig = ok(QByteArray(2'000, 'x'));
    QTest::newRow("over the size limit") << tooBig << qint64{1'000} << false << tooLarge;
    LoopbackHttpServer::Answer tooBigUnannounced = tooBig;
    tooBigUnannounced.sendLength = false;
    QTest::newRow("over the size limit, no length")
        << tooBigUnannounced << qint64{1'000} << false << tooLarge;
    LoopbackHttpServer::Answer loop;
    loop.status = 302;
    loop.extraHeaders = "Location: /list.txt\r\n";
    const QString redirectRefused = QStringLiteral(
        "The server sent the request on too often, or to an address that is not allowed.");
    QTest::newRow("redirect loop") << loop << anyBody << false << redirectRefused;
    LoopbackHttpServer::Answer otherScheme = loop;
    otherScheme.extraHeaders = "Location: ftp://127.0.0.1/list.txt\r\n";
    QTest::newRow("redirect to another scheme")
        << otherScheme << anyBody << false << redirectRefused;
    LoopbackHttpServer::Answer endlessHead;
    endlessHead.endlessHead = true;
    QTest::newRow("head that never ends")
        << endlessHead << anyBody << true
        << QStringLiteral("The server's answer began with too many header lines.");
    LoopbackHttpServer::Answer largeErrorPage;
    largeErrorPage.status = 404;
    largeErrorPage.fillerBytes = qint64{60} * 1024 * 1024;
    QTest::newRow("404 with a large body")
        << largeErrorPage << anyBody << true << QStringLiteral("The server answered 404 Canned.");
    LoopbackHttpServer::Answer largeErrorPageUnannounced = largeErrorPage;
    largeErrorPageUnannounced.sendLength = false;
    QTest::newRow("404 with a large body, no length")
        << largeErrorPageUnannounced << anyBody << true
        << QStringLiteral("The server answered 404 Canned.");
    // A list packed as gzip must not pass for the list itself.
    LoopbackHttpServer::Answer gzip = ok(QByteArray("\x1f\x8b\x08\x00k1\r\nd1\r\n", 12));
    gzip.extraHeaders = "Content-Encoding: gzip\r\n";
    QTest::newRow("gzip encoded") << gzip << anyBody << false << encoded;
    gzip.extraHeaders = "Content-Encoding: gzip\r\nContent-Encoding: identity\r\n";
    QTest::newRow("gzip encoded, then identity") << gzip << anyBody << false << encoded;
    // One byte every 20 ms never trips the stall time-out, only the low-speed window.
    LoopbackHttpServer::Answer trickle = ok(QByteArray(500, 't'));
    trickle.trickle = 20ms;
    QTest::newRow("trickle") << trickle << anyBody << true
                             << QStringLiteral("The server sent the list too slowly.");
}

void TestGetHtml::failuresGiveTheEmptyText()
{
    QFETCH(LoopbackHttpServer::Answer, answer);
    QFETCH(qint64, maxBodyBytes);
    QFETCH(bool, hangsUp);
    QFETCH(QString, reason);
    LoopbackHttpServer server;
    InternetTransfer inet;
    inet.setMaxBodyBytes(maxBodyBytes);
    inet.setMaxHeadBytes(8 * 1024);
    inet.setStallTimeout(3s);
    inet.setLowSpeedWindow(1s);
    server.setAnswer(QStringLiteral("/list.txt"), answer);
    const FetchResult outcome =
        GetHTMLResult(inet, server.url(QStringLiteral("/list.txt")).toString());
    QVERIFY2(!outcome.ok(), outcome.ok() ? outcome.value().body.left(80).constData() : "");
    QCOMPARE(outcome.text(), reason);
    QVERIFY(!inet.isBusy());
    if (hangsUp) {
        // Closed when the fetch returned: the server sees it as soon as it looks.
        QTRY_COMPARE_WITH_TIMEOUT(server.hangUps(), 1, 1'000);
        QVERIFY2(server.bytesSent() < qint64{4} * 1024 * 1024,
                 qPrintable(QString::number(server.bytesSent())));
    }
}

// The failures that need no server of ours: the address, the name, the port, a cancel.
void TestGetHtml::failuresNameTheirReason()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("http://127.0.0.1:%1/list.txt").arg(port),
         QStringLiteral("The server refused the connection or could not be reached.")},
        {QStringLiteral("http://no-such-name.invalid/list.txt"),
         QStringLiteral("The server's name could not be found.")},
        {QStringLiteral("file:///etc/hostname"),
         QStringLiteral("The list's address is not a plain web address.")},
    };
    InternetTransfer inet;
    for (const auto& [address, reason] : cases) {
        const FetchResult outcome = GetHTMLResult(inet, address);
        QCOMPARE(outcome.text(), reason);
        QVERIFY(!outcome.ok());
    }
    QTimer::singleShot(50ms, &inet, [&] { inet.cancel(); });
    QCOMPARE(startedFetch(inet, QStringLiteral("http://slow-lookup.invalid/list.txt")).code(),
             FetchFailure::Cancelled);
    QTest::qWait(2'000);
}

void TestGetHtml::zeroByteBodyIsEmpty()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    QCOMPARE(fetch(server, ok(QByteArray()), inet), QString());
}

void TestGetHtml::nothingListening()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    InternetTransfer inet;
    QCOMPARE(GetHTML(inet, QStringLiteral("http://127.0.0.1:%1/list.txt").arg(port)), QString());
}

void TestGetHtml::secondCallAfterAFailureFetchesAnew()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    LoopbackHttpServer::Answer failing = ok("oops");
    failing.status = 503;
    QCOMPARE(fetch(server, failing, inet), QString());
    inet.setAccessType(InternetTransfer::AccessType::NamedProxy);
    QCOMPARE(fetch(server, ok("k1\r\nd1\r\n"), inet), QStringLiteral("k1\r\nd1\r\n"));
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(inet.accessType(), InternetTransfer::AccessType::Direct);
}

void TestGetHtml::stallEndsAtTheTimeout()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    inet.setStallTimeout(300ms);
    LoopbackHttpServer::Answer silent;
    silent.stallBeforeHead = true;
    server.setAnswer(QStringLiteral("/list.txt"), silent);
    const QString address = server.url(QStringLiteral("/list.txt")).toString();
    QCOMPARE(GetHTMLResult(inet, address).code(), FetchFailure::Stalled);
    QTRY_COMPARE_WITH_TIMEOUT(server.hangUps(), 1, 1'000);

    LoopbackHttpServer::Answer halfway = ok(QByteArray(10'000, 'y'));
    halfway.stallAfterBytes = 100;
    server.setAnswer(QStringLiteral("/list.txt"), halfway);
    const FetchResult stalled = GetHTMLResult(inet, address);
    QCOMPARE(stalled.text(), QStringLiteral("The server sent no data for a second."));
    QTRY_COMPARE_WITH_TIMEOUT(server.hangUps(), 2, 1'000);
}

// The low-speed window asks for a pace, not for the whole body within one window.
void TestGetHtml::slowButSteadyIsTaken()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    inet.setLowSpeedWindow(500ms);
    LoopbackHttpServer::Answer steady = ok(QByteArray(8'000, 's'));
    steady.trickle = 10ms;
    steady.tricklePiece = 64; // about 3,200 bytes per window, three times the minimum
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(fetch(server, steady, inet), QString(8'000, u's'));
    QVERIFY(clock.elapsed() > 500);
}

void TestGetHtml::followsAFewRedirects()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    server.setAnswer(QStringLiteral("/real.txt"), ok("k1\r\nd1"));
    LoopbackHttpServer::Answer moved;
    moved.status = 301;
    moved.extraHeaders = "Location: /real.txt\r\n";
    QCOMPARE(fetch(server, moved, inet), QStringLiteral("k1\r\nd1"));
}

void TestGetHtml::refusesOtherSchemes()
{
    InternetTransfer inet;
    QCOMPARE(GetHTML(inet, QStringLiteral("file:///etc/hostname")), QString());
    QCOMPARE(GetHTML(inet, QStringLiteral("not a url")), QString());
    QCOMPARE(GetHTML(inet, QString()), QString());
}

// Cancel must work while a started fetch waits: the windows stay served and it ends empty.
void TestGetHtml::cancelEndsAnOpenTransfer()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    LoopbackHttpServer::Answer silent;
    silent.stallBeforeHead = true;
    server.setAnswer(QStringLiteral("/list.txt"), silent);
    bool sawBusy = false;
    QTimer::singleShot(200ms, &inet, [&] {
        sawBusy = inet.isBusy();
        // A second fetch while one is open must not start another.
        QCOMPARE(GetHTML(inet, server.url(QStringLiteral("/list.txt")).toString()), QString());
        inet.cancel();
    });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!startedFetch(inet, server.url(QStringLiteral("/list.txt")).toString()).ok());
    QVERIFY(sawBusy);
    QVERIFY2(clock.elapsed() < 20'000, "the cancel did not end the fetch");
    QVERIFY(!inet.isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(server.hangUps(), 1, 1'000);
}

// A name server that does not answer must not hold up a cancel, and so the end of the program.
void TestGetHtml::cancelDuringASlowNameLookup()
{
    InternetTransfer inet;
    QTimer::singleShot(100ms, &inet, [&] { inet.cancel(); });
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!startedFetch(inet, QStringLiteral("http://slow-lookup.invalid/list.txt")).ok());
    QVERIFY2(clock.elapsed() < 1'000, "the cancel waited for the name lookup");
    QVERIFY(!inet.isBusy());
    // The lookup left behind ends by itself; let it, so nothing of it is left at exit.
    QTest::qWait(2'000);
}

void TestGetHtml::cancelWithNothingOpenIsHarmless()
{
    InternetTransfer inet;
    inet.cancel();
    inet.cancel();
    QVERIFY(!inet.isBusy());
}

void TestGetHtml::bytesForBinaryData()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    const QByteArray png("\x89PNG\r\n\x1a\n\0\0", 10);
    server.setAnswer(QStringLiteral("/p.png"), ok(png));
    const QVariant bytes = inet.openUrl(server.url(QStringLiteral("/p.png")).toString(),
                                        InternetTransfer::DataType::Bytes);
    QCOMPARE(bytes.typeId(), QMetaType::QByteArray);
    QCOMPARE(bytes.toByteArray(), png);
}

QTEST_GUILESS_MAIN(TestGetHtml)
#include "tst_gethtml.moc"
