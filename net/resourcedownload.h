#pragma once

#include <QImage>
#include <QString>
#include <functional>

class InternetTransfer;

// Fetches a picture from the net into the program's folder and shows it. The window layer plugs
// in where the file name comes from, where the picture goes and how the pointer looks; each of
// them may stay unset.
class ResourceDownload final
{
    Q_DISABLE_COPY_MOVE(ResourceDownload)

public:
    using OnlineCheck = std::function<bool()>;
    using NameSource = std::function<QString()>;
    using PictureTarget = std::function<void(const QImage&)>; // a null QImage empties it
    using PointerShape = std::function<void(bool busy)>;

    ResourceDownload(InternetTransfer& transfer, OnlineCheck isOnline);
    ~ResourceDownload();

    void setNameSource(NameSource source) { m_nameSource = std::move(source); }
    void setPictureTarget(PictureTarget target) { m_pictureTarget = std::move(target); }
    void setPointerShape(PointerShape shape) { m_pointerShape = std::move(shape); }
    // Empty means the folder of the executable.
    void setFolder(const QString& folder) { m_folder = folder; }
    QString folder() const;

    // Never fails towards its caller: a step that goes wrong is left out. Offline, nothing at
    // all happens; otherwise the pointer is busy during the fetch and always set back after.
    void GetRESOURCE(const QString& WWW_Adresse);

    // The text after the last "\" or "/", or the whole text when it has neither.
    static QString GetFileName(const QString& s);

private:
    InternetTransfer& m_transfer;
    OnlineCheck m_isOnline;
    NameSource m_nameSource;
    PictureTarget m_pictureTarget;
    PointerShape m_pointerShape;
    QString m_folder;
};
