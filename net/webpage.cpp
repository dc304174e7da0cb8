#include "net/webpage.h"

namespace WebPage {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

bool equalsFolded(QByteArrayView text, QByteArrayView lowerCase)
{
    if (text.size() != lowerCase.size())
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerCase[i])
            return false;
    }
    return true;
}

// The body opens with this tag name, as a whole word.
bool opensWith(QByteArrayView body, QByteArrayView lowerCaseStart)
{
    if (body.size() < lowerCaseStart.size() ||
        !equalsFolded(body.first(lowerCaseStart.size()), lowerCaseStart))
        return false;
    if (body.size() == lowerCaseStart.size())
        return true;
    const char next = body[lowerCaseStart.size()];
    return next == '>' || isBlank(next);
}

} // namespace

bool isPageType(QByteArrayView contentType)
{
    const qsizetype parameters = contentType.indexOf(';');
    const QByteArrayView type =
        trimmed(parameters < 0 ? contentType : contentType.first(parameters));
    return equalsFolded(type, "text/html") || equalsFolded(type, "application/xhtml+xml");
}

bool opensPage(QByteArrayView body)
{
    if (body.startsWith("\xef\xbb\xbf"))
        body = body.sliced(3);
    while (!body.isEmpty() && isBlank(body.front()))
        body = body.sliced(1);
    return opensWith(body, "<!doctype html") || opensWith(body, "<html");
}

} // namespace WebPage
