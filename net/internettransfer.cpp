#include "internettransfer.h"

#include "headverdict.h"
#include "transferpace.h"
#include "webpage.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QFile>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <curl/curl.h>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <utility>

// libcurl does the HTTP work because it can be bounded everywhere a server could make us
// wait or hoard: the head is seen line by line, a failed transfer's connection is closed
// before the call that failed it returns, and nothing reads on behind our back. A started
// transfer is driven by the program's own event loop through socket notifiers and timers and
// says when it has ended; a blocking fetch drives it by polling, with no events served.

namespace {

bool schemeFits(const QUrl& url, InternetTransfer::Protocol protocol)
{
    const QString scheme = url.scheme().toLower();
    switch (protocol) {
    case InternetTransfer::Protocol::Http:
        return scheme == u"http" || scheme == u"https";
    case InternetTransfer::Protocol::Https:
        return scheme == u"https";
    case InternetTransfer::Protocol::Default:
        return scheme == u"http" || scheme == u"https";
    default:
        return false;
    }
}

const char* protocolsFor(InternetTransfer::Protocol protocol)
{
    return protocol == InternetTransfer::Protocol::Https ? "https" : "http,https";
}

// The schemes a redirect may lead to: never other protocols, and never from https back to
// plain http. The library applies this to every hop of a chain alike, so a chain that began
// with http could still go http, https, http: each hop is also checked as its head ends, and
// before each request goes out.
const char* redirectSchemes(const QUrl& url, InternetTransfer::Protocol protocol)
{
    if (url.scheme().toLower() == u"https" || protocol == InternetTransfer::Protocol::Https)
        return "https";
    return "http,https";
}

// The content codings this libcurl decodes: exactly these are asked for, so a body comes
// decoded or not in a coding at all.
const QByteArrayList& decodedCodings()
{
    static const QByteArrayList codings = [] {
        QByteArrayList found;
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        if (info->features & CURL_VERSION_LIBZ)
            found << "gzip"
                  << "deflate";
        if (info->features & CURL_VERSION_BROTLI)
            found << "br";
        if (info->features & CURL_VERSION_ZSTD)
            found << "zstd";
        return found;
    }();
    return codings;
}

QByteArray acceptEncoding()
{
    return decodedCodings().isEmpty() ? QByteArray("identity") : decodedCodings().join(", ");
}

// The numbers of OpenSSL's certificate verification results (X509_V_ERR_*), fixed by its
// interface; the result names why a certificate failed. Other TLS libraries number differently.
enum OpenSslVerifyResult : long {
    VerifiedOk = 0,
    Unspecified = 1, // what the library reports when its own host name check failed
    NotYetValid = 9,
    Expired = 10,
    HostNameMismatch = 62,
};

bool tlsIsOpenSsl()
{
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info->ssl_version && QByteArray(info->ssl_version).startsWith("OpenSSL");
}

QString schemeOfUrl(const char* url)
{
    const QByteArray text(url ? url : "");
    const qsizetype colon = text.indexOf(':');
    return colon < 0 ? QString() : QString::fromLatin1(text.left(colon)).toLower();
}

void initCurlOnce()
{
    // Never cleaned up: the program may fetch until its very end.
    [[maybe_unused]] static const CURLcode once = curl_global_init(CURL_GLOBAL_DEFAULT);
}

} // namespace

// One open transfer: the curl handles, the notifiers and timers that drive them, what came so
// far and how fast.
class InternetTransfer::Session final
{
public:
    struct Limits
    {
        std::chrono::milliseconds stall;
        std::chrono::milliseconds lowSpeedWindow;
        qint64 maxBody;
        qint64 maxHead;
    };

    // Events: driven by the event loop, calling ended once when the transfer is over.
    // Polling: driven by runPolling(), which returns when it is over.
    enum class Driver { Events, Polling };

    // What to fetch and how.
    struct Request
    {
        QByteArray url;
        bool direct = false;
        const char* protocols = "";
        const char* redirects = "";
        QByteArray caFile; // empty: the system's store
        bool refuseWebPages = false;
    };

