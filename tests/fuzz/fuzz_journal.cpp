// libFuzzer target: AddJournal::decode, the parser of the journal an interrupted add leaves on
// disk. Recovery acts on a decoded entry only when decode calls it whole; a torn journal is
// dropped as one of an add that had written nothing.
//
// Input: byte 0 picks the mode.
//   even  the rest is a journal as found on disk, of this version or an older one. What decodes
//         as whole must decode so again into an entry that held other values before (every
//         field came from the bytes), encode into a journal that decodes to the same entry, and
//         be an add recovery can act on: lengths that are not negative and do not overflow, one
//         checksum per chunk of the block.
//   odd   the rest describes an add: its old length (up to 2^40), its block's length (up to
//         2^20), the checksums, then a place and a byte. Its journal decodes whole, as it was
//         described; cut at the place it is torn; with the byte XORed in there it is not whole.
#include "camlist/store/addjournal.h"
#include "camlist/store/blockchecksums.h"

#include <QByteArray>
#include <QByteArrayView>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

void expect(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "\n==== JOURNAL: %s\n", what);
    std::abort();
}

// Little-endian numbers from the input, zeros past its end.
struct Reader
{
    QByteArrayView bytes;
    qsizetype at = 0;

    quint64 number(int size)
    {
        quint64 value = 0;
        for (int i = 0; i < size; ++i, ++at)
            if (at < bytes.size())
                value |= quint64(static_cast<unsigned char>(bytes[at])) << (8 * i);
        return value;
    }
};

bool sameEntry(const AddJournal::Entry& a, const AddJournal::Entry& b)
{
    return a.oldLength == b.oldLength && a.oldTailCrc == b.oldTailCrc &&
           a.blockLength == b.blockLength && a.blockCrc == b.blockCrc &&
           a.chunkSize == b.chunkSize && a.chunkCrcs == b.chunkCrcs;
}

void decodeFound(QByteArrayView bytes)
{
    AddJournal::Entry entry{7, 7, 7, 7, 7, {7, 7}};
    if (AddJournal::decode(bytes, entry) != AddJournal::Decoded::Whole)
        return;
    AddJournal::Entry again{9, 9, 9, 9, 9, {9}};
    expect(AddJournal::decode(bytes, again) == AddJournal::Decoded::Whole &&
               sameEntry(again, entry),
           "a whole journal leaves a field of the entry as it was");
    AddJournal::Entry written;
    expect(AddJournal::decode(AddJournal::encode(entry), written) == AddJournal::Decoded::Whole &&
               sameEntry(written, entry),
           "a whole journal does not encode back to itself");
    expect(entry.oldLength >= 0 && entry.blockLength >= 0, "a whole journal has a negative length");
    expect(entry.blockLength <= std::numeric_limits<qint64>::max() - entry.oldLength,
           "a whole journal's block ends past the largest file offset");
    expect(qint64(entry.chunkCrcs.size()) ==
               BlockChecksums::chunkCount(entry.oldLength, entry.blockLength, entry.chunkSize),
           "a whole journal has not one checksum per chunk of its block");
}

void decodeWritten(QByteArrayView input)
{
    Reader read{input};
    AddJournal::Entry entry;
    entry.oldLength = qint64(read.number(5));
    entry.blockLength = qint64(read.number(3) % ((1 << 20) + 1));
    entry.oldTailCrc = quint32(read.number(4));
    entry.blockCrc = quint32(read.number(4));
    // This release's chunks, or an earlier release's.
    entry.chunkSize = read.number(1) % 2 ? AddJournal::pageChunkSize : BlockChecksums::chunkSize;
    entry.chunkCrcs.resize(
        size_t(BlockChecksums::chunkCount(entry.oldLength, entry.blockLength, entry.chunkSize)));
    const quint64 place = read.number(2);
    const auto change = static_cast<char>(read.number(1));
    for (quint32& crc : entry.chunkCrcs)
        crc = quint32(read.number(4));
    const QByteArray journal = AddJournal::encode(entry);

    AddJournal::Entry decoded;
    expect(AddJournal::decode(journal, decoded) == AddJournal::Decoded::Whole,
           "a journal as written is not whole");
    expect(sameEntry(decoded, entry), "a journal as written decodes to another entry");
    const auto at = qsizetype(place % quint64(journal.size()));
    expect(AddJournal::decode(QByteArrayView(journal).first(at), decoded) ==
               AddJournal::Decoded::Torn,
           "a journal cut short is not torn");
    QByteArray changed = journal;
    changed[at] = static_cast<char>(changed[at] ^ change);
    expect(change == 0 || AddJournal::decode(changed, decoded) != AddJournal::Decoded::Whole,
           "a journal with a byte changed is whole");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // An exact copy, so AddressSanitizer sees any read past the end.
    const std::vector<char> rest(data + 1, data + size);
    const QByteArrayView bytes(rest.data(), qsizetype(rest.size()));
    if (data[0] % 2 == 0)
        decodeFound(bytes);
    else
        decodeWritten(bytes);
    return 0;
}
