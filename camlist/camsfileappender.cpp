#include "camsfileappender.h"

#include "keypicking.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

QString failure(const QString& path, const QString& reason)
{
    return QStringLiteral("%1 could not be updated: %2").arg(path, reason);
}

// A write the system cuts short (disk full, file-size limit) reports no error; writing the rest
// fails at once, and that failure carries the reason the user must read.
bool writeAll(QFile& file, const QByteArray& data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 written = file.write(data.constData() + done, data.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

} // namespace

CamsFileAppender::Outcome CamsFileAppender::append(const QString& path, const QByteArray& records)
{
    if (records.isEmpty())
        return {true, {}};
    const bool existed = QFileInfo::exists(path);
    QFile file(path);
    // Unbuffered, so a failed write fails here and not in a later flush we could not undo.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return {false, failure(path, file.errorString())};

    const QByteArray old = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {false, failure(path, file.errorString())};
    const qint64 oldSize = old.size();

    // A list left by another program may end in the middle of a record; close that record
    // first so the new keys are not read as someone else's detail line.
    const QByteArray block = recordBoundaryAfter(old) + records;

    QString error;
    if (!file.seek(oldSize) || !writeAll(file, block) || !file.flush()) {
        error = file.errorString();
    } else if (::fsync(file.handle()) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
    }
    if (error.isEmpty())
        return {true, {}};

    file.unsetError();
    if (!existed) {
        file.close();
        QFile::remove(path);
    } else if (!file.resize(oldSize)) {
        error += QStringLiteral(" (and it could not be cut back to its old length)");
    }
    return {false, failure(path, error)};
}
