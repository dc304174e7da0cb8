#include "keypicking.h"

#include "linereader.h"

QList<QByteArrayView> pickKeys(QByteArrayView fileContent)
{
    QList<QByteArrayView> keys;
    LineReader reader(fileContent);
    QByteArrayView line;
    while (reader.next(line)) {
        if (line.isEmpty())
            continue;
        keys.append(line);
        QByteArrayView detail;
        reader.next(detail);
    }
    return keys;
}

KeyList keysOfListFile(const QByteArray& fileContent)
{
    KeyList keys(KeyList::Order::AsAdded);
    keys.addAll(fileContent, pickKeys(fileContent));
    return keys;
}

QByteArray recordBoundaryAfter(QByteArrayView fileContent)
{
    if (fileContent.isEmpty())
        return {};
    QByteArray boundary;
    // A lone CR at the end would pair with an LF that starts the first new key; only a CR LF
    // ends the content safely.
    if (!fileContent.endsWith("\r\n"))
        boundary += "\r\n";

    bool keyLacksDetail = false;
    LineReader reader(fileContent);
    QByteArrayView line;
    while (reader.next(line)) {
        if (line.isEmpty())
            continue;
        QByteArrayView detail;
        keyLacksDetail = !reader.next(detail);
    }
    if (keyLacksDetail)
        boundary += "\r\n";
    return boundary;
}
