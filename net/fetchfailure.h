#pragma once

#include "result.h"

#include <QByteArray>
#include <QString>

// Why a fetch gave no body.
enum class FetchFailure {
    None,
    BadAddress,             // not an address this transfer may fetch
    Busy,                   // another transfer of the same control is still open
    NameNotFound,           // the server's name is unknown
    Unreachable,            // refused, or no route to the server
    HttpStatus,             // an answer other than 2xx; the text says which
    NotHttp,                // the answer is not HTTP
    NoAnswer,               // the connection closed before any answer
    HeadTooLarge,           // the answer's head passed its limit
    Encoded,                // the body came in a coding that was not asked for
    DoesNotDecode,          // the body came in a coding that was asked for, but does not decode
    TooLarge,               // the body passed its limit
    CutShort,               // the connection ended before the announced end of the body
    Stalled,                // nothing came for the stall time-out
    TooSlow,                // too few bytes came within the low-speed window
    TooManyRedirects,       // more redirects than the limit
    RedirectScheme,         // a redirect to a scheme other than http and https; the text names it
    RedirectToPlainHttp,    // a redirect from https back to http
    RedirectRefused,        // a redirect to an address that is not valid
    CertificateUntrusted,   // no authority the system trusts vouches for the server
    CertificateExpired,     // the server's certificate has expired
    CertificateNotYetValid, // the server's certificate is not valid yet
    CertificateOtherName,   // the server's certificate was issued for another name
    CertificateStoreUnreadable, // the trusted certificates could not be read
    TlsHandshake,               // the secure connection could not be set up
    WebPage,     // the server sent a web page (a hotspot's sign-in page, say), not a list
    OutOfMemory, // the body could not be held
    Cancelled,   // the caller ended the transfer
    Other,       // anything else the transfer library reported
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
    int maxRedirects = 0;
    QByteArray refusedScheme; // of a refused redirect, cleaned by schemeOf
};

// The failure with its sentence for the user.
Failure<FetchFailure> failure(FetchFailure code, const Circumstances& circumstances = {});

// The phrase of a status line ("HTTP/1.1 404 Not Found"), cleaned for showing.
QByteArray phraseOf(const QByteArray& statusLine);

// A URL scheme as a server sent it, cleaned for showing: the characters a scheme may hold, and
// not too many of them.
QByteArray schemeOf(const QString& scheme);

} // namespace FetchFailures
