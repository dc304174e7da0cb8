#pragma once

#include <QByteArrayView>
#include <QFont>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

// How bytes from a list (a key or a detail line) are shown. Only the display changes: the bytes
// compared, written and counted stay as they came.
//
// The bytes are read as UTF-8 when they are valid UTF-8, otherwise as Windows-1252, the code
// page the viewer's lists were made with (its five unused bytes stand for themselves). So that
// two keys never look alike while they differ, what cannot be seen is shown by a mark: control
// characters and DEL by their control pictures, blanks at the end by open boxes, characters
// that are invisible or turn the direction of text by their code point in brackets. The text is
// cut after a number of characters.
namespace DisplayText {

// The marks one font can draw, with its fallbacks. A picture the font has no glyph for would
// show as the same empty box for every byte, so such a byte is shown by its code point instead,
// as is any other character the font cannot draw. A character that is itself used as a mark
// (a literal control picture, or the opening bracket) is shown by its code point too, so no key
// can look like one holding the byte the mark stands for.
class Marks final
{
public:
    using CanDraw = std::function<bool(char32_t)>;

    explicit Marks(CanDraw canDraw);

    // The marks of a font, asked of the font once and kept. For the GUI thread only, as fonts are.
    static const Marks& forFont(const QFont& font);

    // Appends how one character shows inside a text.
    void show(QString& out, char32_t c) const;
    // Appends how a blank at the end of a text shows.
    void showBlankAtEnd(QString& out) const;

private:
    bool canDraw(char32_t c) const;
    bool isMark(char32_t c) const;
    void showCode(QString& out, char32_t c) const;

    CanDraw m_canDraw;
    // Two bits a code point, filled as characters are met: asked, and drawable.
    mutable std::vector<std::uint8_t> m_drawable;
    // The mark of each control character, then DEL's, then a blank's at the end; 0 where the
    // font draws no picture for it and its code point is shown.
    std::array<char32_t, 34> m_pictures{};
    char32_t m_open = u'<';
    char32_t m_close = u'>';
};

// As a list view with the application's fonts shows it.
QString of(QByteArrayView bytes, qsizetype maxCharacters);
QString of(QByteArrayView bytes, qsizetype maxCharacters, const Marks& marks);

// Rich text that a tool tip or a label shows as exactly this plain text: no markup, entity or
// picture in it has any effect.
QString literal(const QString& plain);

} // namespace DisplayText