    Session(const Limits& limits, const Request& request, Driver driver,
            std::function<void()> ended = {});
    ~Session();
    Q_DISABLE_COPY_MOVE(Session)

    // Hands the transfer to the library; false when it could not even begin.
    bool begin();
    // Runs a begun transfer to its end, waiting in the system's poll.
    void runPolling();
    // The body, or why there is none; once the transfer is over.
    FetchResult result();
    bool isOver() const { return m_stopped; }
    // Closes the connection now; the transfer fails for that reason, unless it had already
    // failed or ended. Without a reason it has simply ended.
    void stop(std::optional<FetchFailure> why = FetchFailure::Cancelled);

private:
    struct Watch
    {
        std::unique_ptr<QSocketNotifier> read;
        std::unique_ptr<QSocketNotifier> write;
    };

    static int onSocket(CURL*, curl_socket_t socket, int what, void* self, void*);
    static int onTimer(CURLM*, long milliseconds, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static int onRequest(void* self, char*, char*, int, int);
    static int onProgress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t);

    void act(curl_socket_t socket, int events);
    void watch(curl_socket_t socket, int what);
    bool headLine(const QByteArray& line);
    bool fail(FetchFailure why);
    FetchFailure failureOfLibrary() const;
    // What is wrong with a transfer the library saw through, if anything.
    std::optional<FetchFailure> failureOfBody(long status) const;
    FetchFailure failureOfCertificate() const;
    // The body's bytes as they came over the wire, before decoding.
    qint64 wireBytes() const;
    // Fails the transfer when it has stalled or gone too slowly; otherwise gives how long it
    // may go on before this must be asked again.
    std::chrono::milliseconds checkPace();
    void readMessages();

    Limits m_limits;
    bool m_refuseWebPages;
    HeadVerdict m_head;
    TransferPace m_pace;
    Driver m_driver;
    std::function<void()> m_ended;
    CURLM* m_multi = nullptr;
    CURL* m_easy = nullptr;
    std::map<curl_socket_t, Watch> m_watches;
    QTimer m_curlTimer;
    QTimer m_paceTimer;
    QObject m_context; // what the notifiers' and timers' connections hang on
    bool m_attached = false;
    bool m_stopped = false;
    bool m_done = false;
    CURLcode m_result = CURLE_OK;
    // Why we ended the transfer ourselves, if we did.
    std::optional<FetchFailure> m_failure;

    // Once a request went out over https, the rest of the chain must stay there.
    bool m_sawHttps = false;
    QByteArray m_body;
    curl_off_t m_wireReceived = 0; // of the body of the current answer
};

InternetTransfer::Session::Session(const Limits& limits, const Request& request, Driver driver,
                                   std::function<void()> ended)
    : m_limits(limits), m_refuseWebPages(request.refuseWebPages),
      m_head({limits.maxHead, limits.maxBody, request.refuseWebPages, decodedCodings()}),
      m_pace({limits.stall, limits.lowSpeedWindow, minBytesPerWindow}), m_driver(driver),
      m_ended(std::move(ended))
{
    initCurlOnce();
    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    if (!m_multi || !m_easy)
        return;
    if (m_driver == Driver::Events) {
        m_curlTimer.setSingleShot(true);
        QObject::connect(&m_curlTimer, &QTimer::timeout, &m_context,
                         [this] { act(CURL_SOCKET_TIMEOUT, 0); });
        m_paceTimer.setSingleShot(true);
        m_paceTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_paceTimer, &QTimer::timeout, &m_context, [this] {
            const std::chrono::milliseconds wait = checkPace();
            if (!m_stopped)
                m_paceTimer.start(wait);
        });
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Session::onSocket);
        curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Session::onTimer);
        curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    }

    curl_easy_setopt(m_easy, CURLOPT_URL, request.url.constData());
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, request.protocols);
    curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, request.redirects);
    curl_easy_setopt(m_easy, CURLOPT_PREREQFUNCTION, &Session::onRequest);
    curl_easy_setopt(m_easy, CURLOPT_PREREQDATA, this);
    // The library's defaults, said aloud: the peer's certificate and its name are checked.
    curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.caFile.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAINFO, request.caFile.constData());
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, static_cast<long>(maxRedirects));
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    // Every connection ends with its transfer, so a failed one is never kept for later.
    curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    // A cancel while a host name is still being looked up must not wait for the lookup: the
    // lookup's thread is left to end by itself.
    curl_easy_setopt(m_easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBody));
    if (request.direct) {
        curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
        curl_easy_setopt(m_easy, CURLOPT_NOPROXY, "*");
    }
    // The codings the library decodes, and only those: the write callback then sees the
    // decoded list, so the body's limit counts what it will hold, however small the wire.
    curl_easy_setopt(m_easy, CURLOPT_ACCEPT_ENCODING, acceptEncoding().constData());
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &Session::onHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &Session::onBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
    // The pace counts the body's bytes as they come over the wire: a packed list unpacks to
    // more, and a stream may hold back what it unpacks.
    curl_easy_setopt(m_easy, CURLOPT_XFERINFOFUNCTION, &Session::onProgress);
    curl_easy_setopt(m_easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(m_easy, CURLOPT_NOPROGRESS, 0L);
}

