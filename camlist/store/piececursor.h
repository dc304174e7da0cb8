#pragma once

#include <QByteArrayView>
#include <QList>
#include <vector>

// Walks through the pieces of a block, handing out consecutive stretches of it without copying.
class PieceCursor final
{
public:
    explicit PieceCursor(const QList<QByteArrayView>& pieces) : m_pieces(pieces) {}

    // The next length bytes (fewer at the end), as parts of the pieces.
    std::vector<QByteArrayView> take(qint64 length);

private:
    const QList<QByteArrayView>& m_pieces;
    qsizetype m_piece = 0;
    qsizetype m_offset = 0;
};
