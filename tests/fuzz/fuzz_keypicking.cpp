// libFuzzer target: LineReader, pickKeys, KeyList and recordBoundaryAfter against the
// reference model.
//
// The whole input is read as a list file: its lines, its keys with their detail lines, and
// their sorted order must match the model's. Then the
// input is cut in two to check appending: the first byte says where the rest is cut; the part
// before the cut is an existing list, and the part after it becomes whole records (split at
// every CR into key, detail, key, detail...; an empty key becomes "k"). Then
//   keys(old + recordBoundaryAfter(old, records) + records) == keys(old) + the records' keys
// must hold for both pickKeys and the model.
#include "camlist/format/keylist.h"
#include "camlist/format/keypicking.h"
#include "camlist/format/linereader.h"
#include "tests/fuzz/mismatch.h"
#include "tests/fuzz/referencemodel.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

model::ByteLists readerLines(QByteArrayView data)
{
    model::ByteLists result;
    LineReader reader(data);
    QByteArrayView line;
    while (reader.next(line))
        result.push_back(fuzz::bytes(line));
    // Once done, it stays done.
    fuzz::expectEqual("LineReader::next after the end [file]", reader.next(line) ? 1 : 0, 0,
                      {fuzz::bytes(data)});
    fuzz::expectEqual("LineReader::atEnd after the end [file]", reader.atEnd() ? 1 : 0, 1,
                      {fuzz::bytes(data)});
    return result;
}

void checkLinesAndKeys(QByteArrayView data)
{
    const model::Bytes file = fuzz::bytes(data);
    fuzz::expectEqual("LineReader lines [file]", readerLines(data), model::lines(file), {file});
    fuzz::expectEqual("pickKeys [file]", fuzz::byteLists(pickKeys(data)), model::keys(file),
                      {file});
}

// The keys with their detail lines: in file order, sorted in one go, sorted from two halves
// added one after the other, and sorted from the last key to the first, all as a sorted list
// filled one key at a time has them.
void checkKeyLists(QByteArrayView data)
{
    const model::Bytes file = fuzz::bytes(data);
    const QByteArray bytes = QByteArray::fromRawData(data.data(), data.size());
    KeyList inFileOrder(KeyList::Order::AsAdded);
    inFileOrder.addAll(bytes, pickKeys(data));
    const model::Records expected = model::records(file);
    fuzz::expectEqual("KeyList records in file order [file]", fuzz::records(inFileOrder), expected,
                      {file});

    const model::Records expectedSorted = model::sortedOneByOne(expected);
    KeyList sorted(KeyList::Order::Sorted);
    sorted.addAll(inFileOrder);
    fuzz::expectEqual("KeyList records sorted [file]", fuzz::records(sorted), expectedSorted,
                      {file});

    const QList<QByteArrayView>& views = inFileOrder.views();
    const qsizetype half = views.size() / 2;
    KeyList halves(KeyList::Order::Sorted);
    halves.addAll(inFileOrder.withSameBytes(KeyList::Order::AsAdded, views.first(half)));
    halves.addAll(inFileOrder.withSameBytes(KeyList::Order::AsAdded, views.sliced(half)));
    fuzz::expectEqual("KeyList records sorted from two halves [file]", fuzz::records(halves),
                      expectedSorted, {file});

    // Keys not in the order of their bytes take the other way of sorting.
    const QList<QByteArrayView> reversed(views.crbegin(), views.crend());
    KeyList fromTheEnd(KeyList::Order::Sorted);
    fromTheEnd.addAll(inFileOrder.withSameBytes(KeyList::Order::AsAdded, reversed));
    fuzz::expectEqual(
        "KeyList records sorted from the last key to the first [file]", fuzz::records(fromTheEnd),
        model::sortedOneByOne(model::Records(expected.crbegin(), expected.crend())), {file});
}

void checkAppend(const model::Bytes& input)
{
    const model::Bytes rest = input.substr(1);
    const std::size_t cut = static_cast<unsigned char>(input[0]) % (rest.size() + 1);
    const model::Bytes old = rest.substr(0, cut);
    const model::Bytes tail = rest.substr(cut);

    // Whole records from the tail: CR-free pieces, taken two by two as key and detail.
    model::ByteLists pieces;
    if (!tail.empty()) {
        pieces.emplace_back();
        for (const char byte : tail) {
            if (byte == '\r')
                pieces.emplace_back();
            else
                pieces.back().push_back(byte);
        }
    }
    model::Bytes records;
    model::ByteLists expected = model::keys(old);
    for (std::size_t i = 0; i < pieces.size(); i += 2) {
        const model::Bytes key = pieces[i].empty() ? model::Bytes("k") : pieces[i];
        const model::Bytes detail = i + 1 < pieces.size() ? pieces[i + 1] : model::Bytes();
        records += key + "\r\n" + detail + "\r\n";
        expected.push_back(key);
    }

    const std::vector<char> oldCopy = fuzz::exactCopy(old);
    const std::vector<char> recordsCopy = fuzz::exactCopy(records);
    const model::Bytes boundary =
        fuzz::bytes(recordBoundaryAfter(fuzz::view(oldCopy), fuzz::view(recordsCopy)));
    const std::vector<char> combined = fuzz::exactCopy(old + boundary + records);

    checkLinesAndKeys(fuzz::view(combined));
    fuzz::expectEqual("keys after appending [old, recordBoundaryAfter(old, records), records]",
                      model::keys(fuzz::bytes(fuzz::view(combined))), expected,
                      {old, boundary, records});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkLinesAndKeys(input);
    checkKeyLists(input);
    if (size > 0)
        checkAppend(fuzz::bytes(input));
    return 0;
}
