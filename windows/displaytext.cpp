#include "windows/displaytext.h"

#include <QApplication>
#include <QFontMetrics>
#include <QListView>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <memory>
#include <utility>

namespace {

// Windows-1252 where it differs from Latin-1; 0 marks the bytes it leaves unused.
constexpr std::array<char16_t, 32> windows1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

QString fromWindows1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const char16_t mapped = byte >= 0x80 && byte < 0xA0 ? windows1252High[byte - 0x80] : 0;
        *out++ = QChar(mapped != 0 ? mapped : char16_t{byte});
    }
    return text;
}

// The UTF-8 reading, or a null string when the bytes are not UTF-8. A sequence cut by the end
// of what is looked at does not count against it.
QString fromUtf8IfValid(QByteArrayView bytes, bool cutAtEnd)
{
    if (cutAtEnd) {
        qsizetype lead = bytes.size();
        while (lead > 0 && bytes.size() - lead < 4 &&
               (static_cast<unsigned char>(bytes[lead - 1]) & 0xC0) == 0x80)
            --lead;
        if (lead > 0) {
            const auto byte = static_cast<unsigned char>(bytes[lead - 1]);
            const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            if (lead - 1 + length > bytes.size())
                bytes = bytes.first(lead - 1);
        }
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text;
}

bool invisibleOrTurning(char32_t c)
{
    if (c == 0xA0 || c == 0xAD)
        return true; // no-break space, soft hyphen
    // Drawn blank or not at all, though not format characters: the fillers, the blank braille
    // pattern, the grapheme joiner and the variation selectors.
    if (c == 0x034F || c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 ||
        (c >= 0x180B && c <= 0x180F) || c == 0x2800 || c == 0x3164 ||
        (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFFA0 || (c >= 0xE0000 && c <= 0xE0FFF))
        return true;
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format: // direction marks and overrides, zero-width characters
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    case QChar::Separator_Space:
        return c != u' ';
    default:
        return false;
    }
}

constexpr char32_t controlPictures = 0x2400;
constexpr std::size_t delIndex = 0x20;
constexpr std::size_t blankIndex = 0x21;

// The list view's font when none is set on it: the application's, unless the platform gives
// item views one of their own.
QFont listViewFont()
{
    const QFont general = QApplication::font();
    for (const QMetaObject* type = &QListView::staticMetaObject; type; type = type->superClass()) {
        QFont font = QApplication::font(type->className());
        if (font != general)
            return font;
    }
    return general;
}

} // namespace

