#include "ui/Resources.h"

#include <QString>

namespace orvanta {

QImage LoadBitmapResource(int id)
{
    if (id <= 0)
        return {};
    return QImage(QStringLiteral(":/bitmaps/%1.bmp").arg(id));
}

QImage LoadSkinBitmap(int id, qreal dpr)
{
    if (id > 0 && dpr > 1.0) {
        QImage large(QStringLiteral(":/bitmaps/%1@2x.png").arg(id));
        if (!large.isNull()) {
            large.setDevicePixelRatio(2.0);
            return large;
        }
    }
    return LoadBitmapResource(id);
}

QIcon LoadIconResource(int id)
{
    return QIcon(QStringLiteral(":/icons/%1.png").arg(id));
}

} // namespace orvanta
