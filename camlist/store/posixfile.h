#pragma once

#include "camlist/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <limits>
#include <span>
#include <sys/stat.h>

// The system's record of a file; a plain name keeps it apart from the function of that name.
using FileStatus = struct stat;

// Small wrappers over the system's file calls, for the places that must know exactly what
// they open and what reached the disk. A failure's code is the system's error number, and its
// text the system's reason for it.
namespace PosixFile {

// Not a system error number: the file is a FIFO, a device, a socket or a folder.
inline constexpr int notARegularFile = -1;

// The system's text for an error number, for the user.
QString reason(int error);
// The failure of that error number, with its reason.
Failure<int> failed(int error);

// Writes every byte. A write the system cuts short (disk full, file-size limit) reports
// nothing; writing the rest then fails and gives the reason.
Result<> writeAll(int fd, QByteArrayView bytes);
// The same for parts written one after the other, gathered into as few calls as the system
// takes: a kill stops such a call only where the page cache's pages meet. written counts the
// bytes that went in, also when it fails.
Result<> writeAll(int fd, std::span<const QByteArrayView> parts, qint64& written);

// Whether two records are of the same file (device and inode), e.g. the one opened and the one
// its name stands for now.
bool sameFile(const FileStatus& a, const FileStatus& b);

// Reads up to length bytes at offset, fewer only at the end of the file; the file position
// stays. Gives how many were read.
Result<qint64> readAt(int fd, qint64 offset, char* into, qint64 length);
// The same into a buffer that takes the size of what was read.
Result<> readAt(int fd, qint64 offset, QByteArray& into, qint64 length);

// Reads from the file's start to its end, whatever the file position. A file that is, or
// grows to, more than limit bytes gives EFBIG, with nothing read; so does one whose size says
// so, before any room is taken for it. Room that cannot be had gives ENOMEM.
Result<> readFromStart(int fd, QByteArray& content,
                       qint64 limit = std::numeric_limits<qint64>::max());

// Whether the file holds exactly these bytes, from its start to its end, whatever the file
// position: read a piece at a time and compared, so the file is not held a second time.
Result<bool> holdsExactly(int fd, QByteArrayView expected);

// Opens a file for reading only when it is a regular file (or a link to one). Never blocks:
// a FIFO or a device is refused before anything is read from it. Gives the descriptor; a folder
// fails with EISDIR, anything else that is no regular file with notARegularFile.
Result<int> openRegularForReading(const QString& path);

// Makes the folder's entries (a new or renamed file) durable. A failure loses nothing that
// was promised, so it is not reported.
void syncFolderOf(const QString& path);

} // namespace PosixFile
