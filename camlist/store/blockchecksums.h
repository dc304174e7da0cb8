#pragma once

#include <QByteArrayView>
#include <QtGlobal>
#include <vector>

// CRC-32C (Castagnoli's polynomial, as ext4, btrfs and iSCSI check their data with) of bytes,
// going on from the CRC of what came before them (0 for none):
// crc32(crc32(0, a), b) == crc32(0, a + b). Where the processor has an instruction for it
// (SSE 4.2), it is taken, at several gigabytes a second.
quint32 crc32(quint32 crc, QByteArrayView bytes);
// The same from tables, as on processors without the instruction.
quint32 crc32ByTables(quint32 crc, QByteArrayView bytes);

// The CRC of a + b from the CRCs of a and b and the length of b.
quint32 crc32Combine(quint32 crcOfA, quint32 crcOfB, qint64 lengthOfB);

// The checksums of bytes appended to a file at an offset: one CRC-32C per chunk, and one of
// them all. Chunks end where the file's offset is a multiple of chunkSize, so the first and
// the last may be shorter. A chunk is a sector, the least a disk writes whole; a write that is
// killed stops where pages (eight sectors) meet. So whatever part of an append a crash leaves
// ends where chunks meet, and each chunk that reached the disk can be checked. Taken in one
// pass, in pieces of any size.
class BlockChecksums final
{
public:
    static constexpr qint64 chunkSize = 512;

    explicit BlockChecksums(qint64 fileOffset) : m_offset(fileOffset) {}

    void add(QByteArrayView bytes);
    // The chunks of this many bytes at the offset, for chunks of that size.
    static qint64 chunkCount(qint64 fileOffset, qint64 length, qint64 size = chunkSize);

    qint64 length() const { return m_length; }
    // The chunks seen so far; the last one only once it is whole (or everything was added,
    // see finish()).
    const std::vector<quint32>& chunks() const { return m_chunks; }
    // Counts a last, shorter chunk as a chunk; the bytes seen are then the whole block.
    void finish();
    quint32 whole() const { return crc32Combine(m_whole, m_chunk, m_inChunk); }

private:
    void closeChunk();

    qint64 m_offset;
    qint64 m_length = 0;
    qint64 m_inChunk = 0; // bytes of the chunk not yet closed
    quint32 m_chunk = 0;  // their CRC
    quint32 m_whole = 0;  // the CRC of the closed chunks
    std::vector<quint32> m_chunks;
};
