#include "recordmerge.h"

#include "keyindex.h"
#include "linereader.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Where the first line that starts at or after the given place begins.
qsizetype lineStartNear(QByteArrayView bytes, qsizetype place)
{
    if (place >= bytes.size())
        return bytes.size();
    const auto* cr = static_cast<const char*>(
        std::memchr(bytes.data() + place, '\r', static_cast<size_t>(bytes.size() - place)));
    if (!cr)
        return bytes.size();
    qsizetype start = cr - bytes.data() + 1;
    if (start < bytes.size() && bytes[start] == '\n')
        ++start;
    return start;
}

// The first line equal to each wanted key among the lines that start in one part of the copy,
// and the line after it (which may start past the part).
struct Finds
{
    explicit Finds(size_t keys) : details(keys), found(keys, false) {}

    void scan(const KeyIndex& wanted, QByteArrayView copy, qsizetype from, qsizetype to,
              qsizetype missing)
    {
        LineReader reader(copy.sliced(from));
        const qsizetype partSize = to - from;
        const char* const partStart = copy.data() + from;
        const auto inPart = [&](QByteArrayView line) {
            return line.data() - partStart < partSize;
        };
        // The lines go by in batches for the index; one more line is read ahead, the detail
        // line of the batch's last.
        QByteArrayView lines[KeyIndex::batchSize + 1];
        qsizetype have = 0;
        bool partEnded = false;
        while (missing > 0) {
            while (have <= KeyIndex::batchSize && !partEnded && reader.next(lines[have])) {
                // Only lines that start in the part are looked up; the first past it is read
                // as a detail line only.
                partEnded = !inPart(lines[have]);
                ++have;
            }
            const qsizetype lookups = have - (partEnded ? 1 : 0);
            if (lookups <= 0)
                break;
            const qsizetype count = std::min(lookups, KeyIndex::batchSize);
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
    }

    std::vector<QByteArrayView> details; // empty when the key is the last line
    std::vector<bool> found;
};

} // namespace

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

    // The copy is read in two halves side by side, each finding the first line equal to each
    // key within its half; the first half's finds come first. Each half's finds take 16 bytes
    // a key: past a few million keys memory counts for more than the second core.
    constexpr qsizetype mostKeysForTwoHalves = 2'000'000;
    const bool twoHalves = newKeys.size() <= mostKeysForTwoHalves;
    const qsizetype middle =
        twoHalves ? lineStartNear(serverCopy, serverCopy.size() / 2) : serverCopy.size();
    Finds early(firstEqual.size());
    Finds late(twoHalves ? firstEqual.size() : 0);
    std::thread second;
    if (twoHalves)
        second =
            std::thread([&] { late.scan(wanted, serverCopy, middle, serverCopy.size(), missing); });
    early.scan(wanted, serverCopy, 0, middle, missing);
    if (second.joinable())
        second.join();
    wanted.reset({});
    std::vector<QByteArrayView>& details = early.details;
    std::vector<bool>& found = early.found;
    for (size_t i = 0; i < late.found.size(); ++i) {
        if (!found[i] && late.found[i]) {
            found[i] = true;
            details[i] = late.details[i];
        }
    }
    late = Finds(0);

    // The block is sized first, so the keys' views into it stay put while it is written.
    qsizetype size = 0;
    for (size_t i = 0; i < firstEqual.size(); ++i) {
        const auto first = static_cast<size_t>(firstEqual[i]);
        if (found[first])
            size += newKeys.at(firstEqual[i]).size() + details[first].size() + 4;
    }
    RecordMerge merge;
    merge.block = QByteArray(size, Qt::Uninitialized); // exactly its size, no room to grow
    char* out = merge.block.data();
    const auto put = [&out](QByteArrayView bytes) {
        // An empty detail line may have no bytes to point at at all.
        if (bytes.isEmpty())
            return;
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
