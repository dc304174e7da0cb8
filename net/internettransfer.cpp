#include "internettransfer.h"

#include <QByteArray>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <curl/curl.h>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <utility>

// libcurl does the HTTP work because it can be bounded everywhere a server could make us
// wait or hoard: the head is seen line by line, a failed transfer's connection is closed
// before the call that failed it returns, and nothing reads on behind our back. A started
// transfer is driven by the program's own event loop through socket notifiers and timers and
// says when it has ended; a blocking fetch drives it by polling, with no events served.

namespace {

using Clock = std::chrono::steady_clock;

bool schemeFits(const QUrl& url, InternetTransfer::Protocol protocol)
{
    const QString scheme = url.scheme().toLower();
    switch (protocol) {
    case InternetTransfer::Protocol::Http:
        return scheme == u"http";
    case InternetTransfer::Protocol::Https:
        return scheme == u"https";
    case InternetTransfer::Protocol::Default:
        return scheme == u"http" || scheme == u"https";
    default:
        return false;
    }
}

// The schemes a redirect may lead to: never other protocols, and never from https back to
// plain http.
const char* redirectSchemes(const QUrl& url, InternetTransfer::Protocol protocol)
{
    if (url.scheme().toLower() == u"https")
        return "https";
    return protocol == InternetTransfer::Protocol::Http ? "http" : "http,https";
}

void initCurlOnce()
{
    // Never cleaned up: the program may fetch until its very end.
    [[maybe_unused]] static const CURLcode once = curl_global_init(CURL_GLOBAL_DEFAULT);
}

QByteArray fieldValue(const QByteArray& line, const char* name)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0 || line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) != 0)
        return {};
    return line.mid(colon + 1).trimmed();
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

    Session(const Limits& limits, const QByteArray& url, bool direct, const char* protocols,
            const char* redirects, Driver driver, std::function<void()> ended = {});
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
    // failed or ended.
    void stop(FetchFailure why = FetchFailure::Cancelled);

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

    void act(curl_socket_t socket, int events);
    void watch(curl_socket_t socket, int what);
    bool headLine(const QByteArray& line);
    bool headEnded();
    bool fail(FetchFailure why);
    FetchFailure failureOfLibrary() const;
    void moved(qint64 bytes);
    // Fails the transfer when it has stalled or gone too slowly; otherwise gives how long it
    // may go on before this must be asked again.
    std::chrono::milliseconds checkPace();
    void readMessages();

    Limits m_limits;
    Driver m_driver;
    std::function<void()> m_ended;
    CURLM* m_multi = nullptr;
    CURL* m_easy = nullptr;
    curl_slist* m_fields = nullptr;
    std::map<curl_socket_t, Watch> m_watches;
    QTimer m_curlTimer;
    QTimer m_paceTimer;
    QObject m_context; // what the notifiers' and timers' connections hang on
    bool m_attached = false;
    bool m_stopped = false;
    bool m_done = false;
    CURLcode m_result = CURLE_OK;
    // Why we ended the transfer ourselves, if we did.
    FetchFailure m_failure = FetchFailure::None;

    // The head being read, and the verdict on the last one.
    qint64 m_headBytes = 0;
    bool m_encoded = false;
    qint64 m_announced = -1;
    bool m_chunked = false;
    bool m_sawStatus = false;
    QByteArray m_phrase;
    bool m_hasLocation = false;
    bool m_bodyWanted = false;
    QByteArray m_body;

    // Pace: when the transfer began and last moved, and the recent arrivals that still count
    // towards the minimum of the low-speed window.
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_lastMoved = m_start;
    qint64 m_moved = 0;
    std::deque<std::pair<Clock::time_point, qint64>> m_recent;
};

InternetTransfer::Session::Session(const Limits& limits, const QByteArray& url, bool direct,
                                   const char* protocols, const char* redirects, Driver driver,
                                   std::function<void()> ended)
    : m_limits(limits), m_driver(driver), m_ended(std::move(ended))
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

    curl_easy_setopt(m_easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, redirects);
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
    if (direct) {
        curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
        curl_easy_setopt(m_easy, CURLOPT_NOPROXY, "*");
    }
    // Plain bytes on the wire, so the announced length can be checked against what came.
    m_fields = curl_slist_append(nullptr, "Accept-Encoding: identity");
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_fields);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &Session::onHeader);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &Session::onBody);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
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
    curl_slist_free_all(m_fields);
}

bool InternetTransfer::Session::begin()
{
    if (!m_multi || !m_easy || !m_fields || curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) {
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
        static_cast<int>(status), m_phrase,
        std::chrono::ceil<std::chrono::seconds>(m_limits.stall).count(), m_limits.maxBody};
    FetchFailure failure = m_failure;
    if (failure == FetchFailure::None && m_result != CURLE_OK)
        failure = failureOfLibrary();
    if (failure == FetchFailure::None) {
        if (status < 200 || status > 299)
            failure = FetchFailure::HttpStatus;
        else if (!m_bodyWanted)
            failure = FetchFailure::NotHttp;
        else if (m_announced >= 0 && m_announced != m_body.size())
            // A body shorter than announced is a cut, never a list.
            failure = FetchFailure::CutShort;
    }
    if (failure != FetchFailure::None)
        return FetchFailures::failure(failure, circumstances);
    // What arrived may have left room to grow; the body is kept for long, so only its bytes.
    m_body.squeeze();
    return FetchedBody{std::move(m_body), m_announced >= 0 || m_chunked};
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
        return m_sawStatus ? Failure::CutShort : Failure::NoAnswer;
    case CURLE_GOT_NOTHING:
        return Failure::NoAnswer;
    case CURLE_TOO_MANY_REDIRECTS:
        return Failure::RedirectRefused;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // The first address was checked before: a scheme refused later came with a redirect.
        return redirects > 0 ? Failure::RedirectRefused : Failure::NotHttp;
    case CURLE_WEIRD_SERVER_REPLY:
        return Failure::NotHttp;
    case CURLE_FILESIZE_EXCEEDED:
        return Failure::TooLarge;
    case CURLE_BAD_CONTENT_ENCODING:
        return Failure::Encoded;
    case CURLE_OUT_OF_MEMORY:
        return Failure::OutOfMemory;
    case CURLE_OPERATION_TIMEDOUT:
        return Failure::Stalled;
    default:
        return Failure::Other;
    }
}

