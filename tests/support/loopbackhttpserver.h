#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <chrono>

class QTcpSocket;

// A real HTTP server on 127.0.0.1 with canned answers, for tests that need the network.
// Each path has one answer; the server closes each connection after answering. Answers go out
// as the client takes them, so a client that stops reading is seen in bytesSent(). It serves
// from a thread of its own, so a client that blocks the test's thread is answered all the same.
// Given a certificate of the test set the build makes (support/make-certs), it speaks HTTPS.
class LoopbackHttpServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LoopbackHttpServer)

public:
    struct Answer
    {
        int status = 200;
        QByteArray body;
        QByteArray extraHeaders;        // whole "Name: value\r\n" lines
        bool sendLength = true;         // Content-Length header present
        bool chunked = false;           // the body goes out in chunks, ended by an empty one
        bool stallBeforeHead = false;   // accept the request, never answer
        qsizetype stallAfterBytes = -1; // send this many body bytes, then go silent
        qsizetype dropAfterBytes = -1;  // send this many body bytes, then close the connection
        QByteArray raw;                 // if set, sent as it is instead of an HTTP answer
        bool endlessHead = false;       // header fields without end after the status line
        qint64 fillerBytes = -1;        // a body of this many filler bytes instead of body
        std::chrono::milliseconds trickle{0}; // the body goes out a piece per this interval
        qsizetype tricklePiece = 1;
        // The body (or the filler, made and packed as it goes, without a length) goes out
        // packed in these codings, applied in turn and named so in Content-Encoding: gzip,
        // deflate, br, zstd, or "raw deflate" (deflate without its zlib wrapping, as some
        // servers send it under the name deflate).
        QByteArray coding;
        // The packed stream stops where this many body bytes are packed (flushed there), with
        // a length that matches what goes out: cut as a server can cut it.
        qsizetype codingCutAfter = -1;
        QByteArray afterCoding; // sent after the packed stream, within the length
    };

    // certificate: empty for plain HTTP, or the name of a certificate of the test set
    // ("server", "expired", "not-yet-valid", "other-name", "untrusted") to serve HTTPS with.
    explicit LoopbackHttpServer(const QString& certificate = {});
    ~LoopbackHttpServer() override;

    void setAnswer(const QString& path, const Answer& answer)
    {
        const QMutexLocker lock(&m_answersMutex);
        m_answers.insert(path, answer);
    }
    QUrl url(const QString& path) const;
    // The test set's certificate authority, which signed all its certificates but "untrusted".
    static QString testAuthority();
    // A file of the test set.
    static QString tlsFile(const QString& name);
    // The bytes packed in the codings, as Answer::coding names them.
    static QByteArray packed(const QByteArray& coding, const QByteArray& bytes);
    int requestCount() const { return m_requests; }
    // Bytes the system took from the server's sockets, over all connections.
    qint64 bytesSent() const { return m_bytesSent; }
    // Connections the client closed before the whole answer was out.
    int hangUps() const { return m_hangUps; }

private:
    struct Sending;
    void serve(QTcpSocket* socket);
    void feed(QTcpSocket* socket);

    QThread m_thread;
    QTcpServer* m_server = nullptr; // a child: it goes along to the serving thread
    bool m_tls = false;
    quint16 m_port = 0;
    QMutex m_answersMutex;
    QHash<QString, Answer> m_answers;
    QHash<QTcpSocket*, Sending*> m_sending;
    std::atomic<int> m_requests = 0;
    std::atomic<qint64> m_bytesSent = 0;
    std::atomic<int> m_hangUps = 0;
};
