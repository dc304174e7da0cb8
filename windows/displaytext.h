#pragma once

#include <QByteArrayView>
#include <QString>

// How bytes from a list (a key or a detail line) are shown. Only the display changes: the bytes
// compared, written and counted stay as they came.
//
// The bytes are read as UTF-8 when they are valid UTF-8, otherwise as Windows-1252, the code
// page the viewer's lists were made with (its five unused bytes stand for themselves). So that
// two keys never look alike while they differ, control characters are shown as their control
// pictures, characters that are invisible or turn the direction of text as their code point in
// brackets, and blanks at the end as open boxes. The text is cut after a number of characters.
namespace DisplayText {

QString of(QByteArrayView bytes, qsizetype maxCharacters);

// Rich text that a tool tip or a label shows as exactly this plain text: no markup, entity or
// picture in it has any effect.
QString literal(const QString& plain);

} // namespace DisplayText
