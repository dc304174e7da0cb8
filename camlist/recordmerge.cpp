#include "recordmerge.h"

#include "keyindex.h"
#include "linereader.h"

#include <algorithm>
#include <cstring>
#include <vector>

RecordMerge RecordMerge::build(QByteArrayView serverCopy, const QList<QByteArrayView>& newKeys)
{
    // Index only the wanted keys, then read the copy once: a line is looked up in the index,
    // so the pass costs one lookup per line whatever the number of new keys. Equal keys share
    // the first one's place.
    KeyIndex wanted;
    wanted.reset(newKeys);
    std::vector<qsizetype> firstEqual;
    firstEqual.resize(static_cast<size_t>(newKeys.size()));
    qsizetype indexed = 0;
    while (!wanted.isComplete())
        indexed += wanted.indexNext(KeyIndex::batchSize, firstEqual.data() + indexed);
    qsizetype missing = 0;
    for (size_t i = 0; i < firstEqual.size(); ++i)
        missing += firstEqual[i] == static_cast<qsizetype>(i) ? 1 : 0;

    // Whether each key was found, and its detail line (empty when the key is the last line).
    std::vector<QByteArrayView> details(static_cast<size_t>(newKeys.size()));
    std::vector<bool> found(static_cast<size_t>(newKeys.size()), false);
    // The lines go by in batches for the index; one more line is read ahead, the detail line
    // of the batch's last.
    LineReader reader(serverCopy);
    QByteArrayView lines[KeyIndex::batchSize + 1];
    qsizetype have = 0;
    while (missing > 0) {
        while (have <= KeyIndex::batchSize && reader.next(lines[have]))
            ++have;
        if (have == 0)
            break;
        const qsizetype count = std::min(have, KeyIndex::batchSize);
        qsizetype positions[KeyIndex::batchSize];
        wanted.find(lines, count, positions);
        for (qsizetype i = 0; i < count; ++i) {
            const auto at = static_cast<size_t>(positions[i]);
            if (positions[i] < 0 || found[at])
                continue;
            found[at] = true;
            details[at] = i + 1 < have ? lines[i + 1] : QByteArrayView();
            --missing;
        }
        std::copy(lines + count, lines + have, lines);
        have -= count;
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
    merge.block.resize(size);
    char* out = merge.block.data();
    const auto put = [&out](QByteArrayView bytes) {
        std::memcpy(out, bytes.data(), static_cast<size_t>(bytes.size()));
        out += bytes.size();
    };
    QList<QByteArrayView> added;
    added.reserve(static_cast<qsizetype>(firstEqual.size()));
    for (size_t i = 0; i < firstEqual.size(); ++i) {
        const auto first = static_cast<size_t>(firstEqual[i]);
        if (!found[first])
            continue;
        const QByteArrayView key = newKeys.at(firstEqual[i]);
        added.append(QByteArrayView(out, key.size()));
        put(key);
        put("\r\n");
        put(details[first]);
        put("\r\n");
    }
    Q_ASSERT(out == merge.block.constData() + size);
    merge.addedKeys.addAll(merge.block, std::move(added));
    return merge;
}
