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

RecordMerge RecordMerge::build(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys)
{
    // Index only the wanted keys, then read the copy once: a line is looked up in the index,
    // so the pass costs one hash lookup per line whatever the number of new keys.
    QHash<QByteArrayView, Occurrence> wanted;
    wanted.reserve(newKeys.size());
    for (const QByteArrayView key : newKeys)
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

    // The block is sized first, so the keys' views into it stay put while it is written.
    qsizetype size = 0;
    for (const QByteArrayView key : newKeys) {
        const Occurrence& occurrence = wanted[key];
        if (occurrence.found)
            size += key.size() + occurrence.detail.size() + 4;
    }
    RecordMerge merge;
    merge.block.reserve(size);
    QList<QByteArrayView> added;
    for (const QByteArrayView key : newKeys) {
        const Occurrence& occurrence = wanted[key];
        if (!occurrence.found)
            continue;
        const qsizetype at = merge.block.size();
        merge.block.append(key).append("\r\n").append(occurrence.detail).append("\r\n");
        added.append(QByteArrayView(merge.block.constData() + at, key.size()));
    }
    Q_ASSERT(merge.block.size() == size);
    merge.addedKeys.addAll(merge.block, std::move(added));
    return merge;
}