namespace DisplayText {

Marks::Marks(CanDraw canDraw) : m_canDraw(std::move(canDraw))
{
    // The brackets of the code form: mathematical angle brackets, else the single guillemets
    // that every font made for Windows-1252 has, else plain ASCII.
    for (const auto& [open, close] :
         {std::pair<char32_t, char32_t>{0x27E8, 0x27E9}, {0x2039, 0x203A}}) {
        if (this->canDraw(open) && this->canDraw(close)) {
            m_open = open;
            m_close = close;
            break;
        }
    }
    const auto firstDrawn = [this](std::initializer_list<char32_t> pictures) -> char32_t {
        for (const char32_t picture : pictures) {
            if (this->canDraw(picture))
                return picture;
        }
        return 0;
    };
    for (char32_t c = 0; c < 0x20; ++c)
        m_pictures[c] = firstDrawn({controlPictures + c});
    m_pictures[delIndex] = firstDrawn({0x2421});
    m_pictures[blankIndex] = firstDrawn({0x2420, 0x2423}); // symbol for space, open box
}

const Marks& Marks::forFont(const QFont& font)
{
    // A handful of fonts at most, each asked once; the lists ask for every row they paint.
    static std::vector<std::pair<QFont, std::unique_ptr<Marks>>> known;
    for (const auto& [knownFont, marks] : known) {
        if (knownFont == font)
            return *marks;
    }
    // The metrics of a font stand for it with its fallbacks: a glyph any of them has counts.
    auto marks = std::make_unique<Marks>(
        [metrics = QFontMetrics(font)](char32_t c) { return metrics.inFontUcs4(c); });
    known.emplace_back(font, std::move(marks));
    return *known.back().second;
}

bool Marks::canDraw(char32_t c) const
{
    if (c > 0x10FFFF)
        return false;
    if (m_drawable.empty())
        m_drawable.assign(0x110000 / 4, 0);
    std::uint8_t& cell = m_drawable[c / 4];
    const unsigned shift = (c % 4) * 2;
    if (!((cell >> shift) & 1u))
        cell = static_cast<std::uint8_t>(cell | (1u | (m_canDraw(c) ? 2u : 0u)) << shift);
    return ((cell >> shift) & 2u) != 0;
}

bool Marks::isMark(char32_t c) const
{
    if (c == m_open)
        return true;
    return c >= controlPictures && c <= 0x2423 &&
           std::find(m_pictures.begin(), m_pictures.end(), c) != m_pictures.end();
}

void Marks::showCode(QString& out, char32_t c) const
{
    const QString code = QString::number(static_cast<uint>(c), 16).toUpper();
    out.append(QChar::fromUcs4(m_open));
    out.append(u"U+");
    out.append(code.rightJustified(4, u'0'));
    out.append(QChar::fromUcs4(m_close));
}

void Marks::show(QString& out, char32_t c) const
{
    const char32_t picture = c < 0x20 ? m_pictures[c] : c == 0x7F ? m_pictures[delIndex] : 0;
    if (picture != 0)
        out.append(QChar(static_cast<char16_t>(picture)));
    else if (c < 0x20 || c == 0x7F || invisibleOrTurning(c) || isMark(c) || !canDraw(c))
        showCode(out, c);
    else
        out.append(QChar::fromUcs4(c));
}

void Marks::showBlankAtEnd(QString& out) const
{
    if (m_pictures[blankIndex] != 0)
        out.append(QChar(static_cast<char16_t>(m_pictures[blankIndex])));
    else
        showCode(out, u' ');
}

QString of(QByteArrayView bytes, qsizetype maxCharacters)
{
    return of(bytes, maxCharacters, Marks::forFont(listViewFont()));
}

QString of(QByteArrayView bytes, qsizetype maxCharacters, const Marks& marks)
{
    // No character takes more than four bytes, so this is enough to fill the length.
    const qsizetype looked = std::min(bytes.size(), maxCharacters * 4);
    const QByteArrayView part = bytes.first(looked);
    QString decoded = fromUtf8IfValid(part, looked < bytes.size());
    if (decoded.isNull())
        decoded = fromWindows1252(part.first(std::min(part.size(), maxCharacters)));

    // Blanks at the end stay visible as open boxes, when the end is shown.
    qsizetype end = decoded.size();
    if (looked < bytes.size() || decoded.size() > maxCharacters)
        end = decoded.size() + 1;
    while (end > 0 && end <= decoded.size() && decoded.at(end - 1) == u' ')
        --end;

    QString shown;
    shown.reserve(std::min(decoded.size(), maxCharacters) + 8);
    qsizetype characters = 0;
    for (qsizetype i = 0; i < decoded.size() && characters < maxCharacters; ++characters) {
        char32_t c = decoded.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < decoded.size() &&
            decoded.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(decoded.at(i), decoded.at(i + 1));
            i += 2;
        } else {
            ++i;
        }
        if (i > end && c == u' ')
            marks.showBlankAtEnd(shown);
        else
            marks.show(shown, c);
    }
    return shown;
}

QString literal(const QString& plain)
{
    // Escaped into rich text of our own making, so nothing in it is read as markup; the
    // white space and line breaks stay as they are.
    return QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(plain.toHtmlEscaped());
}

} // namespace DisplayText
