#include "resourcedownload.h"

#include "filereplacer.h"
#include "internettransfer.h"

#include <QCoreApplication>
#include <algorithm>
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
        if (named && !bytes.isEmpty()) {
            [[maybe_unused]] const Result<> saved = FileReplacer::replace(path, {bytes});
        }
    });
    resumeNext([&] {
        QImage picture;
        if (!path.isEmpty() && m_pictureTarget && picture.load(path))
            m_pictureTarget(picture);
    });

    resumeNext([&] {
        if (m_pointerShape)
            m_pointerShape(false);
    });
}
