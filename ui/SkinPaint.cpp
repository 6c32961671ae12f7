#include "ui/SkinPaint.h"

#include <algorithm>

void DrawMaskedBitmap(QImage& dest, int x, int y, int nWidth, int nHeight, const QImage& bitmap)
{
    if (dest.isNull() || bitmap.isNull())
        return;
    if (dest.format() != QImage::Format_RGB32 && dest.format() != QImage::Format_ARGB32)
        dest = dest.convertToFormat(QImage::Format_RGB32);
    const QImage src = bitmap.convertToFormat(QImage::Format_RGB32);
    const int nW = std::min({nWidth, src.width(), dest.width() - x});
    const int nH = std::min({nHeight, src.height(), dest.height() - y});
    for (int row = std::max(0, -y); row < nH; ++row) {
        const auto* pSrc = reinterpret_cast<const QRgb*>(src.constScanLine(row));
        auto* pDst = reinterpret_cast<QRgb*>(dest.scanLine(y + row));
        for (int col = std::max(0, -x); col < nW; ++col) {
            const QRgb colour = pSrc[col] | 0xFF000000u;
            const bool bWhite = (colour & 0x00FFFFFFu) == 0x00FFFFFFu;
            const QRgb mask = bWhite ? 0xFFFFFFFFu : 0xFF000000u;  // SRCAND with the mask
            pDst[x + col] = (pDst[x + col] & mask) | colour;       // SRCPAINT with the picture
        }
    }
}
