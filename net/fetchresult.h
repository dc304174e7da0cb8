#pragma once

#include "camlist/result.h"

#include <QByteArray>

// What a fetch of the server's list reports: the transfer makes it, and the run alone judges it
// as a list. The run sees this header and nothing else of net/ (it has a build target of its
// own), and net/ sees nothing of the run. The sentences for these codes are made where the
// failure is known, in the transfer (fetchfailure.h).

// Why a fetch gave no body.
enum class FetchFailure {
    BadAddress,             // not an address this transfer may fetch
    Busy,                   // another transfer of the same control is still open
    NameNotFound,           // the server's name is unknown
    Unreachable,            // refused, or no route to the server
    HttpStatus,             // an answer other than 2xx; the text says which
    NotHttp,                // the answer is not HTTP
    NoAnswer,               // the connection closed before any answer
    HeadTooLarge,           // the answer's head passed its limit
    Encoded,                // the body came in a coding that was not asked for
    DoesNotDecode,          // a coding asked for that does not decode, or bytes after its end
    TooLarge,               // the body passed its limit
    CutShort,               // the body ended before its announced end, or a coded stream's
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
// died half way. (A compressed body has reached the end of its coded stream, or the fetch
// failed; but a stream may hold several, so that end alone announces nothing.)
struct FetchedBody
{
    QByteArray body;
    bool endAnnounced = true;
};

using FetchResult = Result<FetchedBody, FetchFailure>;