InternetTransfer::Session::~Session()
{
    // Going away is not an end anybody is told of.
    m_ended = nullptr;
    stop();
    if (m_easy)
        curl_easy_cleanup(m_easy);
    if (m_multi)
        curl_multi_cleanup(m_multi);
}

bool InternetTransfer::Session::begin()
{
    if (!m_multi || !m_easy || curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) {
        m_failure = FetchFailure::OutOfMemory;
        m_stopped = true;
        return false;
    }
    m_attached = true;
    if (m_driver == Driver::Events) {
        // The library sets its timer as the handle is added; the first step comes from it.
        const std::chrono::milliseconds wait = checkPace();
        if (!m_stopped)
            m_paceTimer.start(wait);
    }
    return !m_stopped;
}

void InternetTransfer::Session::runPolling()
{
    while (!m_stopped) {
        int running = 0;
        curl_multi_perform(m_multi, &running);
        readMessages();
        if (m_stopped)
            break;
        const std::chrono::milliseconds wait = checkPace();
        if (m_stopped)
            break;
        const auto slice = std::min(wait, std::chrono::milliseconds{1'000});
        curl_multi_poll(m_multi, nullptr, 0, static_cast<int>(slice.count()), nullptr);
    }
}

FetchResult InternetTransfer::Session::result()
{
    // Never leave a connection, whatever ended the transfer.
    stop();
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    const FetchFailures::Circumstances circumstances{
        static_cast<int>(status),
        m_head.phrase(),
        std::chrono::ceil<std::chrono::seconds>(m_limits.stall).count(),
        m_limits.maxBody,
        maxRedirects,
        m_head.refusedScheme()};
    std::optional<FetchFailure> failure = m_failure;
    if (!failure && m_result != CURLE_OK)
        failure = failureOfLibrary();
    if (!failure)
        failure = failureOfBody(status);
    if (failure)
        return FetchFailures::failure(*failure, circumstances);
    // What arrived may have left room to grow; the body is kept for long, so only its bytes.
    m_body.squeeze();
    // A packed stream cut short by its server decodes to what came without a word: the head
    // says whether the end was announced in a way that shows a cut.
    return FetchedBody{std::move(m_body), m_head.endAnnounced()};
}

std::optional<FetchFailure> InternetTransfer::Session::failureOfBody(long status) const
{
    if (status < 200 || status > 299)
        return FetchFailure::HttpStatus;
    if (!m_head.bodyWanted())
        return FetchFailure::NotHttp;
    // A body shorter than announced is a cut, never a list. The length is that of the bytes on
    // the wire, before any decoding.
    if (m_head.announcedLength() >= 0 && m_head.announcedLength() != wireBytes())
        return FetchFailure::CutShort;
    if (m_refuseWebPages && WebPage::opensPage(m_body))
        return FetchFailure::WebPage;
    return std::nullopt;
}

FetchFailure InternetTransfer::Session::failureOfLibrary() const
{
    using Failure = FetchFailure;
    long redirects = 0;
    curl_easy_getinfo(m_easy, CURLINFO_REDIRECT_COUNT, &redirects);
    switch (m_result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return Failure::NameNotFound;
    case CURLE_COULDNT_CONNECT:
        return Failure::Unreachable;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
        return m_head.sawStatus() ? Failure::CutShort : Failure::NoAnswer;
    case CURLE_GOT_NOTHING:
        return Failure::NoAnswer;
    case CURLE_TOO_MANY_REDIRECTS:
        return Failure::TooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
        return failureOfCertificate();
    case CURLE_SSL_CONNECT_ERROR:
        return Failure::TlsHandshake;
    case CURLE_SSL_CACERT_BADFILE:
        return Failure::CertificateStoreUnreadable;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // The first address was checked before: a scheme refused later came with a redirect.
        return redirects > 0 ? Failure::RedirectRefused : Failure::NotHttp;
    case CURLE_WEIRD_SERVER_REPLY:
        return Failure::NotHttp;
    case CURLE_FILESIZE_EXCEEDED:
        return Failure::TooLarge;
    case CURLE_BAD_CONTENT_ENCODING:
        return Failure::DoesNotDecode;
    case CURLE_OUT_OF_MEMORY:
        return Failure::OutOfMemory;
    case CURLE_OPERATION_TIMEDOUT:
        return Failure::Stalled;
    default:
        return Failure::Other;
    }
}

FetchFailure InternetTransfer::Session::failureOfCertificate() const
{
    if (!tlsIsOpenSsl())
        return FetchFailure::CertificateUntrusted;
    long verified = VerifiedOk;
    curl_easy_getinfo(m_easy, CURLINFO_SSL_VERIFYRESULT, &verified);
    switch (verified) {
    case Expired:
        return FetchFailure::CertificateExpired;
    case NotYetValid:
        return FetchFailure::CertificateNotYetValid;
    case VerifiedOk:
    case Unspecified:
    case HostNameMismatch:
        // The chain was good; the library's own check of the name failed.
        return FetchFailure::CertificateOtherName;
    default:
        // Self-signed, an unknown issuer, or anything else no trusted authority vouches for.
        return FetchFailure::CertificateUntrusted;
    }
}

qint64 InternetTransfer::Session::wireBytes() const
{
    curl_off_t bytes = 0;
    curl_easy_getinfo(m_easy, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
    return static_cast<qint64>(bytes);
}

bool InternetTransfer::Session::fail(FetchFailure why)
{
    if (!m_failure)
        m_failure = why;
    return false;
}

void InternetTransfer::Session::stop(std::optional<FetchFailure> why)
{
    if (m_stopped)
        return;
    // The first reason stands; a transfer that has ended is not failed afterwards.
    if (!m_done && !m_failure)
        m_failure = why;
    m_stopped = true;
    m_curlTimer.stop();
    m_paceTimer.stop();
    for (auto& [socket, watch] : m_watches) {
        if (watch.read)
            watch.read->setEnabled(false);
        if (watch.write)
            watch.write->setEnabled(false);
    }
    if (m_attached) {
        // Taking the handle off mid-transfer makes curl close its connection right here.
        m_attached = false;
        curl_multi_remove_handle(m_multi, m_easy);
    }
    if (m_ended)
        m_ended();
}

void InternetTransfer::Session::act(curl_socket_t socket, int events)
{
    if (!m_attached)
        return;
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    readMessages();
}

void InternetTransfer::Session::readMessages()
{
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg == CURLMSG_DONE) {
            m_result = message->data.result;
            m_done = true;
        }
    }
    // Done: stop() fails nothing that has ended.
    if (m_done)
        stop(std::nullopt);
}

int InternetTransfer::Session::onSocket(CURL*, curl_socket_t socket, int what, void* self, void*)
{
    static_cast<Session*>(self)->watch(socket, what);
    return 0;
}

void InternetTransfer::Session::watch(curl_socket_t socket, int what)
{
    // Notifiers are only switched off here, never deleted: curl may call this from inside a
    // notifier's own signal.
    Watch& entry = m_watches[socket];
    const auto want = [&](std::unique_ptr<QSocketNotifier>& notifier, QSocketNotifier::Type type,
                          int events, bool on) {
        if (on && !notifier) {
            notifier = std::make_unique<QSocketNotifier>(socket, type);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, &m_context,
                             [this, socket, events] { act(socket, events); });
        }
        if (notifier)
            notifier->setEnabled(on);
    };
    const bool reading = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool writing = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    want(entry.read, QSocketNotifier::Read, CURL_CSELECT_IN, reading);
    want(entry.write, QSocketNotifier::Write, CURL_CSELECT_OUT, writing);
}

