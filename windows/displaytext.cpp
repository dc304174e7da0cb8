#include "displaytext.h"

#include <QStringDecoder>
#include <algorithm>
#include <array>

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

void appendShown(QString& out, char32_t c)
{
    if (c < 0x20) {
        out.append(QChar(char16_t(0x2400 + c))); // the control pictures
    } else if (c == 0x7F) {
        out.append(QChar(char16_t(0x2421)));
    } else if (invisibleOrTurning(c)) {
        const QString code = QString::number(static_cast<uint>(c), 16).toUpper();
        out.append(QStringLiteral("\u27E8U+%1\u27E9").arg(code.rightJustified(4, u'0')));
    } else {
        out.append(QChar::fromUcs4(c));
    }
}

} // namespace

namespace DisplayText {

QString of(QByteArrayView bytes, qsizetype maxCharacters)
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
            shown.append(QChar(char16_t(0x2420)));
        else
            appendShown(shown, c);
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
