#pragma once

#include <QString>
#include <QStringView>

// Numbers kept as label captions: read back as the longest leading decimal number (0 if there
// is none) and written as plain decimal text without a leading blank.
qint64 leadingNumber(QStringView text);
inline QString numberText(qint64 value)
{
    return QString::number(value);
}
