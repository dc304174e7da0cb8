#include "net/headverdict.h"

#include "net/webpage.h"

#include <QString>
#include <curl/curl.h>
#include <memory>

namespace {

// Codings applied one over the other are undone in turn, but no server stacks more than a few:
// each costs a decoder's memory.
constexpr qsizetype maxStackedCodings = 3;

// The comma-separated tokens of a field's values, trimmed, without the empty ones.
QByteArrayList tokensOf(const QByteArrayList& values)
{
    QByteArrayList tokens;
    for (const QByteArray& value : values)
        for (const QByteArray& token : value.split(','))
            if (const QByteArray trimmed = token.trimmed(); !trimmed.isEmpty())
                tokens.append(trimmed);
    return tokens;
}

bool isIdentity(const QByteArray& token)
{
    return token.compare("identity", Qt::CaseInsensitive) == 0;
}

// One part of an address that libcurl parsed; empty when it has none.
QByteArray partOf(CURLU* url, CURLUPart part)
{
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK)
        return {};
    const QByteArray copy(text);
    curl_free(text);
    return copy;
}

} // namespace

HeadVerdict::HeadVerdict(const Rules& rules) : m_rules(rules) {}

bool HeadVerdict::endsHead(QByteArrayView line)
{
    return line == "\r\n" || line == "\n";
}

std::optional<FetchFailure> HeadVerdict::takeLine(QByteArrayView line)
{
    m_headBytes += line.size();
    if (m_headBytes > m_rules.maxHeadBytes)
        return FetchFailure::HeadTooLarge;
    if (line.startsWith("HTTP/")) {
        m_phrase = FetchFailures::phraseOf(line.toByteArray());
        m_sawStatus = true;
    }
    return std::nullopt;
}

// The status decides at the end of the head, before any body is read.
std::optional<FetchFailure> HeadVerdict::headEnded(long status, const Fields& fields,
                                                   const Chain& chain)
{
    if (status >= 100 && status < 200)
        return std::nullopt; // an interim answer; its head counts towards the one that follows
    m_headBytes = 0;         // trailers of a chunked body count from here
    // As libcurl takes a redirect: the first Location that is not empty.
    if (status >= 300 && status < 400)
        for (const QByteArray& location : fields("Location"))
            if (!location.isEmpty())
                return mayFollow(location, chain);
    if (status < 200 || status > 299)
        return FetchFailure::HttpStatus;
    return takeBody(fields);
}

std::optional<FetchFailure> HeadVerdict::takeBody(const Fields& fields)
{
    // Told before the body is read: a sign-in page is never taken in.
    if (m_rules.refuseWebPages)
        for (const QByteArray& type : fields("Content-Type"))
            if (WebPage::isPageType(type))
                return FetchFailure::WebPage;
    // A coding that was not asked for would hand over bytes other than the list.
    for (const QByteArray& token : tokensOf(fields("Content-Encoding"))) {
        if (isIdentity(token))
            continue;
        const std::optional<ContentCoding> coding = ContentCodings::named(token);
        if (!coding || m_codings.size() == maxStackedCodings)
            return FetchFailure::Encoded;
        m_codings.push_back(*coding);
    }
    // Only chunks are undone as a transfer coding; any other would come through as it is.
    for (const QByteArray& token : tokensOf(fields("Transfer-Encoding"))) {
        if (token.compare("chunked", Qt::CaseInsensitive) == 0)
            m_chunked = true;
        else if (!isIdentity(token))
            return FetchFailure::Encoded;
    }
    // Lengths that are no number, or that disagree, leave the body's end unknown.
    for (const QByteArray& value : fields("Content-Length")) {
        bool ok = false;
        const qint64 length = value.toLongLong(&ok);
        if (!ok || length < 0 || (m_announced >= 0 && length != m_announced))
            return FetchFailure::NotHttp;
        m_announced = length;
    }
    if (m_announced > m_rules.maxBodyBytes)
        return FetchFailure::TooLarge;
    m_bodyWanted = true;
    return std::nullopt;
}

// Where the redirect leads is libcurl's to say, by its own parser, against the address that
// answered; the address checked is the one the next request goes to. Each hop is checked so, so
// a chain that went over https cannot come back to http by any way.
std::optional<FetchFailure> HeadVerdict::mayFollow(const QByteArray& location, const Chain& chain)
{
    if (chain.redirects >= m_rules.maxRedirects)
        return FetchFailure::TooManyRedirects;
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, chain.answerUrl.constData(), 0) != CURLUE_OK)
        return FetchFailure::RedirectRefused;
    const bool fromHttps = partOf(url.get(), CURLUPART_SCHEME) == "https";
    // As libcurl takes a Location when it follows one; schemes it does not know are parsed
    // too, so that a refusal can name them.
    if (curl_url_set(url.get(), CURLUPART_URL, location.constData(),
                     CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return FetchFailure::RedirectRefused;
    const QByteArray scheme = partOf(url.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https") {
        m_refusedScheme = FetchFailures::schemeOf(QString::fromLatin1(scheme));
        return FetchFailure::RedirectScheme;
    }
    if (scheme == "http" && fromHttps)
        return FetchFailure::RedirectToPlainHttp;
    m_followTo = partOf(url.get(), CURLUPART_URL);
    return std::nullopt;
}
