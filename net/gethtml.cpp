#include "gethtml.h"

#include "internettransfer.h"

QString GetHTML(InternetTransfer& Inet1, const QString& WWW_Adresse)
{
    QString result;
    Inet1.setAccessType(InternetTransfer::AccessType::Direct);
    Inet1.setProtocol(InternetTransfer::Protocol::Http);
    const QVariant body = Inet1.openUrl(WWW_Adresse, InternetTransfer::DataType::Text);
    if (body.typeId() == QMetaType::QString)
        result = body.toString();
    return result;
}
