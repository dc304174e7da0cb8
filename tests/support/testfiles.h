#pragma once

#include <QByteArray>
#include <QString>

// Small file helpers shared by the tests.

// Creates or truncates the file with exactly these bytes; false if that failed.
bool writeFile(const QString& path, const QByteArray& bytes);
// The file's bytes, or "<missing>" when it cannot be read, so a comparison shows why.
QByteArray fileBytes(const QString& path);