int InternetTransfer::Session::onTimer(CURLM*, long milliseconds, void* self)
{
    auto* session = static_cast<Session*>(self);
    if (milliseconds < 0)
        session->m_curlTimer.stop();
    else
        session->m_curlTimer.start(static_cast<int>(milliseconds));
    return 0;
}

size_t InternetTransfer::Session::onHeader(char* data, size_t size, size_t count, void* self)
{
    const size_t bytes = size * count;
    auto* session = static_cast<Session*>(self);
    session->m_pace.moved(static_cast<qint64>(bytes));
    return session->headLine(QByteArray(data, static_cast<qsizetype>(bytes))) ? bytes : 0;
}

bool InternetTransfer::Session::headLine(const QByteArray& line)
{
    if (const std::optional<FetchFailure> refused = m_head.takeLine(line))
        return fail(*refused);
    if (!HeadVerdict::endsHead(line))
        return true;
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    const char* current = nullptr;
    curl_easy_getinfo(m_easy, CURLINFO_EFFECTIVE_URL, &current);
    if (const std::optional<FetchFailure> refused =
            m_head.headEnded(status, QByteArray(current ? current : ""), m_sawHttps))
        return fail(*refused);
    // An announced length is only a claim: room for the body grows with what really came.
    if (m_head.bodyWanted() && m_head.announcedLength() > 0)
        m_body.reserve(std::min(m_head.announcedLength(), qint64{1024} * 1024));
    return true;
}

