#pragma once

#include <QByteArrayView>
#include <cstring>

// Splits list-file bytes into lines. CR LF or a lone CR ends a line; a lone LF is part of the
// line's text. The last line needs no line end, and a final line end does not start another line.
class LineReader final
{
public:
    explicit LineReader(QByteArrayView data) : m_data(data) {}

    // Gives the next line without its line end; false once every line has been read.
    inline bool next(QByteArrayView& line);
    bool atEnd() const { return m_pos >= m_data.size(); }
    // Where the next line begins: the end of the lines read so far, with their line ends.
    qsizetype position() const { return m_pos; }

    // Whether the last line has its line end: a lone CR ends it, a lone LF does not.
    static bool endsWithLineEnd(QByteArrayView data)
    {
        return data.endsWith('\r') || data.endsWith("\r\n");
    }
    // How many lines next() gives, counted without reading them one by one.
    static qsizetype count(QByteArrayView data);

private:
    QByteArrayView m_data;
    qsizetype m_pos = 0;
};

// Inline: reading the lines is all that key picking of a million records does.
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
