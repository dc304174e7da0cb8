#pragma once

#include "net/contentcoding.h"
#include "net/fetchfailure.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QtGlobal>
#include <functional>
#include <optional>
#include <vector>

// The verdict on the head of one answer, before any of its body is read: whether the answer is
// followed (a redirect), taken (its body is wanted) or refused. A transfer makes a new verdict
// for each answer of a redirect chain, so nothing of one answer counts for the next; an interim
// answer (1xx) counts towards the head that follows it.
class HeadVerdict final
{
public:
    struct Rules
    {
        qint64 maxHeadBytes;
        qint64 maxBodyBytes;
        bool refuseWebPages;
        int maxRedirects;
    };

    // The redirect chain the answer ends or goes on with.
    struct Chain
    {
        QByteArray answerUrl; // the address that answered
        int redirects = 0;    // followed so far
    };

    // The values of the fields of this name in the head that ended, each field as it came (in
    // the transfer, what libcurl's header API gives).
    using Fields = std::function<QByteArrayList(const char* name)>;

    explicit HeadVerdict(const Rules& rules);

    // One line of a head as it came, line end included: counted, and a status line's phrase
    // kept. A failure ends the transfer.
    std::optional<FetchFailure> takeLine(QByteArrayView line);
    // Whether the line is the blank one that ends a head.
    static bool endsHead(QByteArrayView line);
    // The head has ended with this status. A failure ends the transfer; otherwise a redirect
    // is to be followed, an interim answer waits for the next head, or the body is wanted.
    std::optional<FetchFailure> headEnded(long status, const Fields& fields, const Chain& chain);

    // Whether the answer was taken: its body, and only its, may come.
    bool bodyWanted() const { return m_bodyWanted; }
    // The address a redirect leads to, as libcurl resolves it against the address that
    // answered; empty unless a redirect is to be followed.
    const QByteArray& followTo() const { return m_followTo; }
    // A taken answer's content codings, in the order the server applied them.
    const std::vector<ContentCoding>& codings() const { return m_codings; }
    // Its Content-Length, -1 when it had none.
    qint64 announcedLength() const { return m_announced; }
    // Whether the framing announced where the body ends (a length or chunks), so that a cut
    // shows. A coded body must besides reach the end of its codings' streams.
    bool endAnnounced() const { return m_announced >= 0 || m_chunked; }
    // Whether any status line came at all.
    bool sawStatus() const { return m_sawStatus; }
    // The last status line's phrase, cleaned for showing.
    const QByteArray& phrase() const { return m_phrase; }
    // The scheme of a refused redirect, cleaned for showing.
    const QByteArray& refusedScheme() const { return m_refusedScheme; }

private:
    std::optional<FetchFailure> takeBody(const Fields& fields);
    std::optional<FetchFailure> mayFollow(const QByteArray& location, const Chain& chain);

    Rules m_rules;
    qint64 m_headBytes = 0;
    bool m_sawStatus = false;
    QByteArray m_phrase;
    bool m_bodyWanted = false;
    QByteArray m_followTo;
    std::vector<ContentCoding> m_codings;
    qint64 m_announced = -1;
    bool m_chunked = false;
    QByteArray m_refusedScheme;
};
