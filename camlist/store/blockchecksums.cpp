#include "camlist/store/blockchecksums.h"

#include <QtEndian>
#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr quint32 polynomial = 0x82f63b78; // Castagnoli's, reflected

using Tables = std::array<std::array<quint32, 256>, 8>;

// Eight tables, so eight bytes are taken at a time.
constexpr Tables makeTables()
{
    Tables tables{};
    for (quint32 byte = 0; byte < 256; ++byte) {
        quint32 crc = byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ polynomial : crc >> 1;
        tables[0][byte] = crc;
    }
    for (size_t byte = 0; byte < 256; ++byte) {
        for (size_t table = 1; table < 8; ++table)
            tables[table][byte] =
                (tables[table - 1][byte] >> 8) ^ tables[0][tables[table - 1][byte] & 0xff];
    }
    return tables;
}

constexpr Tables tables = makeTables();

// a * b modulo the polynomial, both reflected.
quint32 multiplyModulo(quint32 a, quint32 b)
{
    quint32 product = 0;
    for (quint32 bit = 1u << 31; bit != 0; bit >>= 1) {
        if ((a & bit) != 0)
            product ^= b;
        b = (b & 1) != 0 ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

// x^(8 * bytes) modulo the polynomial: the shift that appending that many bytes means.
quint32 shiftFor(qint64 bytes)
{
    quint32 power = 1u << 30; // x^1, squared on every step: x^(2^k)
    quint32 shift = 1u << 31; // x^0
    for (auto bits = static_cast<quint64>(bytes) * 8; bits != 0; bits >>= 1) {
        if ((bits & 1) != 0)
            shift = multiplyModulo(power, shift);
        power = multiplyModulo(power, power);
    }
    return shift;
}

// Multiplication by one fixed value modulo the polynomial, a byte at a time from tables: the
// product is linear in each byte. Closing each of a block's many chunks then takes four
// look-ups rather than a multiplication bit by bit.
class FixedShift final
{
public:
    explicit FixedShift(qint64 bytes)
    {
        const quint32 shift = shiftFor(bytes);
        for (size_t part = 0; part < m_tables.size(); ++part) {
            for (quint32 byte = 0; byte < 256; ++byte)
                m_tables[part][byte] = multiplyModulo(shift, byte << (8 * part));
        }
    }

    quint32 operator()(quint32 crc) const
    {
        return m_tables[0][crc & 0xff] ^ m_tables[1][(crc >> 8) & 0xff] ^
               m_tables[2][(crc >> 16) & 0xff] ^ m_tables[3][crc >> 24];
    }

private:
    std::array<std::array<quint32, 256>, 4> m_tables{};
};

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) quint32 crc32ByInstruction(quint32 crc, const uchar* data,
                                                             qsizetype left)
{
    quint64 value = ~crc;
    for (; left >= 8; left -= 8, data += 8) {
        quint64 word;
        std::memcpy(&word, data, 8);
        value = _mm_crc32_u64(value, word);
    }
    auto narrow = static_cast<quint32>(value);
    for (; left > 0; --left, ++data)
        narrow = _mm_crc32_u8(narrow, *data);
    return ~narrow;
}

const bool hasCrcInstruction = __builtin_cpu_supports("sse4.2");
#endif

} // namespace

quint32 crc32(quint32 crc, QByteArrayView bytes)
{
#if defined(__x86_64__)
    if (hasCrcInstruction)
        return crc32ByInstruction(crc, reinterpret_cast<const uchar*>(bytes.data()), bytes.size());
#endif
    return crc32ByTables(crc, bytes);
}

quint32 crc32ByTables(quint32 crc, QByteArrayView bytes)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes.data());
    qsizetype left = bytes.size();
    crc = ~crc;
    for (; left >= 8; left -= 8, data += 8) {
        const quint32 low = qFromLittleEndian<quint32>(data) ^ crc;
        const quint32 high = qFromLittleEndian<quint32>(data + 4);
        crc = tables[7][low & 0xff] ^ tables[6][(low >> 8) & 0xff] ^ tables[5][(low >> 16) & 0xff] ^
              tables[4][low >> 24] ^ tables[3][high & 0xff] ^ tables[2][(high >> 8) & 0xff] ^
              tables[1][(high >> 16) & 0xff] ^ tables[0][high >> 24];
    }
    for (; left > 0; --left, ++data)
        crc = (crc >> 8) ^ tables[0][(crc ^ *data) & 0xff];
    return ~crc;
}

quint32 crc32Combine(quint32 crcOfA, quint32 crcOfB, qint64 lengthOfB)
{
    return multiplyModulo(shiftFor(lengthOfB), crcOfA) ^ crcOfB;
}

qint64 BlockChecksums::chunkCount(qint64 fileOffset, qint64 length, qint64 size)
{
    if (length <= 0)
        return 0;
    return (fileOffset + length - 1) / size - fileOffset / size + 1;
}

void BlockChecksums::add(QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const qint64 room = chunkSize - (m_offset + m_length) % chunkSize;
        const qsizetype take = std::min<qint64>(room, bytes.size());
        m_chunk = crc32(m_chunk, bytes.first(take));
        m_inChunk += take;
        m_length += take;
        bytes = bytes.sliced(take);
        if (take == room)
            closeChunk();
    }
}

void BlockChecksums::finish()
{
    if (m_inChunk > 0)
        closeChunk();
}

void BlockChecksums::closeChunk()
{
    // Most chunks are whole: their shift is worked out once.
    static const FixedShift wholeChunk(chunkSize);
    const quint32 shifted =
        m_inChunk == chunkSize ? wholeChunk(m_whole) : multiplyModulo(shiftFor(m_inChunk), m_whole);
    m_whole = shifted ^ m_chunk;
    m_chunks.push_back(m_chunk);
    m_chunk = 0;
    m_inChunk = 0;
}
