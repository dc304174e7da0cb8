#include "recordmerge.h"

#include "linereader.h"

#include <QHash>

namespace {

struct Occurrence
{
    QByteArrayView detail;
    bool found = false;
};

} // namespace

RecordMerge RecordMerge::build(QByteArrayView serverCopy, const QByteArrayList& newKeys)
{
    // Index only the wanted keys, then read the copy once: a line is looked up in the index,
    // so the pass costs one hash lookup per line whatever the number of new keys.
    QHash<QByteArrayView, Occurrence> wanted;
    wanted.reserve(newKeys.size());
    for (const QByteArray& key : newKeys)
        wanted.insert(key, {});

    qsizetype missing = wanted.size();
    LineReader reader(serverCopy);
    QByteArrayView line;
    bool haveLine = reader.next(line);
    while (haveLine && missing > 0) {
        QByteArrayView next;
        const bool haveNext = reader.next(next);
        const auto it = wanted.find(line);
        if (it != wanted.end() && !it->found) {
            it->found = true;
            it->detail = haveNext ? next : QByteArrayView();
            --missing;
        }
        line = next;
        haveLine = haveNext;
    }

    RecordMerge merge;
    for (const QByteArray& key : newKeys) {
        const Occurrence& occurrence = wanted[key];
        if (!occurrence.found)
            continue;
        merge.block.append(key).append("\r\n").append(occurrence.detail).append("\r\n");
        merge.addedKeys.append(key);
    }
    return merge;
}
