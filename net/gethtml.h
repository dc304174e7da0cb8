#pragma once

#include "net/fetchfailure.h"

#include <QByteArray>
#include <QString>

class InternetTransfer;

// Fetches one address over HTTP (http:// or https://, a redirect from the one to the other but
// never back), directly, and returns the body, decoded if it came compressed, as text with one
// character per byte. A web page is not taken. Every failure gives the empty text; nothing is
// thrown or shown. The caller waits until the transfer is over.
QString GetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse);

// The same fetch, giving the text as its bytes, one per character, for a caller that keeps
// the text as bytes: a big list is then never held as a string of twice its size.
QByteArray GetHTMLBytes(InternetTransfer& Inet1, const QString& WWW_Adresse);

// The same fetch, with why it failed: for a caller that tells the user.
FetchResult GetHTMLResult(InternetTransfer& Inet1, const QString& WWW_Adresse);

// Begins the same fetch and returns at once; Inet1's finished() gives the result.
void StartGetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse);
