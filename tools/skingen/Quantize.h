#pragma once

#include <QImage>
#include <QList>
#include <QRgb>

// Reduction of a drawn picture to the skin's format: 8 bits a pixel with a
// 256-entry palette, as the launcher's bitmaps have always been stored.
namespace skingen {

// pinned colours get a palette entry of their own and are reproduced
// exactly wherever they occur, so the regions the window relies on (pure
// white under the texts, the bar tracks) survive the reduction unchanged.
// The rest of the palette is chosen by median cut and refined by k-means;
// pixels that are not pinned are error-diffused.
QImage ToIndexed8(const QImage& picture, const QList<QRgb>& pinned);

} // namespace skingen
