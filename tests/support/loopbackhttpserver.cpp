#include "tests/support/loopbackhttpserver.h"

#include <QFile>
#include <QMetaObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>
#include <brotli/encode.h>
#include <memory>
#include <zlib.h>
#include <zstd.h>

namespace {

// How much the server keeps queued in a socket before it waits for the client to take it.
constexpr qint64 sendWindow = 64 * 1024;

// A packed stream made as its input comes, in one coding, flushed after each piece so that
// what went out decodes to every byte packed so far.
class Packer
{
public:
    // whole: the body is packed at once, not as it comes.
    explicit Packer(const QByteArray& coding, bool whole = false)
    {
        if (coding == "br") {
            m_brotli = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
            if (!m_brotli)
                qFatal("brotli cannot start a stream");
        } else if (coding == "zstd") {
            m_zstd = ZSTD_createCStream();
            // A whole body packed at once is one frame with a window as long as itself, up to
            // 16 MiB, as zstd's tool packs a file: one longer than the 8 MiB a web server may
            // use asks the client for more.
            if (!m_zstd ||
                (whole && ZSTD_isError(ZSTD_CCtx_setParameter(m_zstd, ZSTD_c_windowLog, 24))))
                qFatal("zstd cannot start a stream");
        } else {
            const int windowBits = coding == "gzip"          ? 15 + 16
                                   : coding == "deflate"     ? 15
                                   : coding == "raw deflate" ? -15
                                                             : 0;
            if (windowBits == 0)
                qFatal("the loopback server packs no coding %s", coding.constData());
            if (deflateInit2(&m_zlib, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9,
                             Z_DEFAULT_STRATEGY) != Z_OK)
                qFatal("zlib cannot start a stream");
        }
    }
    ~Packer()
    {
        if (m_brotli)
            BrotliEncoderDestroyInstance(m_brotli);
        else if (m_zstd)
            ZSTD_freeCStream(m_zstd);
        else
            deflateEnd(&m_zlib);
    }
    Q_DISABLE_COPY_MOVE(Packer)

    QByteArray pack(const QByteArray& input, bool last)
    {
        QByteArray output;
        char piece[16 * 1024];
        if (m_brotli) {
            auto* in = reinterpret_cast<const uint8_t*>(input.constData());
            size_t inLeft = static_cast<size_t>(input.size());
            const BrotliEncoderOperation operation =
                last ? BROTLI_OPERATION_FINISH : BROTLI_OPERATION_FLUSH;
            do {
                auto* out = reinterpret_cast<uint8_t*>(piece);
                size_t outLeft = sizeof piece;
                if (!BrotliEncoderCompressStream(m_brotli, operation, &inLeft, &in, &outLeft, &out,
                                                 nullptr))
                    qFatal("brotli cannot pack");
                output.append(piece, static_cast<qsizetype>(sizeof piece - outLeft));
            } while (inLeft > 0 || BrotliEncoderHasMoreOutput(m_brotli) ||
                     (last && !BrotliEncoderIsFinished(m_brotli)));
        } else if (m_zstd) {
            ZSTD_inBuffer in{input.constData(), static_cast<size_t>(input.size()), 0};
            size_t left = 0;
            do {
                ZSTD_outBuffer out{piece, sizeof piece, 0};
                left = ZSTD_compressStream2(m_zstd, &out, &in, last ? ZSTD_e_end : ZSTD_e_flush);
                if (ZSTD_isError(left))
                    qFatal("zstd cannot pack");
                output.append(piece, static_cast<qsizetype>(out.pos));
            } while (left > 0);
        } else {
            m_zlib.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
            m_zlib.avail_in = static_cast<uInt>(input.size());
            int status = Z_OK;
            do {
                m_zlib.next_out = reinterpret_cast<Bytef*>(piece);
                m_zlib.avail_out = sizeof piece;
                status = deflate(&m_zlib, last ? Z_FINISH : Z_SYNC_FLUSH);
                output.append(piece, static_cast<qsizetype>(sizeof piece - m_zlib.avail_out));
            } while (status == Z_OK && (m_zlib.avail_out == 0 || last));
        }
        return output;
    }

private:
    z_stream m_zlib{};
    BrotliEncoderState* m_brotli = nullptr;
    ZSTD_CStream* m_zstd = nullptr;
};

} // namespace

// One connection's answer as it goes out.
struct LoopbackHttpServer::Sending
{
    enum class End { Close, Stay, Abort };

    QByteArray queued;              // fixed bytes still to hand to the socket
    qint64 fillerLeft = 0;          // generated body bytes still to hand over
    std::unique_ptr<Packer> packer; // packs the filler as it goes
    bool endlessHead = false;
    QByteArray trickled; // body bytes still to go one at a time
    End end = End::Close;
    qint64 total = 0;   // the whole answer; -1 when it never ends
    qint64 written = 0; // what the system took so far
    bool closedByServer = false;
    bool over = false;
};

