#pragma once

#include "camlist/format/linereader.h"

#include <QByteArrayView>

// Reads the records of list-file bytes: a key line and the line after it, its detail line.
// This is the one place that says what a record is; whatever needs records asks it.
class RecordReader final
{
public:
    struct Record
    {
        QByteArrayView key;
        QByteArrayView detail;  // empty when there is none
        bool hasDetail = false; // false when the key is the last line
        qsizetype begin = 0;    // where the key line begins
        qsizetype end = 0;      // past the record's last line end
    };

    // Where the records begin.
    enum class Walk {
        // As key picking reads a list: each record after the one before; an empty line where
        // a record would begin is skipped by itself.
        Records,
        // Two lines a record from the first line on, an empty key line included: the records
        // this program writes itself, read back exactly as they were written.
        Pairs,
        // Every line in turn, empty ones included, as the key of a record with the line after
        // it: a key is looked up on whatever line it stands, detail lines too.
        EveryLine,
    };

    explicit RecordReader(QByteArrayView data, Walk walk = Walk::Records);

    // Gives the next record; false once there is none.
    inline bool next(Record& record);

    // How many records Walk::Pairs gives, counted without reading them one by one.
    static qsizetype pairCount(QByteArrayView data) { return (LineReader::count(data) + 1) / 2; }

private:
    LineReader m_lines;
    Walk m_walk;
    // With Walk::EveryLine a record's detail line is the next one's key: read once, kept here.
    QByteArrayView m_ahead;
    qsizetype m_aheadBegin = 0;
    bool m_hasAhead = false;
};

// Inline, as the lines it reads are: a million records are picked and looked up in a pass.
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
