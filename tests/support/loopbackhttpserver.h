#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrl>

// A real HTTP server on 127.0.0.1 with canned answers, for tests that need the network.
// Each path has one answer; the server closes each connection after answering.
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
        bool stallBeforeHead = false;   // accept the request, never answer
        qsizetype stallAfterBytes = -1; // send this many body bytes, then go silent
        qsizetype dropAfterBytes = -1;  // send this many body bytes, then close the connection
        QByteArray raw;                 // if set, sent as it is instead of an HTTP answer
    };

    explicit LoopbackHttpServer(QObject* parent = nullptr);
    ~LoopbackHttpServer() override;

    void setAnswer(const QString& path, const Answer& answer) { m_answers.insert(path, answer); }
    QUrl url(const QString& path) const;
    int requestCount() const { return m_requests; }

private:
    void serve(QTcpSocket* socket);

    QTcpServer m_server;
    QHash<QString, Answer> m_answers;
    int m_requests = 0;
};
