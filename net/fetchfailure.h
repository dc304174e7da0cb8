#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>

// Why a fetch gave no body.
enum class FetchFailure {
    None,
    BadAddress,      // not an address this transfer may fetch
    Busy,            // another transfer of the same control is still open
    NameNotFound,    // the server's name is unknown
    Unreachable,     // refused, or no route to the server
    HttpStatus,      // an answer other than 2xx; the text says which
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

// What a fetch that worked gave. A body is also told apart by whether its end was announced (a
// length or chunks): one that simply runs to the close cannot be told from one whose server
// died half way.
struct FetchedBody
{
    QByteArray body;
    bool endAnnounced = true;
};

using FetchResult = Result<FetchedBody, FetchFailure>;

namespace FetchFailures {

// What the transfer knew when it failed, for the sentence.
struct Circumstances
{
    int status = 0;          // the last HTTP status seen, 0 if none
    QByteArray reasonPhrase; // its phrase, cleaned by phraseOf
    qint64 stallSeconds = 0;
    qint64 maxBodyBytes = 0;
};

// The failure with its sentence for the user.
Failure<FetchFailure> failure(FetchFailure code, const Circumstances& circumstances = {});

// The phrase of a status line ("HTTP/1.1 404 Not Found"), cleaned for showing.
QByteArray phraseOf(const QByteArray& statusLine);

} // namespace FetchFailures
