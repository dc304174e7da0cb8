#include "net/fetchfailure.h"

namespace FetchFailures {

namespace {

// A server may send anything after the status code: only plain printable characters, and not
// too many of them, reach the user.
constexpr qsizetype maxPhraseLength = 80;
constexpr qsizetype maxSchemeLength = 20;

} // namespace

QByteArray phraseOf(const QByteArray& statusLine)
{
    // "HTTP/1.1 404 Not Found": the phrase starts after the second space.
    const qsizetype first = statusLine.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : statusLine.indexOf(' ', first + 1);
    if (second < 0)
        return {};
    QByteArray phrase;
    for (qsizetype i = second + 1; i < statusLine.size() && phrase.size() < maxPhraseLength; ++i) {
        const char c = statusLine.at(i);
        if (c >= 0x20 && c <= 0x7e)
            phrase.append(c);
    }
    return phrase.trimmed();
}

QByteArray schemeOf(const QString& scheme)
{
    QByteArray cleaned;
    for (const QChar c : scheme) {
        if (cleaned.size() == maxSchemeLength) {
            cleaned += "...";
            break;
        }
        const char16_t u = c.unicode();
        if ((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
            u == u'+' || u == u'-' || u == u'.')
            cleaned += static_cast<char>(u);
    }
    return cleaned;
}

namespace {

QString sentence(FetchFailure failure, const Circumstances& at)
{
    const int status = at.status;
    const QByteArray& phrase = at.reasonPhrase;
    const qint64 stallSeconds = at.stallSeconds;
    const qint64 maxBodyBytes = at.maxBodyBytes;
    switch (failure) {
    case FetchFailure::BadAddress:
        return QStringLiteral("The list's address is not an http:// or https:// address.");
    case FetchFailure::Busy:
        return QStringLiteral("Another transfer was still open.");
    case FetchFailure::NameNotFound:
        return QStringLiteral("The server's name could not be found.");
    case FetchFailure::Unreachable:
        return QStringLiteral("The server refused the connection or could not be reached.");
    case FetchFailure::HttpStatus:
        if (phrase.isEmpty())
            return QStringLiteral("The server answered %1.").arg(status);
        return QStringLiteral("The server answered %1 %2.")
            .arg(status)
            .arg(QString::fromLatin1(phrase));
    case FetchFailure::NotHttp:
        return QStringLiteral("The server's answer was not HTTP.");
    case FetchFailure::NoAnswer:
        return QStringLiteral("The server closed the connection without an answer.");
    case FetchFailure::HeadTooLarge:
        return QStringLiteral("The server's answer began with too many header lines.");
    case FetchFailure::Encoded:
        return QStringLiteral("The server sent the list packed in a coding, not as plain text.");
    case FetchFailure::DoesNotDecode:
        return QStringLiteral("The server sent the list compressed, and it does not decode.");
    case FetchFailure::TooLarge:
        if (maxBodyBytes % (1024 * 1024) == 0)
            return QStringLiteral("The list is larger than %1 MiB.")
                .arg(maxBodyBytes / 1024 / 1024);
        return QStringLiteral("The list is larger than %1 bytes.").arg(maxBodyBytes);
    case FetchFailure::CutShort:
        return QStringLiteral("The transfer was cut short before the whole list arrived.");
    case FetchFailure::Stalled:
        if (stallSeconds == 1)
            return QStringLiteral("The server sent no data for a second.");
        return QStringLiteral("The server sent no data for %1 seconds.").arg(stallSeconds);
    case FetchFailure::TooSlow:
        return QStringLiteral("The server sent the list too slowly.");
    case FetchFailure::TooManyRedirects:
        return QStringLiteral("The server redirected the request more than %1 times.")
            .arg(at.maxRedirects);
    case FetchFailure::RedirectScheme:
        return QStringLiteral("A redirect to %1:// was refused: the list is fetched over HTTP or "
                              "HTTPS only.")
            .arg(QString::fromLatin1(at.refusedScheme));
    case FetchFailure::RedirectToPlainHttp:
        return QStringLiteral("A redirect from HTTPS back to plain HTTP was refused.");
    case FetchFailure::RedirectRefused:
        return QStringLiteral("A redirect to an address that is not valid was refused.");
    case FetchFailure::CertificateUntrusted:
        return QStringLiteral("The server's certificate is not trusted.");
    case FetchFailure::CertificateExpired:
        return QStringLiteral("The server's certificate has expired.");
    case FetchFailure::CertificateNotYetValid:
        return QStringLiteral("The server's certificate is not valid yet (is the computer's "
                              "clock right?).");
    case FetchFailure::CertificateOtherName:
        return QStringLiteral("The server's certificate was issued for another name.");
    case FetchFailure::CertificateStoreUnreadable:
        return QStringLiteral("The store of trusted certificates could not be read.");
    case FetchFailure::TlsHandshake:
        return QStringLiteral("The secure (TLS) connection to the server could not be set up.");
    case FetchFailure::WebPage:
        return QStringLiteral("The server sent a web page, not a cam list. A network that wants "
                              "you to sign in first (a hotel or café hotspot) sends such pages.");
    case FetchFailure::OutOfMemory:
        return QStringLiteral("There was not enough memory to receive the list.");
    case FetchFailure::Cancelled:
        return QStringLiteral("The transfer was cancelled.");
    case FetchFailure::Other:
        break;
    }
    return QStringLiteral("The transfer failed.");
}

} // namespace

Failure<FetchFailure> failure(FetchFailure code, const Circumstances& circumstances)
{
    return {code, sentence(code, circumstances)};
}

} // namespace FetchFailures
