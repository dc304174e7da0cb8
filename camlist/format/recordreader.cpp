#include "camlist/format/recordreader.h"

RecordReader::RecordReader(QByteArrayView data, Walk walk) : m_lines(data), m_walk(walk)
{
    if (m_walk == Walk::EveryLine)
        m_hasAhead = m_lines.next(m_ahead);
}
