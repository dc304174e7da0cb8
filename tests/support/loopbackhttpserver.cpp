#include "loopbackhttpserver.h"

#include <QTcpSocket>

LoopbackHttpServer::LoopbackHttpServer(QObject* parent) : QObject(parent)
{
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("loopback server cannot listen: %s", qPrintable(m_server.errorString()));
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    m_server.close();
}

QUrl LoopbackHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);
    ++m_requests;

    const QByteArray firstLine = request.left(request.indexOf("\r\n"));
    const QString path = QString::fromLatin1(firstLine.split(' ').value(1));
    Answer notFound;
    notFound.status = 404;
    notFound.body = "not here\r\n";
    const Answer answer = m_answers.value(path, notFound);
    if (!answer.raw.isNull()) {
        socket->write(answer.raw);
        socket->disconnectFromHost();
        return;
    }
    if (answer.stallBeforeHead)
        return;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Canned\r\n";
    if (answer.sendLength)
        head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    head += answer.extraHeaders + "Connection: close\r\n\r\n";
    socket->write(head);

    if (answer.stallAfterBytes >= 0) {
        socket->write(answer.body.left(answer.stallAfterBytes));
        return;
    }
    if (answer.dropAfterBytes >= 0) {
        socket->write(answer.body.left(answer.dropAfterBytes));
        socket->flush();
        socket->abort();
        return;
    }
    socket->write(answer.body);
    socket->disconnectFromHost();
}
