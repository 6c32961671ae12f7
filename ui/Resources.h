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
QIcon LoadIconResource(int id);

} // namespace orvanta
