#pragma once

#include <QString>
#include <QWidget>

// A text box that only holds its text. The fetched list passes through one on its way to the
// server copy; a text document would rewrite its line ends and take seconds on a big list.
class TextBox final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextBox)

public:
    explicit TextBox(QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text) { m_text = text; }
    bool isMultiLine() const { return m_multiLine; }
    void setMultiLine(bool multiLine) { m_multiLine = multiLine; }

private:
    QString m_text;
    bool m_multiLine = false;
};
