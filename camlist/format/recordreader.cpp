#include "recordreader.h"

RecordReader::RecordReader(QByteArrayView data, Walk walk) : m_lines(data), m_walk(walk)
{
    if (m_walk == Walk::EveryLine)
        m_hasAhead = m_lines.next(m_ahead);
}

bool RecordReader::next(Record& record)
{
    if (m_walk == Walk::EveryLine) {
        if (!m_hasAhead)
            return false;
        record.key = m_ahead;
        record.begin = m_aheadBegin;
        m_aheadBegin = m_lines.position();
        m_hasAhead = m_lines.next(m_ahead);
        record.hasDetail = m_hasAhead;
        record.detail = m_hasAhead ? m_ahead : QByteArrayView();
        record.end = m_lines.position();
        return true;
    }
    qsizetype begin = 0;
    QByteArrayView key;
    do {
        begin = m_lines.position();
        if (!m_lines.next(key))
            return false;
    } while (m_walk == Walk::Records && key.isEmpty());
    record.key = key;
    record.begin = begin;
    record.hasDetail = m_lines.next(record.detail);
    if (!record.hasDetail)
        record.detail = {};
    record.end = m_lines.position();
    return true;
}
