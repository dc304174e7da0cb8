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

namespace {

bool lastKeyLacksDetail(QByteArrayView fileContent)
{
    bool lacks = false;
    LineReader reader(fileContent);
    QByteArrayView line;
    while (reader.next(line)) {
        if (line.isEmpty())
            continue;
        QByteArrayView detail;
        lacks = !reader.next(detail);
    }
    return lacks;
}

} // namespace

QByteArray recordBoundaryAfter(QByteArrayView fileContent, QByteArrayView following)
{
    if (fileContent.isEmpty())
        return {};
    QByteArray boundary;
    // A lone CR already ends the last line; a lone LF does not.
    if (!fileContent.endsWith('\r') && !fileContent.endsWith("\r\n"))
        boundary += "\r\n";

    if (lastKeyLacksDetail(fileContent))
        boundary += "\r\n";
    // An LF right after a final lone CR would pair with it into one line end and be lost from
    // the first new key; an empty line in between keeps it.
    if (boundary.isEmpty() && fileContent.endsWith('\r') && following.startsWith('\n'))
        boundary += "\r\n";
    return boundary;
}

bool endsWithWholeRecord(QByteArrayView fileContent)
{
    if (fileContent.isEmpty())
        return true; // no record in it, so none cut
    if (!fileContent.endsWith('\r') && !fileContent.endsWith("\r\n"))
        return false;
    return !lastKeyLacksDetail(fileContent);
}
