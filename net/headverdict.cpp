#include "headverdict.h"

#include "webpage.h"

#include <QString>
#include <QUrl>
#include <utility>

namespace {

QByteArray fieldValue(QByteArrayView line, const char* name)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0 || line.first(colon).trimmed().compare(name, Qt::CaseInsensitive) != 0)
        return {};
    return line.sliced(colon + 1).trimmed().toByteArray();
}

} // namespace

HeadVerdict::HeadVerdict(Rules rules) : m_rules(std::move(rules)) {}

// A coding token of Content-Encoding that the transfer will undo.
bool HeadVerdict::isDecoded(const QByteArray& coding) const
{
    if (coding == "identity" || coding.isEmpty())
        return true;
    // An old name of gzip, which the library takes as gzip.
    if (coding == "x-gzip")
        return m_rules.decodedCodings.contains("gzip");
    return m_rules.decodedCodings.contains(coding);
}

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
        // A new answer: nothing of the one before it counts.
        m_encoded = false;
        m_decoded = false;
        m_announced = -1;
        m_chunked = false;
        m_hasLocation = false;
        m_location.clear();
        m_webPageType = false;
        m_bodyWanted = false;
        m_phrase = FetchFailures::phraseOf(line.toByteArray());
        m_sawStatus = true;
        return std::nullopt;
    }
    // A coding that was not asked for, in any of the fields, would hand us bytes other than the
    // list: the library passes on what it cannot decode as it came.
    if (const QByteArray value = fieldValue(line, "Content-Encoding"); !value.isEmpty()) {
        for (const QByteArray& coding : value.split(',')) {
            const QByteArray name = coding.trimmed().toLower();
            m_encoded = m_encoded || !isDecoded(name);
            m_decoded = m_decoded || (name != "identity" && !name.isEmpty());
        }
    }
    if (const QByteArray value = fieldValue(line, "Content-Length"); !value.isEmpty()) {
        bool ok = false;
        m_announced = value.toLongLong(&ok);
        if (!ok || m_announced < 0)
            return FetchFailure::NotHttp;
    }
    if (const QByteArray value = fieldValue(line, "Transfer-Encoding"); !value.isEmpty()) {
        // Only chunks are undone as a transfer coding; any other would come through as it is.
        for (const QByteArray& coding : value.split(',')) {
            const QByteArray name = coding.trimmed().toLower();
            if (name == "chunked")
                m_chunked = true;
            else if (name != "identity")
                m_encoded = true;
        }
    }
    if (const QByteArray value = fieldValue(line, "Content-Type"); !value.isEmpty())
        m_webPageType = m_webPageType || (m_rules.refuseWebPages && WebPage::isPageType(value));
    if (const QByteArray value = fieldValue(line, "Location"); !value.isEmpty()) {
        m_hasLocation = true;
        m_location = value;
    }
    return std::nullopt;
}

// The status decides at the end of the head, before any body is read.
std::optional<FetchFailure> HeadVerdict::headEnded(long status, const QByteArray& answerUrl,
                                                   bool sawHttps)
{
    if (status >= 100 && status < 200)
        return std::nullopt; // an interim answer; its head counts towards the one that follows
    m_headBytes = 0;
    if (status >= 300 && status < 400 && m_hasLocation)
        return mayFollow(answerUrl, sawHttps); // followed, up to the redirect limit, bodiless
    if (status < 200 || status > 299)
        return FetchFailure::HttpStatus;
    // Told before the body is read: a sign-in page is never taken in.
    if (m_webPageType)
        return FetchFailure::WebPage;
    if (m_encoded)
        return FetchFailure::Encoded;
    if (m_announced > m_rules.maxBodyBytes)
        return FetchFailure::TooLarge;
    m_bodyWanted = true;
    return std::nullopt;
}

// Where the redirect leads, resolved as the library will resolve it, against the address of
// the answer that sent it.
std::optional<FetchFailure> HeadVerdict::mayFollow(const QByteArray& answerUrl, bool sawHttps)
{
    const QUrl base = QUrl::fromEncoded(answerUrl);
    const QUrl target = base.resolved(QUrl::fromEncoded(m_location));
    const QString scheme = target.scheme().toLower();
    if (target.isValid() && !scheme.isEmpty() && scheme != u"http" && scheme != u"https") {
        m_refusedScheme = FetchFailures::schemeOf(scheme);
        return FetchFailure::RedirectScheme;
    }
    if (!target.isValid() || target.host().isEmpty())
        return FetchFailure::RedirectRefused;
    if (scheme == u"http" && (sawHttps || base.scheme().toLower() == u"https"))
        return FetchFailure::RedirectToPlainHttp;
    return std::nullopt;
}
