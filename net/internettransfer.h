#pragma once

#include "fetchfailure.h"

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
    void setProtocol(Protocol protocol) { m_protocol = protocol; }
    Protocol protocol() const { return m_protocol; }

    // Fetches the whole resource, blocking. Text gives a QString with one character per
    // received byte (Latin-1), Bytes a QByteArray. Any failure gives an invalid QVariant: no
    // server, a status other than 2xx, a content encoding other than identity, a head or body
    // over its limit, a body shorter than announced, no progress within the stall time-out, too
    // few bytes within the low-speed window, or too many redirects.
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
    class Session;
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
};
