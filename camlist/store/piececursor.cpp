#include "camlist/store/piececursor.h"

#include <algorithm>

std::vector<QByteArrayView> PieceCursor::take(qint64 length)
{
    std::vector<QByteArrayView> parts;
    while (length > 0 && m_piece < m_pieces.size()) {
        const QByteArrayView rest = m_pieces[m_piece].sliced(m_offset);
        const qsizetype part = std::min<qint64>(rest.size(), length);
        parts.push_back(rest.first(part));
        length -= part;
        m_offset += part;
        if (m_offset == m_pieces[m_piece].size()) {
            ++m_piece;
            m_offset = 0;
        }
    }
    return parts;
}
