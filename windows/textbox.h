#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

// A text box that only holds its text. The fetched list passes through one on its way to the
// server copy; a text document would rewrite its line ends and take seconds on a big list. The
// text is kept as its bytes, one per character (Latin-1), and made a string only when asked
// for, so a big list is not held twice over.
class TextBox final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextBox)

public:
    explicit TextBox(QWidget* parent = nullptr);

    QString text() const { return QString::fromLatin1(m_bytes); }
    void setText(const QString& text) { m_bytes = text.toLatin1(); }
    const QByteArray& bytes() const { return m_bytes; }
    void setBytes(QByteArray bytes) { m_bytes = std::move(bytes); }
    bool isMultiLine() const { return m_multiLine; }
    void setMultiLine(bool multiLine) { m_multiLine = multiLine; }

private:
    QByteArray m_bytes;
    bool m_multiLine = false;
};