LoopbackHttpServer::LoopbackHttpServer(const QString& certificate)
{
    if (certificate.isEmpty()) {
        m_server = new QTcpServer(this);
    } else {
        QFile certificateFile(tlsFile(certificate + QStringLiteral(".pem")));
        QFile keyFile(tlsFile(certificate + QStringLiteral("-key.pem")));
        if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            qFatal("loopback server has no certificate %s", qPrintable(certificate));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(QSslCertificate(&certificateFile, QSsl::Pem));
        configuration.setPrivateKey(QSslKey(&keyFile, QSsl::Rsa, QSsl::Pem));
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone); // clients bring no certificate
        auto* server = new QSslServer(this);
        server->setSslConfiguration(configuration);
        m_server = server;
        m_tls = true;
    }
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("loopback server cannot listen: %s", qPrintable(m_server->errorString()));
    m_port = m_server->serverPort();
    // A TLS connection is pending once its handshake is done; a client that refused the
    // certificate never gets that far.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            // A request that came with the end of the handshake is already waiting.
            if (socket->bytesAvailable() > 0)
                QMetaObject::invokeMethod(
                    socket, [this, socket] { serve(socket); }, Qt::QueuedConnection);
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
            // The listener goes too, with the connections whose handshake never ended.
            delete m_server;
            m_server = nullptr;
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
}

QUrl LoopbackHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                    .arg(m_tls ? u"https" : u"http")
                    .arg(m_port)
                    .arg(path));
}

QString LoopbackHttpServer::tlsFile(const QString& name)
{
    return QStringLiteral(CAMUPDATE_TEST_TLS_DIR "/") + name;
}

QString LoopbackHttpServer::testAuthority()
{
    return tlsFile(QStringLiteral("ca.pem"));
}

QByteArray LoopbackHttpServer::packed(const QByteArray& coding, const QByteArray& bytes)
{
    QByteArray result = bytes;
    for (const QByteArray& name : coding.split(','))
        result = Packer(name.trimmed(), true).pack(result, true);
    return result;
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    // A TLS handshake on a plain port: answered in plain HTTP, as web servers do.
    if (request.startsWith('\x16') && !m_tls && !m_sending.contains(socket)) {
        socket->write("HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
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

    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Canned\r\n";
    Answer packed = answer;
    if (!answer.coding.isEmpty()) {
        head += "Content-Encoding: " + QByteArray(answer.coding).replace("raw deflate", "deflate") +
                "\r\n";
        if (answer.fillerBytes >= 0) {
            // Packed as it goes: its length is not known before.
            sending->packer = std::make_unique<Packer>(answer.coding);
            packed.sendLength = false;
        } else if (answer.codingCutAfter >= 0) {
            packed.body =
                Packer(answer.coding).pack(answer.body.left(answer.codingCutAfter), false);
        } else {
            packed.body = LoopbackHttpServer::packed(answer.coding, answer.body);
        }
        packed.body += answer.afterCoding;
    }
    const qint64 bodySize = sending->packer           ? -1
                            : packed.fillerBytes >= 0 ? packed.fillerBytes
                                                      : packed.body.size();
    if (packed.endlessHead) {
        sending->queued = head;
        sending->endlessHead = true;
        sending->end = Sending::End::Stay;
        sending->total = -1;
        feed(socket);
        return;
    }
    if (packed.chunked) {
        // A cut chunked body stops inside its chunks, without the empty one that ends them.
        const qsizetype sent =
            packed.dropAfterBytes >= 0 ? packed.dropAfterBytes : packed.body.size();
        QByteArray chunks;
        for (qsizetype at = 0; at < sent; at += 1'000) {
            const QByteArray piece = packed.body.mid(at, std::min<qsizetype>(1'000, sent - at));
            chunks += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
        }
        if (packed.dropAfterBytes < 0)
            chunks += "0\r\n\r\n";
        head +=
            "Transfer-Encoding: chunked\r\n" + packed.extraHeaders + "Connection: close\r\n\r\n";
        sending->queued = head + chunks;
        sending->total = sending->queued.size();
        sending->end = packed.dropAfterBytes >= 0 ? Sending::End::Abort : Sending::End::Close;
        feed(socket);
        return;
    }
    if (packed.sendLength)
        head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    head += packed.extraHeaders + "Connection: close\r\n\r\n";
    sending->queued = head;
    sending->total = sending->packer ? -1 : head.size() + bodySize;

    if (packed.stallAfterBytes >= 0) {
        sending->queued += packed.body.left(packed.stallAfterBytes);
        sending->end = Sending::End::Stay;
        sending->total = -1;
    } else if (packed.dropAfterBytes >= 0) {
        sending->queued += packed.body.left(packed.dropAfterBytes);
        sending->end = Sending::End::Abort;
    } else if (packed.fillerBytes >= 0) {
        sending->fillerLeft = packed.fillerBytes;
    } else if (packed.trickle > std::chrono::milliseconds::zero()) {
        sending->trickled = packed.body;
        auto* timer = new QTimer(socket);
        const qsizetype piece = std::max<qsizetype>(packed.tricklePiece, 1);
        connect(timer, &QTimer::timeout, this, [this, socket, sending, timer, piece] {
            if (sending->trickled.isEmpty() || socket->state() != QAbstractSocket::ConnectedState) {
                timer->stop();
                return;
            }
            socket->write(sending->trickled.left(piece));
            sending->trickled.remove(0, piece);
            feed(socket);
        });
        timer->start(packed.trickle);
    } else {
        sending->queued += packed.body;
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
            sending->fillerLeft -= piece;
            if (sending->packer)
                socket->write(
                    sending->packer->pack(QByteArray(piece, 'f'), sending->fillerLeft == 0));
            else
                socket->write(QByteArray(piece, 'f'));
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
