#include "filereplacer.h"

#include "posixfile.h"

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

FileReplacer::Outcome FileReplacer::replace(const QString& path,
                                            std::initializer_list<QByteArrayView> parts)
{
    const QByteArray finalName = QFile::encodeName(path);
    QByteArray scratchName = finalName + ".XXXXXX";

    const int fd = ::mkostemp(scratchName.data(), O_CLOEXEC);
    if (fd < 0)
        return {false, PosixFile::reason(errno)};
    int error = 0;
    for (const QByteArrayView part : parts) {
        error = PosixFile::writeAll(fd, part);
        if (error != 0)
            break;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(scratchName.constData(), finalName.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(scratchName.constData());
        return {false, PosixFile::reason(error)};
    }
    PosixFile::syncFolderOf(path);
    return {true, {}};
}
