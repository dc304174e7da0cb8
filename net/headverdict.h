#pragma once

#include "fetchfailure.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QtGlobal>
#include <optional>

// The verdict on the heads of a transfer's answers, line by line and when each head ends:
// whether the answer is followed (a redirect), taken (its body is wanted) or refused, before
// any of its body is read. Each answer of a redirect chain is judged on its own head.
class HeadVerdict final
{
public:
    struct Rules
    {
        qint64 maxHeadBytes;
        qint64 maxBodyBytes;
        bool refuseWebPages;
        // The content codings that were asked for, because the transfer decodes them.
        QByteArrayList decodedCodings;
    };

    explicit HeadVerdict(Rules rules);

    // One line of a head as it came, line end included. A failure ends the transfer.
    std::optional<FetchFailure> takeLine(QByteArrayView line);
    // Whether the line is the blank one that ends a head.
    static bool endsHead(QByteArrayView line);
    // The head has ended with this status; answerUrl is the address that answered (a redirect
    // leads on from it), and sawHttps whether the chain went over https before. A failure ends
    // the transfer; otherwise a redirect is followed, an interim answer waits for the next
    // head, and a 2xx answer's body is wanted.
    std::optional<FetchFailure> headEnded(long status, const QByteArray& answerUrl, bool sawHttps);

    // Whether the last head was taken: its body, and only its, may come.
    bool bodyWanted() const { return m_bodyWanted; }
    // The last head's Content-Length, -1 when it had none.
    qint64 announcedLength() const { return m_announced; }
    // Whether the body's end was announced so that a cut shows: a length or chunks, and no
    // content coding (the library does not check that a packed stream reached its own end, so
    // only the bytes on the wire had their end announced, never the list they unpack to).
    bool endAnnounced() const { return (m_announced >= 0 || m_chunked) && !m_decoded; }
    // Whether any status line came at all.
    bool sawStatus() const { return m_sawStatus; }
    // The last status line's phrase, cleaned for showing.
    const QByteArray& phrase() const { return m_phrase; }
    // The scheme of a refused redirect, cleaned for showing.
    const QByteArray& refusedScheme() const { return m_refusedScheme; }

private:
    std::optional<FetchFailure> mayFollow(const QByteArray& answerUrl, bool sawHttps);

    bool isDecoded(const QByteArray& coding) const;

    Rules m_rules;

    qint64 m_headBytes = 0;
    bool m_encoded = false; // in a coding that was not asked for
    bool m_decoded = false; // in a coding the library undoes
    qint64 m_announced = -1;
    bool m_chunked = false;
    bool m_sawStatus = false;
    QByteArray m_phrase;
    bool m_hasLocation = false;
    QByteArray m_location;
    bool m_webPageType = false;
    bool m_bodyWanted = false;
    QByteArray m_refusedScheme;
};
