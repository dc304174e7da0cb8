#include "net/transfersession.h"

#include "net/curlfailure.h"
#include "net/webpage.h"

#include <new>
#include <utility>

// libcurl does the HTTP work because it can be bounded everywhere a server could make us
// wait or hoard: the head is seen line by line, a failed transfer's connection is closed
// before the call that failed it returns, and nothing reads on behind our back. What it does
// not know is left to us: where a coded body ends (its decoding is off; the codings are undone
// here) and whether a redirect may be followed (each is checked before its request goes out).

namespace {

void initCurlOnce()
{
    // Never cleaned up: the program may fetch until its very end.
    [[maybe_unused]] static const CURLcode once = curl_global_init(CURL_GLOBAL_DEFAULT);
}

// Reads as big as curl the tool makes, rather than libcurl's 16 KiB: fewer calls for a list of
// megabytes.
constexpr long receiveBufferBytes = 100 * 1024;

// The values of every field of this name in the last answer's head, in the order they came.
QByteArrayList fieldValues(CURL* easy, const char* name)
{
    QByteArrayList values;
    curl_header* field = nullptr;
    for (size_t index = 0;
         curl_easy_header(easy, name, index, CURLH_HEADER, -1, &field) == CURLHE_OK; ++index) {
        values.append(QByteArray(field->value));
        if (index + 1 >= field->amount)
            break;
    }
    return values;
}

} // namespace

InternetTransfer::Session::Session(const Limits& limits, const Request& request, Driver driver,
                                   std::function<void()> ended)
    : m_limits(limits), m_rules{limits.maxHead, limits.maxBody, request.refuseWebPages,
                                maxRedirects},
      m_pace({limits.stall, limits.lowSpeedWindow, minBytesPerWindow}), m_driver(driver),
      m_ended(std::move(ended))
{
    initCurlOnce();
    m_multi = curl_multi_init();
    m_easy = curl_easy_init();
    m_fields = curl_slist_append(nullptr, ContentCodings::acceptField());
    aim(request.url);
    if (!m_multi || !m_easy || !m_fields)
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

    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, request.protocols);
    // The library's defaults, said aloud: the peer's certificate and its name are checked.
    curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!request.caFile.isEmpty())
        curl_easy_setopt(m_easy, CURLOPT_CAINFO, request.caFile.constData());
    curl_easy_setopt(m_easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    // Every connection ends with its transfer, so a failed one is never kept for later.
    curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    // A cancel while a host name is still being looked up must not wait for the lookup: the
    // lookup's thread is left to end by itself.
    curl_easy_setopt(m_easy, CURLOPT_QUICK_EXIT, 1L);
    if (request.direct) {
        curl_easy_setopt(m_easy, CURLOPT_PROXY, "");
        curl_easy_setopt(m_easy, CURLOPT_NOPROXY, "*");
    }
    // The codings are asked for here and undone as the body comes, so the body's limit counts
    // what it will hold, however small the wire; libcurl hands over the bytes as they came.
    curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_fields);
    curl_easy_setopt(m_easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, receiveBufferBytes);
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

void InternetTransfer::Session::aim(QByteArray url)
{
    m_chain.answerUrl = std::move(url);
    m_answer.emplace(m_rules);
    curl_easy_setopt(m_easy, CURLOPT_URL, m_chain.answerUrl.constData());
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

void InternetTransfer::Session::follow()
{
    // The redirect's answer was ended at its head; the next request is a transfer of its own.
    curl_multi_remove_handle(m_multi, m_easy);
    ++m_chain.redirects;
    aim(m_answer->head.followTo());
    m_done = false;
    m_result = CURLE_OK;
    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) {
        m_attached = false;
        stop(FetchFailure::OutOfMemory);
    }
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
    const HeadVerdict& head = m_answer->head;
    const FetchFailures::Circumstances circumstances{
        static_cast<int>(status),
        head.phrase(),
        std::chrono::ceil<std::chrono::seconds>(m_limits.stall).count(),
        m_limits.maxBody,
        maxRedirects,
        head.refusedScheme()};
    std::optional<FetchFailure> failure = m_failure;
    if (!failure && m_result != CURLE_OK)
        failure = CurlFailure::of(m_result, m_easy, head.sawStatus());
    if (!failure)
        failure = failureOfBody(status);
    if (failure)
        return FetchFailures::failure(*failure, circumstances);
    return FetchedBody{m_answer->body->release(), head.endAnnounced()};
}

std::optional<FetchFailure> InternetTransfer::Session::failureOfBody(long status) const
{
    if (status < 200 || status > 299)
        return FetchFailure::HttpStatus;
    const AnswerBody* body = m_answer->body ? &*m_answer->body : nullptr;
    if (!m_answer->head.bodyWanted() || !body)
        return FetchFailure::NotHttp;
    // A body shorter than announced is a cut, never a list; so is a coded stream that stopped
    // before its own end, wherever it stopped.
    const qint64 announced = m_answer->head.announcedLength();
    if ((announced >= 0 && announced != body->wireBytes()) || !body->codingsEnded())
        return FetchFailure::CutShort;
    if (m_rules.refuseWebPages && WebPage::opensPage(body->bytes()))
        return FetchFailure::WebPage;
    return std::nullopt;
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
    if (!m_done)
        return;
    // A redirect that may be followed ended its answer at the head.
    if (!m_failure && !m_answer->head.followTo().isEmpty())
        follow();
    else
        stop(std::nullopt); // done: stop() fails nothing that has ended
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
    return session->headLine(QByteArrayView(data, static_cast<qsizetype>(bytes))) ? bytes : 0;
}

bool InternetTransfer::Session::headLine(QByteArrayView line)
{
    Answer& answer = *m_answer;
    if (const std::optional<FetchFailure> refused = answer.head.takeLine(line))
        return fail(*refused);
    // Once the body is coming, lines are the trailers of its chunks: counted, never judged.
    if (!HeadVerdict::endsHead(line) || answer.body)
        return true;
    long status = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    const auto fields = [this](const char* name) {
        return fieldValues(m_easy, name);
    };
    if (const std::optional<FetchFailure> refused = answer.head.headEnded(status, fields, m_chain))
        return fail(*refused);
    // A redirect's body is not wanted: its answer ends here, and the chain goes on.
    if (!answer.head.followTo().isEmpty())
        return false;
    if (!answer.head.bodyWanted())
        return true;
    // Nothing may be thrown through the library's C frames.
    try {
        answer.body.emplace(answer.head.codings(), answer.head.announcedLength(), m_limits.maxBody);
    } catch (const std::bad_alloc&) {
        return fail(FetchFailure::OutOfMemory);
    }
    return true;
}

size_t InternetTransfer::Session::onBody(char* data, size_t size, size_t count, void* self)
{
    const size_t bytes = size * count;
    auto* session = static_cast<Session*>(self);
    session->m_pace.moved(static_cast<qint64>(bytes));
    // Only the body of an accepted head is taken; anything else ends the transfer.
    std::optional<AnswerBody>& body = session->m_answer->body;
    if (!body) {
        session->fail(FetchFailure::NotHttp);
        return CURL_WRITEFUNC_ERROR;
    }
    if (const std::optional<FetchFailure> failed =
            body->take(QByteArrayView(data, static_cast<qsizetype>(bytes)))) {
        session->fail(*failed);
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
