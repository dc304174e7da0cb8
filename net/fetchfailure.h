#pragma once

#include "net/fetchresult.h"

#include <QByteArray>
#include <QString>

// The sentences for the user of why a fetch failed; the codes and results are in fetchresult.h.
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
