#pragma once

#include "net/fetchfailure.h"

#include <QObject>
#include <QString>
#include <QVariant>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QUrl;

// The program's transfer control: every network access goes through one of these. A started
// transfer runs while the event loop turns and says when it has ended, so the windows stay
// alive and Cancel can be clicked; a blocking fetch holds its caller, serving no events, until
// the limits end it at the latest. Servers are not trusted: every limit below ends the transfer
// and closes its connection at once.
class InternetTransfer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InternetTransfer)

public:
    enum class AccessType { UseDefault = 0, Direct = 1, NamedProxy = 2 };
    enum class Protocol { Default = 0, Ftp = 2, Gopher = 3, Http = 4, Https = 5 };
    enum class DataType { Text = 0, Bytes = 1 };

    static constexpr std::chrono::milliseconds defaultStallTimeout{30'000};
    static constexpr qint64 defaultMaxBodyBytes = qint64{64} * 1024 * 1024;
    static constexpr qint64 defaultMaxHeadBytes = qint64{64} * 1024;
    // A transfer must move at least this many bytes in every window of this length.
    static constexpr qint64 minBytesPerWindow = 1024;
    static constexpr std::chrono::milliseconds defaultLowSpeedWindow{60'000};
    static constexpr int maxRedirects = 5;

    explicit InternetTransfer(QObject* parent = nullptr);
    ~InternetTransfer() override;

    void setAccessType(AccessType type) { m_accessType = type; }
    AccessType accessType() const { return m_accessType; }
    // Http takes http:// and https:// addresses (HTTP over TLS is still HTTP), Https only the
    // latter. A redirect may lead from http to https, never back, nor to another scheme.
    void setProtocol(Protocol protocol) { m_protocol = protocol; }
    Protocol protocol() const { return m_protocol; }
    // Whether an answer that is a web page fails: for a caller that wants anything but one.
    void setRefuseWebPages(bool refuse) { m_refuseWebPages = refuse; }
    bool refusesWebPages() const { return m_refuseWebPages; }
    // The certificate authorities to trust instead of the system's store. Without one, the
    // file SSL_CERT_FILE names is taken when it is set, as curl does. Peers and their names
    // are always verified.
    void setCertificateAuthorities(const QString& file) { m_caFile = file; }

    // Fetches the whole resource, blocking. Text gives a QString with one character per
    // received byte (Latin-1), Bytes a QByteArray; a compressed body comes decoded. Any failure
    // gives an invalid QVariant: no server, a status other than 2xx, a content coding that was
    // not asked for or does not decode, a head or body (decoded) over its limit, a body shorter
    // than announced or a coded stream that stopped before its own end, no progress within the
    // stall time-out, too few bytes within the low-speed window, too many redirects or one
    // that is not allowed, a certificate that cannot be verified, or a web page where web
    // pages are refused.
    QVariant openUrl(const QString& url, DataType type);
    // The same blocking fetch, saying why it failed.
    FetchResult fetch(const QString& url);

    // Begins the same fetch and returns at once; finished() follows from the event loop, once,
    // never from inside this call.
    void start(const QString& url);

    // Ends the transfer that is still open, if any, and closes its connection now; finished()
    // then says it was cancelled. Harmless when none is open.
    void cancel();

    bool isBusy() const { return m_open != nullptr; }

    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    void setMaxBodyBytes(qint64 bytes) { m_maxBodyBytes = bytes; }
    void setMaxHeadBytes(qint64 bytes) { m_maxHeadBytes = bytes; }
    void setLowSpeedWindow(std::chrono::milliseconds window) { m_lowSpeedWindow = window; }

Q_SIGNALS:
    // A started transfer has ended: the body, or why there is none.
    void finished(const FetchResult& result);

private:
    class Session; // one open transfer (transfersession.h)
    // Whether a transfer to the address may begin now.
    Result<Done, FetchFailure> admit(const QUrl& target) const;
    std::unique_ptr<Session> makeSession(const QUrl& target, bool polling,
                                         std::function<void()> ended) const;
    void retireOpen();
    void deliver(Session* over);

    std::unique_ptr<Session> m_open;
    std::vector<std::unique_ptr<Session>> m_over; // ended, their end not yet told
    AccessType m_accessType = AccessType::UseDefault;
    Protocol m_protocol = Protocol::Default;
    std::chrono::milliseconds m_stallTimeout = defaultStallTimeout;
    std::chrono::milliseconds m_lowSpeedWindow = defaultLowSpeedWindow;
    qint64 m_maxBodyBytes = defaultMaxBodyBytes;
    qint64 m_maxHeadBytes = defaultMaxHeadBytes;
    bool m_refuseWebPages = false;
    QString m_caFile;
};
