#include "linereader.h"

#include <cstring>

bool LineReader::next(QByteArrayView& line)
{
    if (atEnd())
        return false;
    const char* begin = m_data.data() + m_pos;
    const auto rest = static_cast<size_t>(m_data.size() - m_pos);
    const auto* cr = static_cast<const char*>(std::memchr(begin, '\r', rest));
    if (!cr) {
        line = QByteArrayView(begin, static_cast<qsizetype>(rest));
        m_pos = m_data.size();
        return true;
    }
    const qsizetype length = cr - begin;
    line = QByteArrayView(begin, length);
    m_pos += length + 1;
    if (m_pos < m_data.size() && m_data[m_pos] == '\n')
        ++m_pos;
    return true;
}
