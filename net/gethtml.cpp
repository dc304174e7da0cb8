#include "gethtml.h"

#include "internettransfer.h"

QString GetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    return QString::fromLatin1(GetHTMLBytes(Inet1, WWW_Adresse));
}

QByteArray GetHTMLBytes(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    return GetHTMLOutcome(Inet1, WWW_Adresse).body;
}

FetchOutcome GetHTMLOutcome(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    Inet1.setAccessType(InternetTransfer::AccessType::Direct);
    Inet1.setProtocol(InternetTransfer::Protocol::Http);
    return Inet1.fetch(WWW_Adresse);
}
