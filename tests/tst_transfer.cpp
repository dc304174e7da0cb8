// The text fetch and the transfer control behind it, against a real server on 127.0.0.1.
#include "net/gethtml.h"
#include "net/headverdict.h"
#include "net/internettransfer.h"
#include "net/transferpace.h"
#include "net/webpage.h"
#include "tests/support/loopbackhttpserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
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

class TestTransfer final : public QObject
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
    void paceRule_data();
    void paceRule();
    void headVerdict_data();
    void headVerdict();
    void followsAFewRedirects();
    void followsFromHttpToHttps();
    void trustsTheStoreTheEnvironmentNames();
    void decodesWhatItAskedFor_data();
    void decodesWhatItAskedFor();
    void webPageVerdict_data();
    void webPageVerdict();
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

// The body sent packed in these codings, as LoopbackHttpServer::Answer::coding names them.
LoopbackHttpServer::Answer coded(const QByteArray& coding, const QByteArray& body)
{
    LoopbackHttpServer::Answer answer = ok(body);
    answer.coding = coding;
    return answer;
}

// Bytes that no coding packs, the same each time.
QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, '\0');
    quint32 state = 1;
    for (char& byte : bytes)
        byte = static_cast<char>((state = state * 1'103'515'245u + 12'345u) >> 24);
    return bytes;
}

