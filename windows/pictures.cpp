#include "windows/pictures.h"

#include <QImage>
#include <QPixmap>

namespace {

// The twice-size drawing is added as a picture of its own size: read through its @2x name
// alone, it would count as the normal size on a dense screen, and a desktop that asks for a
// large icon on a normal screen would get the small one.
QIcon bothSizes(const QString& path)
{
    QIcon picture;
    for (const QString& file : {path + QStringLiteral(".png"), path + QStringLiteral("@2x.png")}) {
        QImage image(file);
        image.setDevicePixelRatio(1.0);
        picture.addPixmap(QPixmap::fromImage(image));
    }
    return picture;
}

} // namespace

namespace Pictures {

QIcon icon()
{
    return bothSizes(QStringLiteral(":/icon"));
}

QIcon frame(int index)
{
    return bothSizes(QStringLiteral(":/frames/frame%1").arg(index, 2, 10, QChar(u'0')));
}

} // namespace Pictures