// Each request of a chain, just before it goes out: the second wall against a way back from
// https to http, should a redirect have been resolved otherwise than above.
int InternetTransfer::Session::onRequest(void* self, char*, char*, int, int)
{
    auto* session = static_cast<Session*>(self);
    const char* current = nullptr;
    curl_easy_getinfo(session->m_easy, CURLINFO_EFFECTIVE_URL, &current);
    const QString scheme = schemeOfUrl(current);
    if (scheme == u"https") {
        session->m_sawHttps = true;
    } else if (session->m_sawHttps) {
        session->fail(FetchFailure::RedirectToPlainHttp);
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

int InternetTransfer::Session::onProgress(void* self, curl_off_t, curl_off_t received, curl_off_t,
                                          curl_off_t)
{
    auto* session = static_cast<Session*>(self);
    // Each answer of a redirect chain counts from zero.
    if (received < session->m_wireReceived)
        session->m_wireReceived = 0;
    session->m_pace.moved(static_cast<qint64>(received - session->m_wireReceived));
    session->m_wireReceived = received;
    return 0;
}

size_t InternetTransfer::Session::onBody(char* data, size_t size, size_t count, void* self)
{
    const size_t bytes = size * count;
    auto* session = static_cast<Session*>(self);
    // Only the body of an accepted head is taken; anything else ends the transfer.
    if (!session->m_head.bodyWanted()) {
        session->fail(FetchFailure::NotHttp);
        return CURL_WRITEFUNC_ERROR;
    }
    if (session->m_body.size() + static_cast<qint64>(bytes) > session->m_limits.maxBody) {
        session->fail(FetchFailure::TooLarge);
        return CURL_WRITEFUNC_ERROR;
    }
    // Nothing may be thrown through the library's C frames.
    try {
        session->m_body.append(data, static_cast<qsizetype>(bytes));
    } catch (const std::bad_alloc&) {
        session->fail(FetchFailure::OutOfMemory);
        return CURL_WRITEFUNC_ERROR;
    }
    return bytes;
}

std::chrono::milliseconds InternetTransfer::Session::checkPace()
{
    const TransferPace::Verdict pace = m_pace.check();
    if (pace.failure)
        stop(*pace.failure);
    return pace.askAgainIn;
}

InternetTransfer::InternetTransfer(QObject* parent) : QObject(parent) {}

InternetTransfer::~InternetTransfer()
{
    cancel();
}

QVariant InternetTransfer::openUrl(const QString& url, DataType type)
{
    FetchResult fetched = fetch(url);
    if (!fetched.ok())
        return {};
    if (type == DataType::Bytes)
        return std::move(fetched.value().body);
    return QString::fromLatin1(fetched.value().body);
}

Result<Done, FetchFailure> InternetTransfer::admit(const QUrl& target) const
{
    // One transfer at a time: a second caller while one is open gets a failure, not a tangle.
    if (isBusy())
        return FetchFailures::failure(FetchFailure::Busy);
    if (!target.isValid() || target.host().isEmpty() || !schemeFits(target, m_protocol))
        return FetchFailures::failure(FetchFailure::BadAddress);
    return Done{};
}

std::unique_ptr<InternetTransfer::Session>
InternetTransfer::makeSession(const QUrl& target, bool polling, std::function<void()> ended) const
{
    Session::Request request;
    request.url = target.toEncoded();
    request.direct = m_accessType == AccessType::Direct;
    request.protocols = protocolsFor(m_protocol);
    request.redirects = redirectSchemes(target, m_protocol);
    // Another store of authorities, where one is named, as curl the tool takes it.
    request.caFile = m_caFile.isEmpty() ? qgetenv("SSL_CERT_FILE") : QFile::encodeName(m_caFile);
    request.refuseWebPages = m_refuseWebPages;
    return std::make_unique<Session>(
        Session::Limits{m_stallTimeout, m_lowSpeedWindow, m_maxBodyBytes, m_maxHeadBytes}, request,
        polling ? Session::Driver::Polling : Session::Driver::Events, std::move(ended));
}

FetchResult InternetTransfer::fetch(const QString& url)
{
    const QUrl target(url, QUrl::StrictMode);
    if (const Result<Done, FetchFailure> admitted = admit(target); !admitted)
        return admitted.failure();
    const std::unique_ptr<Session> session = makeSession(target, true, {});
    if (session->begin())
        session->runPolling();
    return session->result();
}

void InternetTransfer::start(const QString& url)
{
    const QUrl target(url, QUrl::StrictMode);
    if (const Result<Done, FetchFailure> admitted = admit(target); !admitted) {
        // Told from the event loop like any other end, never from inside this call.
        QMetaObject::invokeMethod(
            this, [this, failure = admitted.failure()] { Q_EMIT finished(failure); },
            Qt::QueuedConnection);
        return;
    }
    m_open = makeSession(target, false, [this] { retireOpen(); });
    if (!m_open->begin())
        retireOpen();
}

// The transfer is over: its session goes out of the way of the next one at once, but is only
// asked for its result, and destroyed, from the event loop, outside its own notifiers.
void InternetTransfer::retireOpen()
{
    if (!m_open)
        return;
    Session* over = m_open.get();
    m_over.push_back(std::move(m_open));
    QMetaObject::invokeMethod(
        this, [this, over] { deliver(over); }, Qt::QueuedConnection);
}

void InternetTransfer::deliver(Session* over)
{
    const auto found = std::find_if(m_over.begin(), m_over.end(),
                                    [over](const auto& session) { return session.get() == over; });
    if (found == m_over.end())
        return;
    const std::unique_ptr<Session> session = std::move(*found);
    m_over.erase(found);
    Q_EMIT finished(session->result());
}

void InternetTransfer::cancel()
{
    if (m_open)
        m_open->stop();
}