// Why a fetch failed, or nothing when it worked: a failure's code is asked for only then.
std::optional<FetchFailure> failureOf(const FetchResult& result)
{
    return result.ok() ? std::nullopt : std::optional(result.failure().code);
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

void TestTransfer::returnsTheExactBytes()
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

namespace {

// Where a fault of the table is served, and what the transfer is given; the defaults are a
// plain HTTP server, any body up to the usual limit, and the test authority trusted.
struct Setting
{
    qint64 maxBodyBytes = InternetTransfer::defaultMaxBodyBytes;
    int lowSpeedWindowMs = 1'000;
    // The transfer must hang up long before the server has sent its whole answer.
    bool hangsUp = false;
    QString certificate;                                       // empty: plain HTTP
    QString authorities = LoopbackHttpServer::testAuthority(); // what the transfer trusts
    QString scheme;                                            // empty: the server's own

    Setting& limit(qint64 bytes) { return maxBodyBytes = bytes, *this; }
    Setting& window(int milliseconds) { return lowSpeedWindowMs = milliseconds, *this; }
    Setting& hangingUp() { return hangsUp = true, *this; }
    Setting& servedWith(const QString& name) { return certificate = name, *this; }
    Setting& trusting(const QString& file) { return authorities = file, *this; }
    Setting& askedAs(const QString& name) { return scheme = name, *this; }
};

void addFault(const char* name, const LoopbackHttpServer::Answer& answer, const QString& reason,
              const Setting& setting = {})
{
    QTest::newRow(name) << answer << setting.maxBodyBytes << setting.lowSpeedWindowMs
                        << setting.hangsUp << reason << setting.certificate << setting.authorities
                        << setting.scheme;
}

LoopbackHttpServer::Answer redirect(const QByteArray& location)
{
    LoopbackHttpServer::Answer answer;
    answer.status = 302;
    answer.extraHeaders = "Location: " + location + "\r\n";
    return answer;
}

LoopbackHttpServer::Answer typed(const QByteArray& type, const QByteArray& body)
{
    LoopbackHttpServer::Answer answer = ok(body);
    answer.extraHeaders = "Content-Type: " + type + "\r\n";
    return answer;
}

} // namespace

void TestTransfer::failuresGiveTheEmptyText_data()
{
    QTest::addColumn<LoopbackHttpServer::Answer>("answer");
    QTest::addColumn<qint64>("maxBodyBytes");
    QTest::addColumn<int>("lowSpeedWindowMs");
    QTest::addColumn<bool>("hangsUp");
    // What the user is told, word for word.
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("authorities");
    QTest::addColumn<QString>("scheme");
    const QString cutShort =
        QStringLiteral("The transfer was cut short before the whole list arrived.");
    const QString notHttp = QStringLiteral("The server's answer was not HTTP.");
    const QString encoded =
        QStringLiteral("The server sent the list packed in a coding, not as plain text.");
    const QString doesNotDecode =
        QStringLiteral("The server sent the list compressed, and it does not decode.");
    const QString webPage = QStringLiteral(
        "The server sent a web page, not a cam list. A network that wants you to sign in first "
        "(a hotel or café hotspot) sends such pages.");
    const QString bait = QStringLiteral("k1\r\nd1\r\n");

    // Statuses.
    LoopbackHttpServer::Answer notFound = ok("<html>Not Found</html>\r\n");
    notFound.status = 404;
    addFault("404 with a page", notFound, QStringLiteral("The server answered 404 Canned."));
    LoopbackHttpServer::Answer serverError = ok("k1\r\nd1\r\n");
    serverError.status = 500;
    addFault("500 with a list-like body", serverError,
             QStringLiteral("The server answered 500 Canned."));
    // Only printable characters of a phrase reach the user, and not without end.
    LoopbackHttpServer::Answer hostilePhrase;
    hostilePhrase.raw = "HTTP/1.1 503 <b>Busy</b>\x1b[2J\x7f\xe2\x80\xae" + QByteArray(200, 'z') +
                        "\r\nContent-Length: 0\r\n\r\n";
    addFault("status phrase with control bytes", hostilePhrase,
             QStringLiteral("The server answered 503 <b>Busy</b>[2J%1.").arg(QString(66, u'z')));

    // Cuts, bytes that are not HTTP, limits.
    LoopbackHttpServer::Answer dropped = ok(QByteArray(100'000, 'x'));
    dropped.dropAfterBytes = 5'000;
    addFault("dropped half way", dropped, cutShort);
    LoopbackHttpServer::Answer droppedChunks = dropped;
    droppedChunks.chunked = true;
    addFault("chunks dropped half way", droppedChunks, cutShort);
    LoopbackHttpServer::Answer garbage;
    garbage.raw = "this is not HTTP at all\r\n\r\n";
    addFault("not HTTP", garbage, notHttp);
    LoopbackHttpServer::Answer silentClose;
    silentClose.raw = "";
    addFault("closed without an answer", silentClose,
             QStringLiteral("The server closed the connection without an answer."));
    const QString tooLarge = QStringLiteral("The list is larger than 1000 bytes.");
    LoopbackHttpServer::Answer tooBig = ok(QByteArray(2'000, 'x'));
    addFault("over the size limit", tooBig, tooLarge, Setting().limit(1'000));
    LoopbackHttpServer::Answer tooBigUnannounced = tooBig;
    tooBigUnannounced.sendLength = false;
    addFault("over the size limit, no length", tooBigUnannounced, tooLarge, Setting().limit(1'000));
    LoopbackHttpServer::Answer endlessHead;
    endlessHead.endlessHead = true;
    addFault("head that never ends", endlessHead,
             QStringLiteral("The server's answer began with too many header lines."),
             Setting().hangingUp());
    LoopbackHttpServer::Answer largeErrorPage;
    largeErrorPage.status = 404;
    largeErrorPage.fillerBytes = qint64{60} * 1024 * 1024;
    addFault("404 with a large body", largeErrorPage,
             QStringLiteral("The server answered 404 Canned."), Setting().hangingUp());
    LoopbackHttpServer::Answer largeErrorPageUnannounced = largeErrorPage;
    largeErrorPageUnannounced.sendLength = false;
    addFault("404 with a large body, no length", largeErrorPageUnannounced,
             QStringLiteral("The server answered 404 Canned."), Setting().hangingUp());
    // One byte every 20 ms never trips the stall time-out, only the low-speed window (whose
    // rule paceRule checks without waiting; here it is that the server is hung up on).
    LoopbackHttpServer::Answer trickle = ok(QByteArray(500, 't'));
    trickle.trickle = 20ms;
    addFault("trickle", trickle, QStringLiteral("The server sent the list too slowly."),
             Setting().hangingUp().window(200));

    // Codings: those asked for are decoded, and their limit counts the decoded bytes.
    // A gzip head, then a block of the kind that does not exist.
    LoopbackHttpServer::Answer brokenGzip =
        ok(QByteArray("\x1f\x8b\x08\0\0\0\0\0\0\x03\x07k1\r\nd1\r\n", 19));
    brokenGzip.extraHeaders = "Content-Encoding: gzip\r\n";
    addFault("gzip that does not decode", brokenGzip, doesNotDecode);
    // A coded stream that stops before its own end is cut, whatever the length says, even
    // where what came decodes to whole records; so are bytes after its end.
    const QByteArray twoRecords = "k1\r\nd1\r\nk2\r\nd2\r\n";
    for (const char* coding : {"gzip", "deflate", "br", "zstd"}) {
        LoopbackHttpServer::Answer cut = coded(coding, twoRecords);
        cut.codingCutAfter = 8; // after k1's record
        addFault((QByteArray(coding) + " cut at a record's end, within its length").constData(),
                 cut, cutShort);
    }
    for (const char* coding : {"gzip", "deflate", "br", "zstd"}) {
        LoopbackHttpServer::Answer trailing = coded(coding, twoRecords);
        trailing.afterCoding = "k3\r\nd3\r\n";
        addFault((QByteArray(coding) + " with bytes after its end").constData(), trailing,
                 doesNotDecode);
    }
    // A zstd frame may ask for a window of up to 128 MiB; one of more than 8 MiB, which no web
    // server may use, is refused rather than held.
    addFault("zstd with a window over 8 MiB", coded("zstd", noise(9 * 1024 * 1024)), doesNotDecode);
    LoopbackHttpServer::Answer secondField = coded("gzip", twoRecords);
    secondField.extraHeaders = "Content-Encoding: compress\r\n";
    addFault("a coding not asked for in a second field", secondField, encoded);
    LoopbackHttpServer::Answer notAsked = ok("k1\r\nd1\r\n");
    notAsked.extraHeaders = "Content-Encoding: compress\r\n";
    addFault("a content coding not asked for", notAsked, encoded);
    notAsked.extraHeaders = "Transfer-Encoding: gzip\r\n";
    notAsked.sendLength = false;
    addFault("a transfer coding not asked for", notAsked, encoded);
    // A few kilobytes that would unpack to gigabytes: the transfer stops at the limit, long
    // before the server has sent them all.
    LoopbackHttpServer::Answer bomb;
    bomb.fillerBytes = qint64{8} * 1024 * 1024 * 1024;
    bomb.coding = "gzip";
    addFault("gzip that unpacks past the limit", bomb,
             QStringLiteral("The list is larger than 64 MiB."), Setting().hangingUp());

    // Redirects: at most five, only to http and https, never from https back to http.
    addFault("redirect loop", redirect("/list.txt"),
             QStringLiteral("The server redirected the request more than 5 times."));
    addFault("redirect to another scheme", redirect("ftp://127.0.0.1/list.txt"),
             QStringLiteral("A redirect to ftp:// was refused: the list is fetched over HTTP or "
                            "HTTPS only."));
    addFault("redirect to an address that is not valid", redirect("http://[::1/list.txt"),
             QStringLiteral("A redirect to an address that is not valid was refused."));
    addFault("redirect from https back to http", redirect("http://127.0.0.1:1/list.txt"),
             QStringLiteral("A redirect from HTTPS back to plain HTTP was refused."),
             Setting().servedWith(QStringLiteral("server")));

    // Certificates, always verified, name included.
    const QString untrusted = QStringLiteral("The server's certificate is not trusted.");
    addFault("certificate of an unknown authority", ok(bait.toLatin1()), untrusted,
             Setting().servedWith(QStringLiteral("untrusted")));
    addFault("certificate expired", ok(bait.toLatin1()),
             QStringLiteral("The server's certificate has expired."),
             Setting().servedWith(QStringLiteral("expired")));
    addFault("certificate not valid yet", ok(bait.toLatin1()),
             QStringLiteral("The server's certificate is not valid yet (is the computer's clock "
                            "right?)."),
             Setting().servedWith(QStringLiteral("not-yet-valid")));
    addFault("certificate for another name", ok(bait.toLatin1()),
             QStringLiteral("The server's certificate was issued for another name."),
             Setting().servedWith(QStringLiteral("other-name")));
    addFault("trusted certificates not readable", ok(bait.toLatin1()),
             QStringLiteral("The store of trusted certificates could not be read."),
             Setting()
                 .servedWith(QStringLiteral("server"))
                 .trusting(QStringLiteral("/nonexistent/camupdate-ca.pem")));
    addFault("https to a plain HTTP server", ok(bait.toLatin1()),
             QStringLiteral("The secure (TLS) connection to the server could not be set up."),
             Setting().askedAs(QStringLiteral("https")));

    // Web pages: a hotspot's sign-in page is not a list, by its type or by its first bytes.
    LoopbackHttpServer::Answer largePage = typed("TEXT/HTML", {});
    largePage.fillerBytes = qint64{60} * 1024 * 1024;
    addFault("large page, told by its head", largePage, webPage, Setting().hangingUp());
    addFault("HTML document as text/plain",
             typed("text/plain", "\xef\xbb\xbf \r\n<!doctype HTML>\r\n<html>\r\n<form "
                                 "action=\"/login\">\r\n"),
             webPage);
}

void TestTransfer::failuresGiveTheEmptyText()
{
    QFETCH(LoopbackHttpServer::Answer, answer);
    QFETCH(qint64, maxBodyBytes);
    QFETCH(int, lowSpeedWindowMs);
    QFETCH(bool, hangsUp);
    QFETCH(QString, reason);
    QFETCH(QString, certificate);
    QFETCH(QString, authorities);
    QFETCH(QString, scheme);
    LoopbackHttpServer server(certificate);
    InternetTransfer inet;
    inet.setMaxBodyBytes(maxBodyBytes);
    inet.setMaxHeadBytes(8 * 1024);
    inet.setStallTimeout(3s);
    inet.setLowSpeedWindow(std::chrono::milliseconds{lowSpeedWindowMs});
    inet.setCertificateAuthorities(authorities);
    server.setAnswer(QStringLiteral("/list.txt"), answer);
    QUrl address = server.url(QStringLiteral("/list.txt"));
    if (!scheme.isEmpty())
        address.setScheme(scheme);
    const FetchResult outcome = GetHTMLResult(inet, address.toString());
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
void TestTransfer::failuresNameTheirReason()
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
         QStringLiteral("The list's address is not an http:// or https:// address.")},
    };
    InternetTransfer inet;
    for (const auto& [address, reason] : cases) {
        const FetchResult outcome = GetHTMLResult(inet, address);
        QCOMPARE(outcome.text(), reason);
        QVERIFY(!outcome.ok());
    }
    QTimer::singleShot(50ms, &inet, [&] { inet.cancel(); });
    QCOMPARE(failureOf(startedFetch(inet, QStringLiteral("http://slow-lookup.invalid/list.txt"))),
             std::optional(FetchFailure::Cancelled));
    QTest::qWait(2'000);
}

void TestTransfer::zeroByteBodyIsEmpty()
{
    LoopbackHttpServer server;
    server.setAnswer(QStringLiteral("/list.txt"), ok(QByteArray()));
    InternetTransfer inet;
    const FetchResult fetched = inet.fetch(server.url(QStringLiteral("/list.txt")).toString());
    QVERIFY2(fetched.ok(), qPrintable(fetched.text()));
    QCOMPARE(fetched.value().body, QByteArray());
}

void TestTransfer::nothingListening()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    InternetTransfer inet;
    QCOMPARE(GetHTML(inet, QStringLiteral("http://127.0.0.1:%1/list.txt").arg(port)), QString());
}

void TestTransfer::secondCallAfterAFailureFetchesAnew()
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

// That a stalled server is hung up on, and told as such; when the stall is due is paceRule's.
void TestTransfer::stallEndsAtTheTimeout()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    inet.setStallTimeout(100ms);
    LoopbackHttpServer::Answer silent;
    silent.stallBeforeHead = true;
    server.setAnswer(QStringLiteral("/list.txt"), silent);
    const QString address = server.url(QStringLiteral("/list.txt")).toString();
    QCOMPARE(failureOf(GetHTMLResult(inet, address)), std::optional(FetchFailure::Stalled));
    QTRY_COMPARE_WITH_TIMEOUT(server.hangUps(), 1, 1'000);

    LoopbackHttpServer::Answer halfway = ok(QByteArray(10'000, 'y'));
    halfway.stallAfterBytes = 100;
    server.setAnswer(QStringLiteral("/list.txt"), halfway);
    const FetchResult stalled = GetHTMLResult(inet, address);
    QCOMPARE(stalled.text(), QStringLiteral("The server sent no data for a second."));
    QTRY_COMPARE_WITH_TIMEOUT(server.hangUps(), 2, 1'000);
}

// The low-speed window asks for a pace, not for the whole body within one window: the bytes
// that arrive over the wire are the ones counted. (paceRule has the rule's cases.)
void TestTransfer::slowButSteadyIsTaken()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    constexpr auto window = 250ms;
    inet.setLowSpeedWindow(window);
    LoopbackHttpServer::Answer steady = ok(QByteArray(8'000, 's'));
    steady.trickle = 10ms;
    steady.tricklePiece = 128; // about 3,200 bytes per window, three times the minimum
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(fetch(server, steady, inet), QString(8'000, u's'));
    QVERIFY(clock.elapsed() > window.count());
}

namespace {

// Bytes that arrive this many milliseconds after the transfer began.
struct Arrival
{
    int atMs;
    qint64 bytes;
};
using Arrivals = QList<Arrival>;

Arrivals every(int firstMs, int stepMs, int count, qint64 bytes)
{
    Arrivals arrivals;
    for (int i = 0; i < count; ++i)
        arrivals.append({firstMs + i * stepMs, bytes});
    return arrivals;
}

} // namespace

Q_DECLARE_METATYPE(Arrival)

void TestTransfer::paceRule_data()
{
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<int>("windowMs");
    QTest::addColumn<Arrivals>("arrivals");
    // How it ends, and when: failed, or taken after its last arrival.
    QTest::addColumn<std::optional<FetchFailure>>("failure");
    QTest::addColumn<int>("endMs");
    const std::optional<FetchFailure> taken;
    const auto stalled = std::optional(FetchFailure::Stalled);
    const auto tooSlow = std::optional(FetchFailure::TooSlow);

    // The stall time-out counts from the start, then from the last bytes.
    QTest::newRow("silent from the start") << 300 << 60'000 << Arrivals{} << stalled << 300;
    QTest::newRow("silent after 100 bytes")
        << 300 << 60'000 << Arrivals{{10, 100}} << stalled << 310;
    QTest::newRow("a burst, then silence")
        << 30'000 << 60'000 << Arrivals{{0, 2'000}} << stalled << 30'000;
    QTest::newRow("empty progress is no progress")
        << 300 << 60'000 << Arrivals{{100, 0}, {250, 0}, {400, 10}} << stalled << 300;
    // The window needs its minimum of bytes, the first window from the start.
    QTest::newRow("trickle") << 3'000 << 1'000 << every(20, 20, 500, 1) << tooSlow << 1'000;
    QTest::newRow("slow but steady") << 30'000 << 500 << every(10, 10, 125, 64) << taken << 1'250;
    QTest::newRow("steady at the minimum")
        << 60'000 << 60'000 << every(0, 59'000, 5, 1'024) << taken << 236'000;
    // An early burst does not carry a slow rest: the window slides with the arrivals.
    QTest::newRow("burst, then too slow")
        << 50'000 << 60'000 << Arrivals{{0, 2'048}} + every(10'000, 10'000, 20, 100) << tooSlow
        << 60'000;
    QTest::newRow("both due: the stall names it")
        << 1'000 << 1'000 << Arrivals{} << stalled << 1'000;
}

// The pace as the transfer drives it: asked when it said to ask again or when bytes came,
// on a clock of the test's own that moves only when told.
void TestTransfer::paceRule()
{
    QFETCH(int, stallMs);
    QFETCH(int, windowMs);
    QFETCH(Arrivals, arrivals);
    QFETCH(std::optional<FetchFailure>, failure);
    QFETCH(int, endMs);
    using Clock = TransferPace::Clock;
    const Clock::time_point start{std::chrono::hours{1}};
    Clock::time_point now = start;
    TransferPace pace({std::chrono::milliseconds{stallMs}, std::chrono::milliseconds{windowMs},
                       InternetTransfer::minBytesPerWindow},
                      [&now] { return now; });
    const auto at = [&start](int ms) {
        return start + std::chrono::milliseconds{ms};
    };
    qsizetype next = 0;
    std::optional<FetchFailure> ended;
    for (int asked = 0; asked < 10'000; ++asked) {
        const TransferPace::Verdict verdict = pace.check();
        if (verdict.failure) {
            ended = verdict.failure;
            break;
        }
        QVERIFY(verdict.askAgainIn > 0ms);
        // A body that is taken ends with its last bytes; one that fails waits on for them.
        if (next == arrivals.size() && !failure)
            break;
        const Clock::time_point due = now + verdict.askAgainIn;
        if (next < arrivals.size() && at(arrivals[next].atMs) <= due) {
            now = at(arrivals[next].atMs);
            pace.moved(arrivals[next++].bytes);
        } else {
            now = due;
        }
    }
    QCOMPARE(ended, failure);
    QCOMPARE(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count(), endMs);
    if (!failure) {
        // Taken although it took longer than one window.
        QVERIFY(endMs > windowMs);
    }
}

namespace {

// The fields of one head as libcurl's header API gives them: by name in any case, each value
// trimmed, in the order they came.
HeadVerdict::Fields fieldsOf(const QByteArrayList& lines)
{
    return [lines](const char* name) {
        QByteArrayList values;
        for (const QByteArray& line : lines) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.first(colon).compare(name, Qt::CaseInsensitive) == 0)
                values.append(line.sliced(colon + 1).trimmed());
        }
        return values;
    };
}

// Feeds the heads of one answer to the verdict line by line, as the transfer does, each ending
// with the next of the statuses; gives the first failure, if any.
std::optional<FetchFailure> judge(HeadVerdict& verdict, QByteArrayView heads, QList<int> statuses,
                                  const HeadVerdict::Chain& chain)
{
    QByteArrayList lines;
    while (!heads.isEmpty()) {
        const qsizetype end = heads.indexOf('\n');
        const QByteArrayView line = end < 0 ? heads : heads.first(end + 1);
        heads = heads.sliced(line.size());
        if (const std::optional<FetchFailure> failed = verdict.takeLine(line))
            return failed;
        if (!HeadVerdict::endsHead(line)) {
            lines.append(line.toByteArray());
            continue;
        }
        if (statuses.isEmpty())
            qFatal("a head without its status in the table");
        if (const std::optional<FetchFailure> failed =
                verdict.headEnded(statuses.takeFirst(), fieldsOf(lines), chain))
            return failed;
        lines.clear();
    }
    return std::nullopt;
}

void addHead(const char* name, const QByteArray& heads, QList<int> statuses,
             std::optional<FetchFailure> failure, bool endAnnounced = true,
             const QByteArray& answerUrl = "http://127.0.0.1/list.txt",
             const QByteArray& followTo = {})
{
    QTest::newRow(name) << heads << statuses << answerUrl << failure << endAnnounced << followTo;
}

} // namespace

// The verdict on heads, called directly: the cases a server of ours would need a whole
// transfer for, the fields given as libcurl's header API gives them.
void TestTransfer::headVerdict_data()
{
    QTest::addColumn<QByteArray>("heads");
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QByteArray>("answerUrl");
    QTest::addColumn<std::optional<FetchFailure>>("failure");
    // Only for a head that is taken: whether a cut of its body would show.
    QTest::addColumn<bool>("endAnnounced");
    // Only for a redirect that is followed: where to, as libcurl resolves it.
    QTest::addColumn<QByteArray>("followTo");
    const std::optional<FetchFailure> taken;
    using F = FetchFailure;

    // The end of the body: announced by a length or chunks, coded or not.
    addHead("length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", {200}, taken);
    addHead("no length", "HTTP/1.1 200 OK\r\n\r\n", {200}, taken, false);
    addHead("chunks", "HTTP/1.1 200 OK\r\ntransfer-encoding: Chunked\r\n\r\n", {200}, taken);
    addHead("gzip with a length",
            "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Encoding: gzip\r\n\r\n", {200}, taken);
    addHead("x-gzip is gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: x-gzip\r\n\r\n", {200}, taken,
            false);
    addHead("identity in any case",
            "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Encoding: IDENTITY\r\n\r\n", {200},
            taken);
    // Codings: one not asked for among those asked for, in either field; too many stacked.
    addHead("a coding not asked for after one asked for",
            "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Encoding: compress\r\n\r\n",
            {200}, F::Encoded);
    addHead("a transfer coding besides chunks",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", {200}, F::Encoded);
    addHead("four codings stacked",
            "HTTP/1.1 200 OK\r\nContent-Encoding: gzip, br, zstd, deflate\r\n\r\n", {200},
            F::Encoded);
    // Lengths.
    addHead("length not a number", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n", {200},
            F::NotHttp);
    addHead("negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", {200}, F::NotHttp);
    addHead("two lengths that differ",
            "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", {200}, F::NotHttp);
    addHead("length at the limit", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", {200}, taken);
    addHead("length past the limit", "HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n", {200},
            F::TooLarge);
    // The head's limit, interim answers included.
    addHead("head past its limit", "HTTP/1.1 200 OK\r\nX: " + QByteArray(1'010, 'h') + "\r\n\r\n",
            {200}, F::HeadTooLarge);
    addHead("interim head counts towards the next",
            "HTTP/1.1 100 Continue\r\nX: " + QByteArray(600, 'h') +
                "\r\n\r\nHTTP/1.1 200 OK\r\nY: " + QByteArray(600, 'h') + "\r\n\r\n",
            {100, 200}, F::HeadTooLarge);
    // Statuses and redirects, each target as libcurl resolves it.
    addHead("3xx without a Location", "HTTP/1.1 302 Found\r\n\r\n", {302}, F::HttpStatus);
    addHead("3xx with an empty Location", "HTTP/1.1 302 Found\r\nLocation: \r\n\r\n", {302},
            F::HttpStatus);
    addHead("2xx with a Location is taken", "HTTP/1.1 200 OK\r\nLocation: ftp://x/\r\n\r\n", {200},
            taken, false);
    addHead("head in lone LFs", "HTTP/1.0 200 OK\nContent-Type: text/html\n\n", {200}, F::WebPage);
    addHead("redirect without a host", "HTTP/1.1 302 Found\r\nLocation: http://\r\n\r\n", {302},
            F::RedirectRefused);
    addHead("scheme-relative redirect from https stays on https",
            "HTTP/1.1 302 Found\r\nLocation: //mirror.example/list.txt\r\n\r\n", {302}, taken, true,
            "https://127.0.0.1/list.txt", "https://mirror.example/list.txt");
    addHead("relative redirect with a blank",
            "HTTP/1.1 301 Moved\r\nLocation: ../new list.txt\r\n\r\n", {301}, taken, true,
            "http://127.0.0.1/cams/list.txt", "http://127.0.0.1/new%20list.txt");
    addHead("redirect to a scheme libcurl does not know",
            "HTTP/1.1 302 Found\r\nLocation: market://cams.example/list\r\n\r\n", {302},
            F::RedirectScheme);
}

void TestTransfer::headVerdict()
{
    QFETCH(QByteArray, heads);
    QFETCH(QList<int>, statuses);
    QFETCH(QByteArray, answerUrl);
    QFETCH(std::optional<FetchFailure>, failure);
    QFETCH(bool, endAnnounced);
    QFETCH(QByteArray, followTo);
    HeadVerdict verdict({1'024, 1'000, true, InternetTransfer::maxRedirects});
    QCOMPARE(judge(verdict, heads, statuses, {answerUrl, 0}), failure);
    const bool redirected = statuses.last() >= 300 && statuses.last() < 400;
    // A head that is taken wants its body; a followed redirect's does not come.
    QCOMPARE(verdict.bodyWanted(), !failure && !redirected);
    QCOMPARE(verdict.followTo(), followTo);
    if (verdict.bodyWanted())
        QCOMPARE(verdict.endAnnounced(), endAnnounced);
}

void TestTransfer::followsAFewRedirects()
{
    LoopbackHttpServer server;
    InternetTransfer inet;
    server.setAnswer(QStringLiteral("/real.txt"), ok("k1\r\nd1"));
    LoopbackHttpServer::Answer moved;
    moved.status = 301;
    moved.extraHeaders = "Location: /real.txt\r\n";
    QCOMPARE(fetch(server, moved, inet), QStringLiteral("k1\r\nd1"));
    // Five redirects are followed; the sixth is refused before its request goes out.
    for (int hop = 1; hop <= 5; ++hop) {
        moved.extraHeaders = "Location: /hop" + QByteArray::number(hop + 1) + "\r\n";
        server.setAnswer(QStringLiteral("/hop%1").arg(hop), moved);
    }
    server.setAnswer(QStringLiteral("/hop6"), ok("k1\r\nd1"));
    const int before = server.requestCount();
    QCOMPARE(GetHTML(inet, server.url(QStringLiteral("/hop1")).toString()),
             QStringLiteral("k1\r\nd1"));
    const FetchResult started = startedFetch(inet, server.url(QStringLiteral("/hop1")).toString());
    QCOMPARE(started.ok() ? started.value().body : started.text().toLatin1(), "k1\r\nd1");
    server.setAnswer(QStringLiteral("/hop6"), redirect("/hop7"));
    QCOMPARE(failureOf(GetHTMLResult(inet, server.url(QStringLiteral("/hop1")).toString())),
             std::optional(FetchFailure::TooManyRedirects));
    QCOMPARE(server.requestCount(), before + 18);
}

// A site that moved to HTTPS: the redirect is followed, and an https address is taken as well.
void TestTransfer::followsFromHttpToHttps()
{
    LoopbackHttpServer plain;
    LoopbackHttpServer secure(QStringLiteral("server"));
    InternetTransfer inet;
    inet.setCertificateAuthorities(LoopbackHttpServer::testAuthority());
    secure.setAnswer(QStringLiteral("/list.txt"), ok("k1\r\nd1\r\n"));
    LoopbackHttpServer::Answer moved;
    moved.status = 301;
    moved.extraHeaders =
        "Location: " + secure.url(QStringLiteral("/list.txt")).toEncoded() + "\r\n";
    QCOMPARE(fetch(plain, moved, inet), QStringLiteral("k1\r\nd1\r\n"));
    QCOMPARE(plain.requestCount(), 1);
    QCOMPARE(secure.requestCount(), 1);
    QCOMPARE(GetHTML(inet, secure.url(QStringLiteral("/list.txt")).toString()),
             QStringLiteral("k1\r\nd1\r\n"));

    // Once on https, a chain may not lead back to http through another https hop either.
    LoopbackHttpServer::Answer back;
    back.status = 302;
    back.extraHeaders = "Location: " + plain.url(QStringLiteral("/list.txt")).toEncoded() + "\r\n";
    secure.setAnswer(QStringLiteral("/back"), back);
    moved.extraHeaders = "Location: " + secure.url(QStringLiteral("/back")).toEncoded() + "\r\n";
    plain.setAnswer(QStringLiteral("/start"), moved);
    plain.setAnswer(QStringLiteral("/list.txt"), ok("bait\r\nd\r\n"));
    QCOMPARE(failureOf(GetHTMLResult(inet, plain.url(QStringLiteral("/start")).toString())),
             std::optional(FetchFailure::RedirectToPlainHttp));
    QCOMPARE(plain.requestCount(), 2);
}

// Where no authority file is handed over, the one SSL_CERT_FILE names is trusted, as by curl.
void TestTransfer::trustsTheStoreTheEnvironmentNames()
{
    LoopbackHttpServer secure(QStringLiteral("server"));
    secure.setAnswer(QStringLiteral("/list.txt"), ok("k1\r\nd1\r\n"));
    const QString address = secure.url(QStringLiteral("/list.txt")).toString();
    InternetTransfer inet;
    const QByteArray before = qgetenv("SSL_CERT_FILE");
    const bool wasSet = qEnvironmentVariableIsSet("SSL_CERT_FILE");
    qunsetenv("SSL_CERT_FILE");
    QCOMPARE(failureOf(GetHTMLResult(inet, address)),
             std::optional(FetchFailure::CertificateUntrusted));
    qputenv("SSL_CERT_FILE", QFile::encodeName(LoopbackHttpServer::testAuthority()));
    QCOMPARE(GetHTML(inet, address), QStringLiteral("k1\r\nd1\r\n"));
    // An authority handed over comes first.
    inet.setCertificateAuthorities(LoopbackHttpServer::tlsFile(QStringLiteral("untrusted.pem")));
    QCOMPARE(failureOf(GetHTMLResult(inet, address)),
             std::optional(FetchFailure::CertificateUntrusted));
    if (wasSet)
        qputenv("SSL_CERT_FILE", before);
    else
        qunsetenv("SSL_CERT_FILE");
}

// A list sent compressed comes out byte for byte as the server's file holds it, in any coding
// asked for, and a list of any type but a web page's is taken. Its end counts as announced when
// the framing announced it (the length matched, or the chunks ended): every coding's stream has
// reached its own end, or the fetch would have failed.
void TestTransfer::decodesWhatItAskedFor_data()
{
    QTest::addColumn<LoopbackHttpServer::Answer>("answer");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<bool>("endAnnounced");
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte)
        all += static_cast<char>(byte);
    all = all.repeated(50);
    const QByteArray noFinalLineEnd = "k1\r\nd1\r\nk2\r\nd2";

    LoopbackHttpServer::Answer typedText = coded("gzip", all);
    typedText.extraHeaders = "Content-Type: text/plain; charset=windows-1252\r\n";
    QTest::newRow("gzip, text with a charset") << typedText << all << true;
    LoopbackHttpServer::Answer chunkedBytes = coded("gzip", all);
    chunkedBytes.extraHeaders = "Content-Type: application/octet-stream\r\n";
    chunkedBytes.chunked = true;
    QTest::newRow("gzip, bytes in chunks") << chunkedBytes << all << true;
    LoopbackHttpServer::Answer toTheClose = coded("gzip", all);
    toTheClose.sendLength = false;
    QTest::newRow("gzip, to the close") << toTheClose << all << false;
    for (const char* coding : {"gzip", "deflate", "raw deflate", "br", "zstd"})
        QTest::newRow((QByteArray(coding) + ", no final line end").constData())
            << coded(coding, noFinalLineEnd) << noFinalLineEnd << true;
    // A byte at a time, as a slow link may bring it: deflate's kind is told from two of them.
    for (const char* coding : {"deflate", "raw deflate"}) {
        LoopbackHttpServer::Answer trickled = coded(coding, noFinalLineEnd);
        trickled.trickle = 1ms;
        QTest::newRow((QByteArray(coding) + ", a byte at a time").constData())
            << trickled << noFinalLineEnd << true;
    }
    LoopbackHttpServer::Answer twoMembers = coded("gzip", "k1\r\nd1\r\n");
    twoMembers.afterCoding = LoopbackHttpServer::packed("gzip", "k2\r\nd2");
    QTest::newRow("two gzip members") << twoMembers << noFinalLineEnd << true;
    // Bytes that do not pack, so that each stage has more to hand on than it has room for.
    const QByteArray random = noise(300'000);
    QTest::newRow("gzip, then br over it") << coded("gzip, br", random) << random << true;
    LoopbackHttpServer::Answer nothing = ok({});
    nothing.extraHeaders = "Content-Encoding: gzip\r\n";
    QTest::newRow("gzip of no bytes at all") << nothing << QByteArray() << true;
}

void TestTransfer::decodesWhatItAskedFor()
{
    QFETCH(LoopbackHttpServer::Answer, answer);
    QFETCH(QByteArray, list);
    QFETCH(bool, endAnnounced);
    LoopbackHttpServer server;
    InternetTransfer inet;
    server.setAnswer(QStringLiteral("/list.txt"), answer);
    const FetchResult fetched =
        GetHTMLResult(inet, server.url(QStringLiteral("/list.txt")).toString());
    QVERIFY2(fetched.ok(), qPrintable(fetched.text()));
    QCOMPARE(fetched.value().body, list);
    QCOMPARE(fetched.value().endAnnounced, endAnnounced);
}

void TestTransfer::webPageVerdict_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("pageType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("opensPage");
    // Types, with parameters and in any case, and bodies, after blanks and a byte-order mark.
    QTest::newRow("html") << QByteArray("text/html") << true << QByteArray("<html>") << true;
    QTest::newRow("html with a charset")
        << QByteArray(" Text/HTML ; charset=utf-8") << true
        << QByteArray("\xef\xbb\xbf\r\n\t <!DOCTYPE html>") << true;
    QTest::newRow("xhtml") << QByteArray("application/xhtml+xml") << true
                           << QByteArray("<!doctype HTML PUBLIC \"-//W3C//DTD\">") << true;
    QTest::newRow("tag then a blank")
        << QByteArray("text/htmlx") << false << QByteArray("<HTML\nlang=en>") << true;
    // What a list may be: plain text, bytes, no type, a key that merely starts like a tag.
    QTest::newRow("plain text") << QByteArray("text/plain") << false
                                << QByteArray("k1\r\n<html>\r\n") << false;
    QTest::newRow("bytes") << QByteArray("application/octet-stream") << false
                           << QByteArray("<htmlish cam\r\nd\r\n") << false;
    QTest::newRow("no type") << QByteArray() << false << QByteArray() << false;
    QTest::newRow("mark after the blanks")
        << QByteArray("html") << false << QByteArray(" \xef\xbb\xbf<html>") << false;
    QTest::newRow("two marks") << QByteArray("text/html-like") << false
                               << QByteArray("\xef\xbb\xbf\xef\xbb\xbf<html>") << false;
}

void TestTransfer::webPageVerdict()
{
    QFETCH(QByteArray, contentType);
    QFETCH(bool, pageType);
    QFETCH(QByteArray, body);
    QFETCH(bool, opensPage);
    QCOMPARE(WebPage::isPageType(contentType), pageType);
    QCOMPARE(WebPage::opensPage(body), opensPage);
}

void TestTransfer::refusesOtherSchemes()
{
    InternetTransfer inet;
    QCOMPARE(GetHTML(inet, QStringLiteral("file:///etc/hostname")), QString());
    QCOMPARE(GetHTML(inet, QStringLiteral("not a url")), QString());
    QCOMPARE(GetHTML(inet, QString()), QString());
}

// Cancel must work while a started fetch waits: the windows stay served and it ends empty.
void TestTransfer::cancelEndsAnOpenTransfer()
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
void TestTransfer::cancelDuringASlowNameLookup()
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

void TestTransfer::cancelWithNothingOpenIsHarmless()
{
    LoopbackHttpServer server;
    server.setAnswer(QStringLiteral("/list.txt"), ok("k\r\nd\r\n"));
    InternetTransfer inet;
    QSignalSpy finished(&inet, &InternetTransfer::finished);
    inet.cancel();
    inet.cancel();
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 0);
    QVERIFY(!inet.isBusy());
    const FetchResult next = startedFetch(inet, server.url(QStringLiteral("/list.txt")).toString());
    QVERIFY2(next.ok(), qPrintable(next.text()));
    QCOMPARE(next.value().body, QByteArray("k\r\nd\r\n"));
}

void TestTransfer::bytesForBinaryData()
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

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
