#include "gethtml.h"

#include "internettransfer.h"

QString GetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    return QString::fromLatin1(GetHTMLBytes(Inet1, WWW_Adresse));
}

QByteArray GetHTMLBytes(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    QByteArray result;
    Inet1.setAccessType(InternetTransfer::AccessType::Direct);
    Inet1.setProtocol(InternetTransfer::Protocol::Http);
    const QVariant body = Inet1.openUrl(WWW_Adresse, InternetTransfer::DataType::Bytes);
    if (body.typeId() == QMetaType::QByteArray)
        result = body.toByteArray();
    return result;
}
