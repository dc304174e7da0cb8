#include "net/internettransfer.h"

#include "net/transfersession.h"

#include <QFile>
#include <QMetaObject>
#include <QUrl>
#include <algorithm>
#include <utility>

// A started transfer is driven by the program's own event loop through socket notifiers and
// timers and says when it has ended; a blocking fetch drives it by polling, with no events
// served. The session (transfersession.h) does the work of each.

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

} // namespace

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
