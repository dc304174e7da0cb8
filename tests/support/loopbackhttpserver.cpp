#include "loopbackhttpserver.h"

#include <QMetaObject>
#include <QTcpSocket>
#include <QTimer>

namespace {

// How much the server keeps queued in a socket before it waits for the client to take it.
constexpr qint64 sendWindow = 64 * 1024;

} // namespace

// One connection's answer as it goes out.
struct LoopbackHttpServer::Sending
{
    enum class End { Close, Stay, Abort };

    QByteArray queued;     // fixed bytes still to hand to the socket
    qint64 fillerLeft = 0; // generated body bytes still to hand over
    bool endlessHead = false;
    QByteArray trickled; // body bytes still to go one at a time
    End end = End::Close;
    qint64 total = 0;   // the whole answer; -1 when it never ends
    qint64 written = 0; // what the system took so far
    bool closedByServer = false;
    bool over = false;
};

LoopbackHttpServer::LoopbackHttpServer(QObject* parent) : QObject(parent)
{
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("loopback server cannot listen: %s", qPrintable(m_server.errorString()));
    m_port = m_server.serverPort();
    // The listening socket goes along with this object to the serving thread.
    m_server.setParent(this);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    });
    m_thread.start();
    moveToThread(&m_thread);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    // Everything is closed on the serving thread, then comes back here to be destroyed.
    QThread* const home = QThread::currentThread();
    QMetaObject::invokeMethod(
        this,
        [this, home] {
            m_server.close();
            for (QTcpSocket* socket : m_sending.keys())
                socket->disconnect(this);
            qDeleteAll(m_sending);
            m_sending.clear();
            // Nothing with a timer may move: its timers would be set up again by an event that
            // never comes.
            qDeleteAll(findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly));
            moveToThread(home);
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    m_server.setParent(nullptr);
}

QUrl LoopbackHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n") || m_sending.contains(socket))
        return;
    ++m_requests;

    const QByteArray firstLine = request.left(request.indexOf("\r\n"));
    const QString path = QString::fromLatin1(firstLine.split(' ').value(1));
    Answer notFound;
    notFound.status = 404;
    notFound.body = "not here\r\n";
    const Answer answer = [&] {
        const QMutexLocker lock(&m_answersMutex);
        return m_answers.value(path, notFound);
    }();

    auto* sending = new Sending;
    m_sending.insert(socket, sending);
    const auto ended = [this, sending] {
        if (sending->over)
            return;
        sending->over = true;
        if (!sending->closedByServer && sending->written != sending->total)
            ++m_hangUps;
    };
    connect(socket, &QTcpSocket::disconnected, this, ended);
    connect(socket, &QTcpSocket::errorOccurred, this, ended);
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket, sending](qint64 bytes) {
        m_bytesSent += bytes;
        sending->written += bytes;
        feed(socket);
    });

    if (!answer.raw.isNull()) {
        sending->queued = answer.raw;
        sending->total = answer.raw.size();
        feed(socket);
        return;
    }
    if (answer.stallBeforeHead) {
        sending->end = Sending::End::Stay;
        sending->total = -1;
        return;
    }

    const qint64 bodySize = answer.fillerBytes >= 0 ? answer.fillerBytes : answer.body.size();
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Canned\r\n";
    if (answer.endlessHead) {
        sending->queued = head;
        sending->endlessHead = true;
        sending->end = Sending::End::Stay;
        sending->total = -1;
        feed(socket);
        return;
    }
    if (answer.chunked) {
        // A cut chunked body stops inside its chunks, without the empty one that ends them.
        const qsizetype sent =
            answer.dropAfterBytes >= 0 ? answer.dropAfterBytes : answer.body.size();
        QByteArray chunks;
        for (qsizetype at = 0; at < sent; at += 1'000) {
            const QByteArray piece = answer.body.mid(at, std::min<qsizetype>(1'000, sent - at));
            chunks += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
        }
        if (answer.dropAfterBytes < 0)
            chunks += "0\r\n\r\n";
        head +=
            "Transfer-Encoding: chunked\r\n" + answer.extraHeaders + "Connection: close\r\n\r\n";
        sending->queued = head + chunks;
        sending->total = sending->queued.size();
        sending->end = answer.dropAfterBytes >= 0 ? Sending::End::Abort : Sending::End::Close;
        feed(socket);
        return;
    }
    if (answer.sendLength)
        head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    head += answer.extraHeaders + "Connection: close\r\n\r\n";
    sending->queued = head;
    sending->total = head.size() + bodySize;

    if (answer.stallAfterBytes >= 0) {
        sending->queued += answer.body.left(answer.stallAfterBytes);
        sending->end = Sending::End::Stay;
        sending->total = -1;
    } else if (answer.dropAfterBytes >= 0) {
        sending->queued += answer.body.left(answer.dropAfterBytes);
        sending->end = Sending::End::Abort;
    } else if (answer.fillerBytes >= 0) {
        sending->fillerLeft = answer.fillerBytes;
    } else if (answer.trickle > std::chrono::milliseconds::zero()) {
        sending->trickled = answer.body;
        auto* timer = new QTimer(socket);
        const qsizetype piece = std::max<qsizetype>(answer.tricklePiece, 1);
        connect(timer, &QTimer::timeout, this, [this, socket, sending, timer, piece] {
            if (sending->trickled.isEmpty() || socket->state() != QAbstractSocket::ConnectedState) {
                timer->stop();
                return;
            }
            socket->write(sending->trickled.left(piece));
            sending->trickled.remove(0, piece);
            feed(socket);
        });
        timer->start(answer.trickle);
    } else {
        sending->queued += answer.body;
    }
    feed(socket);
}

void LoopbackHttpServer::feed(QTcpSocket* socket)
{
    Sending* sending = m_sending.value(socket);
    if (!sending || sending->over || socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (socket->bytesToWrite() < sendWindow) {
        if (!sending->queued.isEmpty()) {
            socket->write(sending->queued.left(sendWindow));
            sending->queued.remove(0, sendWindow);
        } else if (sending->endlessHead) {
            socket->write(("X-Padding: " + QByteArray(1'000, 'p') + "\r\n").repeated(64));
        } else if (sending->fillerLeft > 0) {
            const qint64 piece = std::min(sending->fillerLeft, sendWindow);
            socket->write(QByteArray(piece, 'f'));
            sending->fillerLeft -= piece;
        } else {
            break;
        }
    }
    if (!sending->queued.isEmpty() || sending->endlessHead || sending->fillerLeft > 0 ||
        !sending->trickled.isEmpty())
        return;
    switch (sending->end) {
    case Sending::End::Close:
        socket->disconnectFromHost();
        break;
    case Sending::End::Abort:
        socket->flush();
        sending->closedByServer = true;
        socket->abort();
        break;
    case Sending::End::Stay:
        break;
    }
}
