#include "net/gethtml.h"

#include "net/internettransfer.h"

namespace {

void setUpForHtml(InternetTransfer& Inet1)
{
    Inet1.setAccessType(InternetTransfer::AccessType::Direct);
    Inet1.setProtocol(InternetTransfer::Protocol::Http);
    // The text fetched is a cam list: a web page in its place is a hotspot's or a parked
    // domain's, never the list.
    Inet1.setRefuseWebPages(true);
}

} // namespace

QString GetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    return QString::fromLatin1(GetHTMLBytes(Inet1, WWW_Adresse));
}

QByteArray GetHTMLBytes(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    FetchResult fetched = GetHTMLResult(Inet1, WWW_Adresse);
    return fetched.ok() ? std::move(fetched.value().body) : QByteArray();
}

FetchResult GetHTMLResult(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    setUpForHtml(Inet1);
    return Inet1.fetch(WWW_Adresse);
}

void StartGetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    setUpForHtml(Inet1);
    Inet1.start(WWW_Adresse);
}
