// libFuzzer target: RecordMerge::build against the reference model's per-key rescan.
//
// Input layout:
//   byte 0       low 4 bits: number of written keys; high 4 bits: number of picked keys
//   byte 1       the byte that separates the written keys
//   then         the written keys, each ended by the separator (the last may run to the end)
//   then         one byte per picked key: which line of the server copy it copies (modulo the
//                number of lines) and, in its top 3 bits, where in the key list it goes
//   the rest     the server copy
// Picked keys are lines of the copy, so keys are often found, at any position; written keys
// can be anything, found or not. Keys may repeat.
#include "camlist/format/recordmerge.h"
#include "tests/fuzz/mismatch.h"
#include "tests/fuzz/referencemodel.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const model::Bytes input(reinterpret_cast<const char*>(data), size);
    const unsigned writtenCount = static_cast<unsigned char>(input[0]) & 0x0fU;
    const unsigned pickedCount = static_cast<unsigned char>(input[0]) >> 4U;
    const char separator = input[1];

    std::size_t pos = 2;
    model::ByteLists keys;
    for (unsigned i = 0; i < writtenCount && pos < input.size(); ++i) {
        std::size_t end = pos;
        while (end < input.size() && input[end] != separator)
            ++end;
        keys.push_back(input.substr(pos, end - pos));
        pos = end < input.size() ? end + 1 : end;
    }
    model::Bytes picks;
    while (picks.size() < pickedCount && pos < input.size())
        picks.push_back(input[pos++]);
    const model::Bytes serverCopy = input.substr(pos);

    const model::ByteLists copyLines = model::lines(serverCopy);
    if (!copyLines.empty()) {
        for (const char pick : picks) {
            const auto value = static_cast<unsigned char>(pick);
            const model::Bytes& line = copyLines[value % copyLines.size()];
            const std::size_t place = (value >> 5U) % (keys.size() + 1);
            keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(place), line);
        }
    }

    // Exact copies, so AddressSanitizer sees any read past a key.
    std::vector<std::vector<char>> keyCopies;
    QList<QByteArrayView> newKeys;
    for (const model::Bytes& key : keys)
        keyCopies.push_back(fuzz::exactCopy(key));
    for (const std::vector<char>& key : keyCopies)
        newKeys.append(fuzz::view(key));
    const std::vector<char> copy = fuzz::exactCopy(serverCopy);
    const RecordMerge merge = RecordMerge::build(fuzz::view(copy), newKeys);
    const model::Merge expected = model::merge(serverCopy, keys);

    model::ByteLists context{serverCopy};
    context.insert(context.end(), keys.begin(), keys.end());
    fuzz::expectEqual("RecordMerge block [server copy, keys...]", fuzz::bytes(merge.block),
                      expected.block, context);
    fuzz::expectEqual("RecordMerge addedKeys [server copy, keys...]",
                      fuzz::byteLists(merge.addedKeys.views()), expected.addedKeys, context);
    // Each added key's detail line is the one the block holds after it.
    model::Records written;
    const model::ByteLists blockLines = model::lines(expected.block);
    for (std::size_t i = 0; i + 1 < blockLines.size(); i += 2)
        written.push_back({blockLines[i], true, blockLines[i + 1]});
    fuzz::expectEqual("RecordMerge addedKeys' detail lines [server copy, keys...]",
                      fuzz::records(merge.addedKeys), written, context);
    return 0;
}