bool InternetTransfer::Session::fail(FetchFailure why)
{
    if (m_failure == FetchFailure::None)
        m_failure = why;
    return false;
}

void InternetTransfer::Session::stop(FetchFailure why)
{
    if (m_stopped)
        return;
    // The first reason stands; a transfer that has ended is not failed afterwards.
    if (!m_done && m_failure == FetchFailure::None)
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
    if (m_done)
        stop(FetchFailure::None);
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
    session->moved(static_cast<qint64>(bytes));
    return session->headLine(QByteArray(data, static_cast<qsizetype>(bytes))) ? bytes : 0;
}

bool InternetTransfer::Session::headLine(const QByteArray& line)
{
    m_headBytes += line.size();
    if (m_headBytes > m_limits.maxHead)
        return fail(FetchFailure::HeadTooLarge);
    if (line.startsWith("HTTP/")) {
        m_encoded = false;
        m_announced = -1;
        m_chunked = false;
        m_hasLocation = false;
        m_bodyWanted = false;
        m_phrase = FetchFailures::phraseOf(line);
        m_sawStatus = true;
        return true;
    }
    if (line == "\r\n" || line == "\n")
        return headEnded();
    // Any coding but identity, in any of the fields, would hand us bytes other than the list.
    if (const QByteArray value = fieldValue(line, "Content-Encoding"); !value.isEmpty())
        m_encoded = m_encoded || value.compare("identity", Qt::CaseInsensitive) != 0;
    if (const QByteArray value = fieldValue(line, "Content-Length"); !value.isEmpty()) {
        bool ok = false;
        m_announced = value.toLongLong(&ok);
        if (!ok || m_announced < 0)
            return fail(FetchFailure::NotHttp);
    }
    if (const QByteArray value = fieldValue(line, "Transfer-Encoding"); !value.isEmpty())
        m_chunked = m_chunked || value.toLower().contains("chunked");
    if (!fieldValue(line, "Location").isEmpty())
        m_hasLocation = true;
    return true;
}

// The status decides at the end of the head, before any body is read.
bool InternetTransfer::Session::headEnded()
{
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200)
        return true; // an interim answer; its head counts towards the one that follows
    m_headBytes = 0;
    if (status >= 300 && status < 400 && m_hasLocation)
        return true; // curl follows it, up to the redirect limit, without its body
    if (status < 200 || status > 299)
        return fail(FetchFailure::HttpStatus);
    if (m_encoded)
        return fail(FetchFailure::Encoded);
    if (m_announced > m_limits.maxBody)
        return fail(FetchFailure::TooLarge);
    m_bodyWanted = true;
    // An announced length is only a claim: room for the body grows with what really came.
    if (m_announced > 0)
        m_body.reserve(std::min(m_announced, qint64{1024} * 1024));
    return true;
}

size_t InternetTransfer::Session::onBody(char* data, size_t size, size_t count, void* self)
{
    const size_t bytes = size * count;
    auto* session = static_cast<Session*>(self);
    session->moved(static_cast<qint64>(bytes));
    // Only the body of an accepted head is taken; anything else ends the transfer.
    if (!session->m_bodyWanted) {
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

void InternetTransfer::Session::moved(qint64 bytes)
{
    if (bytes <= 0)
        return;
    m_lastMoved = Clock::now();
    m_moved += bytes;
    m_recent.emplace_back(m_lastMoved, m_moved);
    // Arrivals that the window's minimum no longer needs are forgotten.
    while (m_recent.front().second <= m_moved - minBytesPerWindow)
        m_recent.pop_front();
}

// Deadlines only move later as bytes come, so the wait is for the earliest possible one and,
// when it is over, the transfer either fails or waits again.
std::chrono::milliseconds InternetTransfer::Session::checkPace()
{
    // The low-speed window fails once the bytes that moved since its start fall below the
    // minimum; that start is the earliest arrival still needed to make up the minimum.
    const Clock::time_point paceFrom =
        m_moved < minBytesPerWindow ? m_start : m_recent.front().first;
    const Clock::time_point stallDue = m_lastMoved + m_limits.stall;
    const Clock::time_point due = std::min(stallDue, paceFrom + m_limits.lowSpeedWindow);
    const Clock::time_point now = Clock::now();
    if (now >= due) {
        stop(now >= stallDue ? FetchFailure::Stalled : FetchFailure::TooSlow);
        return {};
    }
    return std::chrono::ceil<std::chrono::milliseconds>(due - now);
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
    const char* protocols = m_protocol == Protocol::Http    ? "http"
                            : m_protocol == Protocol::Https ? "https"
                                                            : "http,https";
    return std::make_unique<Session>(
        Session::Limits{m_stallTimeout, m_lowSpeedWindow, m_maxBodyBytes, m_maxHeadBytes},
        target.toEncoded(), m_accessType == AccessType::Direct, protocols,
        redirectSchemes(target, m_protocol),
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
