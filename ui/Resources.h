#pragma once

#include <QIcon>
#include <QImage>

// Bitmaps and the icon of the skin, by their resource numbers. A missing
// resource gives a null image, which draws nothing.
namespace orvanta {

enum : int {
    IDI_UPDATER = 130,
    IDB_SKIN = 138,
};

QImage LoadBitmapResource(int id);
// The bitmap drawn for a screen of the given device-pixel ratio: the
// artwork drawn at twice the size where the ratio is above 1 and the skin
// carries it (its devicePixelRatio then says 2), the bitmap itself otherwise.
QImage LoadSkinBitmap(int id, qreal dpr);
QIcon LoadIconResource(int id);

} // namespace orvanta
