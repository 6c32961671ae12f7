#include "ui/Resources.h"

#include <QString>

namespace orvanta {

QImage LoadBitmapResource(int id)
{
    if (id <= 0)
        return {};
    return QImage(QStringLiteral(":/bitmaps/%1.bmp").arg(id));
}

QIcon LoadIconResource(int id)
{
    return QIcon(QStringLiteral(":/icons/%1.png").arg(id));
}

} // namespace orvanta
