#pragma once

#include <QImage>

// The skin's white-keyed blit: under the bitmap's white pixels the
// destination is kept and then whitened, under every other pixel it is
// cleared and takes the bitmap's colour. With a white key the result is the
// bitmap itself, which is what the player must see.
void DrawMaskedBitmap(QImage& dest, int x, int y, int nWidth, int nHeight, const QImage& bitmap);
