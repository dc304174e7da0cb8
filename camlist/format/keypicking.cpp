#include "camlist/format/keypicking.h"

#include "camlist/format/linereader.h"
#include "camlist/format/recordreader.h"

QList<QByteArrayView> pickKeys(QByteArrayView fileContent)
{
    QList<QByteArrayView> keys;
    RecordReader reader(fileContent);
    RecordReader::Record record;
    while (reader.next(record))
        keys.append(record.key);
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
    RecordReader reader(fileContent);
    RecordReader::Record record;
    while (reader.next(record))
        lacks = !record.hasDetail;
    return lacks;
}

} // namespace

QByteArray recordBoundaryAfter(QByteArrayView fileContent, QByteArrayView following)
{
    if (fileContent.isEmpty())
        return {};
    QByteArray boundary;
    if (!LineReader::endsWithLineEnd(fileContent))
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
    if (!LineReader::endsWithLineEnd(fileContent))
        return false;
    return !lastKeyLacksDetail(fileContent);
}
