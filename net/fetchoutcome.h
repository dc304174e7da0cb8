#pragma once

#include <QByteArray>
#include <QString>

// What one fetch gave: the body, or why there is none, as a code and the words for the user.
// A body is also told apart by whether its end was announced (a length or chunks): one that
// simply runs to the close cannot be told from one whose server died half way.
struct FetchOutcome
{
    enum class Failure {
        None,
        BadAddress,      // not an address this transfer may fetch
        Busy,            // another transfer of the same control is still open
        NameNotFound,    // the server's name is unknown
        Unreachable,     // refused, or no route to the server
        HttpStatus,      // an answer other than 2xx; status and phrase say which
        NotHttp,         // the answer is not HTTP
        NoAnswer,        // the connection closed before any answer
        HeadTooLarge,    // the answer's head passed its limit
        Encoded,         // the body came in a coding (gzip, ...) instead of as plain bytes
        TooLarge,        // the body passed its limit
        CutShort,        // the connection ended before the announced end of the body
        Stalled,         // nothing came for the stall time-out
        TooSlow,         // too few bytes came within the low-speed window
        RedirectRefused, // too many redirects, or one to a scheme that is not allowed
        OutOfMemory,     // the body could not be held
        Cancelled,       // the caller ended the transfer
        Other,           // anything else the transfer library reported
    };

    Failure failure = Failure::None;
    int status = 0;           // the last HTTP status seen, 0 if none
    QByteArray reasonPhrase;  // its phrase, printable ASCII only and bounded
    QByteArray body;          // the whole body; empty on any failure
    bool endAnnounced = true; // the server said where the body ends, so a cut would be seen
    QString reason;           // one sentence for the user; empty when nothing failed

    bool ok() const { return failure == Failure::None; }

    // The sentence for a failure, naming the limits the transfer worked with.
    static QString describe(Failure failure, int status, const QByteArray& phrase,
                            qint64 stallSeconds, qint64 maxBodyBytes);

    // The phrase of a status line ("HTTP/1.1 404 Not Found"), cleaned for showing.
    static QByteArray phraseOf(const QByteArray& statusLine);
};
