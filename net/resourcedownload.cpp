#include "net/resourcedownload.h"

#include "net/internettransfer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSaveFile>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Runs one step of the download; whatever it throws only ends that step, because the caller
// is promised that the download never fails towards it.
template <typename Step> void resumeNext(Step&& step) noexcept
{
    try {
        std::forward<Step>(step)();
    } catch (...) {
        // Left out on purpose; the next step runs.
    }
}

// A name that would point at the folder itself or at its parent must not be written.
bool isWritableName(const QString& fileName)
{
    return !fileName.isEmpty() && fileName != u"." && fileName != u"..";
}

// Puts the bytes in place under the name as a new file, renamed over whatever stood there, so
// that nothing is ever written through the name: a failure leaves the name as it was, and what
// stood there (a FIFO or a device too) is never opened. QSaveFile would put a link's target in
// place of the link's own file, so a link under the name goes first; that leaves the file it
// points to untouched, but the name empty should the save then fail.
bool savePicture(const QString& path, const QByteArray& bytes)
{
    if (QFileInfo(path).isSymLink() && !QFile::remove(path))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // A link put there meanwhile would have been followed.
    if (QFileInfo(path).isSymLink()) {
        file.cancelWriting();
        return false;
    }
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// The picture a regular file holds. Whatever else stands under the name is not opened in a way
// that could wait: a FIFO would hold the program until a writer came.
QImage pictureIn(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return {};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    QImageReader reader(&file);
    return reader.read();
}

} // namespace

ResourceDownload::ResourceDownload(InternetTransfer& transfer, OnlineCheck isOnline)
    : m_transfer(transfer), m_isOnline(std::move(isOnline))
{}

ResourceDownload::~ResourceDownload() = default;

QString ResourceDownload::folder() const
{
    return m_folder.isEmpty() ? QCoreApplication::applicationDirPath() : m_folder;
}

QString ResourceDownload::GetFileName(const QString& s)
{
    const qsizetype separator = std::max(s.lastIndexOf(u'/'), s.lastIndexOf(u'\\'));
    return s.mid(separator + 1);
}

void ResourceDownload::GetRESOURCE(const QString& WWW_Adresse)
{
    const QString url = WWW_Adresse;
    QString fileName;
    resumeNext([&] {
        if (m_nameSource)
            fileName = GetFileName(m_nameSource());
    });

    bool online = false;
    resumeNext([&] { online = m_isOnline(); });
    if (!online)
        return;

    resumeNext([&] {
        if (m_pointerShape)
            m_pointerShape(true);
    });
    resumeNext([&] {
        if (m_pictureTarget)
            m_pictureTarget(QImage());
    });
    resumeNext([] { QCoreApplication::processEvents(); });

    // The transfer keeps whatever access type and protocol it was given.
    QByteArray bytes;
    resumeNext([&] {
        const QVariant body = m_transfer.openUrl(url, InternetTransfer::DataType::Bytes);
        if (body.typeId() == QMetaType::QByteArray)
            bytes = body.toByteArray();
    });

    const bool named = isWritableName(fileName);
    QString path;
    resumeNext([&] {
        if (named)
            path = folder() + u'/' + fileName;
    });
    // Nothing received is no picture: an earlier file of that name is kept.
    resumeNext([&] {
        // A picture that cannot be saved leaves the earlier file of that name, shown instead.
        if (named && !bytes.isEmpty())
            savePicture(path, bytes);
    });
    resumeNext([&] {
        if (path.isEmpty() || !m_pictureTarget)
            return;
        if (const QImage picture = pictureIn(path); !picture.isNull())
            m_pictureTarget(picture);
    });

    resumeNext([&] {
        if (m_pointerShape)
            m_pointerShape(false);
    });
}
