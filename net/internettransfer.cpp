#include "internettransfer.h"

#include <QEventLoop>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

InternetTransfer::InternetTransfer(QObject* parent) : QObject(parent) {}

InternetTransfer::~InternetTransfer()
{
    cancel();
}

namespace {

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

} // namespace

bool InternetTransfer::bodyTooLarge(QNetworkReply* reply, qint64 received) const
{
    if (received > m_maxBodyBytes)
        return true;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    return announced.isValid() && announced.toLongLong() > m_maxBodyBytes;
}

QVariant InternetTransfer::openUrl(const QString& url, DataType type)
{
    // One transfer at a time: a second caller while one is open gets a failure, not a tangle.
    if (isBusy())
        return {};
    const QUrl target(url, QUrl::StrictMode);
    if (!target.isValid() || target.host().isEmpty() || !schemeFits(target, m_protocol))
        return {};

    m_manager.setProxy(m_accessType == AccessType::Direct
                           ? QNetworkProxy(QNetworkProxy::NoProxy)
                           : QNetworkProxy(QNetworkProxy::DefaultProxy));

    QNetworkRequest request(target);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);
    // Qt restarts this time-out whenever bytes move, so it bounds a stall, not the whole fetch.
    request.setTransferTimeout(static_cast<int>(m_stallTimeout.count()));
    // Plain bytes on the wire, so the announced length can be checked against what came.
    request.setRawHeader("Accept-Encoding", "identity");

    QNetworkReply* reply = m_manager.get(request);
    m_reply = reply;
    QByteArray body;
    bool tooLarge = false;

    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        if (!tooLarge && bodyTooLarge(reply, body.size())) {
            tooLarge = true;
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (tooLarge)
            return;
        body += reply->readAll();
        if (bodyTooLarge(reply, body.size())) {
            tooLarge = true;
            reply->abort();
        }
    });
    // Timers and clicks are served while we wait, so the windows stay alive.
    if (!reply->isFinished())
        loop.exec();

    // The loop can also end because the whole program is ending; never leave the reply open.
    const bool finished = reply->isFinished();
    if (!finished)
        reply->abort();
    if (!tooLarge && reply->isOpen())
        body += reply->readAll();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A connection cut in the middle of the body sometimes ends without an error; a body
    // shorter than announced is a cut, never a list.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool complete = !announced.isValid() || announced.toLongLong() == body.size();
    const bool ok = finished && !tooLarge && complete && reply->error() == QNetworkReply::NoError &&
                    status >= 200 && status < 300;
    m_reply.clear();
    reply->deleteLater();

    if (!ok)
        return {};
    if (type == DataType::Bytes)
        return body;
    return QString::fromLatin1(body);
}

void InternetTransfer::cancel()
{
    if (QNetworkReply* reply = m_reply.data(); reply && !reply->isFinished())
        reply->abort();
}
