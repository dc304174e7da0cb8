#pragma once

#include "net/contentcoding.h"
#include "net/fetchresult.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

// The body of an answer that was taken, as it arrives over the wire: its content codings are
// undone as the bytes come, straight into the one buffer that holds the body, which grows
// without copying what came. The limit counts the decoded bytes, so a small coded body that
// would unpack past it stops there.
class AnswerBody final
{
public:
    // codings: in the order the server applied them (as Content-Encoding names them).
    // announcedLength: the bytes the wire is to bring, -1 when not known. Throws bad_alloc.
    AnswerBody(const std::vector<ContentCoding>& codings, qint64 announcedLength, qint64 maxBytes);
    ~AnswerBody();
    Q_DISABLE_COPY_MOVE(AnswerBody)

    // The next bytes from the wire. A failure ends the transfer: TooLarge, DoesNotDecode or
    // OutOfMemory.
    std::optional<FetchFailure> take(QByteArrayView wire);

    // The bytes that came over the wire so far.
    qint64 wireBytes() const { return m_wireBytes; }
    // Whether every coding's stream reached its own end with nothing after it. A coding that
    // was sent no bytes at all holds the empty body.
    bool codingsEnded() const;
    // The body so far, decoded.
    const QByteArray& bytes() const { return m_bytes; }
    // The body, without room to spare: it is kept for long.
    QByteArray release();

private:
    struct Stage
    {
        std::unique_ptr<CodingDecoder> decoder;
        bool fed = false;
        std::unique_ptr<char[]> scratch; // where it decodes to when another stage follows
    };

    std::optional<FetchFailure> pass(std::size_t stage, const char* data, std::size_t size);
    std::optional<FetchFailure> store(const char* data, std::size_t size);
    // Room at the body's end, up to one byte past the limit, so that a body over it shows.
    std::optional<FetchFailure> makeRoom(std::size_t& room);

    // In the order they are undone: the coding applied last comes first.
    std::vector<Stage> m_stages;
    QByteArray m_bytes;
    qint64 m_maxBytes;
    qint64 m_plannedBytes; // the room the body gets at its first bytes
    qint64 m_wireBytes = 0;
    bool m_noDecoder = false; // a decoder could not be set up
};
