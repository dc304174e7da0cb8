#include "camlist/format/linereader.h"

#include <cstring>

qsizetype LineReader::count(QByteArrayView data)
{
    // Each line end holds one CR. They are counted eight bytes at a time: millions of lines
    // take a few milliseconds.
    constexpr quint64 eachByte = 0x0101010101010101ULL;
    constexpr quint64 low7 = 0x7f * eachByte;
    constexpr quint64 crs = '\r' * eachByte;
    qsizetype lines = 0;
    qsizetype at = 0;
    for (; at + 8 <= data.size(); at += 8) {
        quint64 word;
        std::memcpy(&word, data.data() + at, 8);
        const quint64 equal = word ^ crs; // a zero byte where a CR is
        // The top bit of each zero byte, and of no other.
        const quint64 zeros = ~(((equal & low7) + low7) | equal | low7);
        lines += static_cast<qsizetype>(((zeros >> 7) * eachByte) >> 56);
    }
    for (; at < data.size(); ++at)
        lines += data[at] == '\r' ? 1 : 0;
    // The last line needs no line end.
    if (!data.isEmpty() && !endsWithLineEnd(data))
        ++lines;
    return lines;
}
