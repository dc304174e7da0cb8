#pragma once

#include <QByteArrayView>

// Whether an answer is a web page rather than a cam list: a hotspot's sign-in page, or a parked
// domain's, comes as a 200 like any list and must not be offered as cams.
namespace WebPage {

// A Content-Type value ("text/html; charset=UTF-8") that names a web page: text/html or
// application/xhtml+xml, in any letter case, whatever its parameters.
bool isPageType(QByteArrayView contentType);

// A body whose first bytes, after blanks and a UTF-8 byte-order mark, open an HTML document:
// "<!DOCTYPE html" or "<html" in any letter case, followed by a blank, '>' or the end.
bool opensPage(QByteArrayView body);

} // namespace WebPage
