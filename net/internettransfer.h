#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <chrono>

class QNetworkReply;

// The program's transfer control: every network access goes through one of these. A fetch
// blocks its caller until the transfer has ended, but keeps the event loop turning meanwhile
// so the windows stay alive and Cancel can be clicked.
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
    static constexpr int maxRedirects = 5;

    explicit InternetTransfer(QObject* parent = nullptr);
    ~InternetTransfer() override;

    void setAccessType(AccessType type) { m_accessType = type; }
    AccessType accessType() const { return m_accessType; }
    void setProtocol(Protocol protocol) { m_protocol = protocol; }
    Protocol protocol() const { return m_protocol; }

    // Fetches the whole resource. Text gives a QString with one character per received byte
    // (Latin-1), Bytes a QByteArray. Any failure gives an invalid QVariant: no server, a status
    // other than 2xx, no progress within the stall time-out, a body over the size limit, too
    // many redirects, or a cancel.
    QVariant openUrl(const QString& url, DataType type);

    // Ends the transfer that is still open, if any; harmless otherwise.
    void cancel();

    bool isBusy() const { return !m_reply.isNull(); }

    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    void setMaxBodyBytes(qint64 bytes) { m_maxBodyBytes = bytes; }

private:
    bool bodyTooLarge(QNetworkReply* reply, qint64 received) const;

    QNetworkAccessManager m_manager;
    QPointer<QNetworkReply> m_reply;
    AccessType m_accessType = AccessType::UseDefault;
    Protocol m_protocol = Protocol::Default;
    std::chrono::milliseconds m_stallTimeout = defaultStallTimeout;
    qint64 m_maxBodyBytes = defaultMaxBodyBytes;
};
