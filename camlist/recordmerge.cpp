#include "recordmerge.h"

#include "keyindex.h"
#include "linereader.h"

#include <vector>

RecordMerge RecordMerge::build(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys)
{
    // Index only the wanted keys, then read the copy once: a line is looked up in the index,
    // so the pass costs one lookup per line whatever the number of new keys. Equal keys share
    // the first one's place.
    KeyIndex wanted;
    wanted.reset(newKeys);
    std::vector<qsizetype> firstEqual;
    firstEqual.reserve(static_cast<size_t>(newKeys.size()));
    qsizetype missing = 0;
    while (!wanted.isComplete()) {
        firstEqual.push_back(wanted.indexNext());
        if (firstEqual.back() == static_cast<qsizetype>(firstEqual.size()) - 1)
            ++missing;
    }

    // Whether each key was found, and its detail line (empty when the key is the last line).
    std::vector<QByteArrayView> details(static_cast<size_t>(newKeys.size()));
    std::vector<bool> found(static_cast<size_t>(newKeys.size()), false);
    LineReader reader(serverCopy);
    QByteArrayView line;
    bool haveLine = reader.next(line);
    while (haveLine && missing > 0) {
        QByteArrayView next;
        const bool haveNext = reader.next(next);
        const qsizetype at = wanted.find(line);
        if (at >= 0 && !found[static_cast<size_t>(at)]) {
            found[static_cast<size_t>(at)] = true;
            details[static_cast<size_t>(at)] = haveNext ? next : QByteArrayView();
            --missing;
        }
        line = next;
        haveLine = haveNext;
    }
    wanted.reset({});

    // The block is sized first, so the keys' views into it stay put while it is written.
    qsizetype size = 0;
    for (size_t i = 0; i < firstEqual.size(); ++i) {
        const auto first = static_cast<size_t>(firstEqual[i]);
        if (found[first])
            size += newKeys.at(firstEqual[i]).size() + details[first].size() + 4;
    }
    RecordMerge merge;
    merge.block.reserve(size);
    QList<QByteArrayView> added;
    for (size_t i = 0; i < firstEqual.size(); ++i) {
        const auto first = static_cast<size_t>(firstEqual[i]);
        if (!found[first])
            continue;
        const QByteArrayView key = newKeys.at(firstEqual[i]);
        const qsizetype at = merge.block.size();
        merge.block.append(key).append("\r\n").append(details[first]).append("\r\n");
        added.append(QByteArrayView(merge.block.constData() + at, key.size()));
    }
    Q_ASSERT(merge.block.size() == size);
    merge.addedKeys.addAll(merge.block, std::move(added));
    return merge;
}
