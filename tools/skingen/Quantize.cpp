#include "Quantize.h"

#include <QHash>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

namespace skingen {
namespace {

constexpr int PALETTE_SIZE = 256;

struct CColourCount {
    std::array<int, 3> c;  // r, g, b
    std::int64_t nCount;
};

struct CBox {
    std::size_t nBegin;
    std::size_t nEnd;  // one past the last colour
    std::int64_t nWeight;
    int nAxis;
    int nRange;
};

void Measure(CBox& box, const std::vector<CColourCount>& colours)
{
    std::array<int, 3> lo{255, 255, 255};
    std::array<int, 3> hi{0, 0, 0};
    box.nWeight = 0;
    for (std::size_t i = box.nBegin; i < box.nEnd; ++i) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], colours[i].c[k]);
            hi[k] = std::max(hi[k], colours[i].c[k]);
        }
        box.nWeight += colours[i].nCount;
    }
    // Green counts most to the eye, blue least.
    constexpr std::array<int, 3> WEIGHT{3, 4, 2};
    box.nAxis = 0;
    box.nRange = -1;
    for (int k = 0; k < 3; ++k) {
        const int nRange = (hi[k] - lo[k]) * WEIGHT[k];
        if (nRange > box.nRange) {
            box.nRange = nRange;
            box.nAxis = k;
        }
    }
}

int Distance(const std::array<int, 3>& a, const std::array<int, 3>& b)
{
    const int dr = a[0] - b[0], dg = a[1] - b[1], db = a[2] - b[2];
    return 3 * dr * dr + 4 * dg * dg + 2 * db * db;
}

std::vector<std::array<int, 3>> MedianCut(std::vector<CColourCount>& colours, int nWanted)
{
    std::vector<std::array<int, 3>> palette;
    if (colours.empty() || nWanted <= 0)
        return palette;
    std::vector<CBox> boxes;
    CBox first{0, colours.size(), 0, 0, 0};
    Measure(first, colours);
    boxes.push_back(first);
    while (int(boxes.size()) < nWanted) {
        // Split the box that carries the most error: weight times spread.
        auto it = std::max_element(boxes.begin(), boxes.end(), [](const CBox& a, const CBox& b) {
            const bool bA = a.nEnd - a.nBegin > 1, bB = b.nEnd - b.nBegin > 1;
            if (bA != bB)
                return !bA;
            return double(a.nWeight) * a.nRange < double(b.nWeight) * b.nRange;
        });
        if (it->nEnd - it->nBegin < 2)
            break;
        CBox box = *it;
        const int nAxis = box.nAxis;
        std::stable_sort(colours.begin() + std::ptrdiff_t(box.nBegin), colours.begin() + std::ptrdiff_t(box.nEnd),
                         [nAxis](const CColourCount& a, const CColourCount& b) {
                             return a.c[std::size_t(nAxis)] < b.c[std::size_t(nAxis)];
                         });
        std::int64_t nHalf = 0;
        std::size_t nSplit = box.nBegin + 1;
        for (std::size_t i = box.nBegin; i < box.nEnd - 1; ++i) {
            nHalf += colours[i].nCount;
            nSplit = i + 1;
            if (nHalf * 2 >= box.nWeight)
                break;
        }
        CBox lower{box.nBegin, nSplit, 0, 0, 0};
        CBox upper{nSplit, box.nEnd, 0, 0, 0};
        Measure(lower, colours);
        Measure(upper, colours);
        *it = lower;
        boxes.push_back(upper);
    }
    for (const CBox& box : boxes) {
        std::array<std::int64_t, 3> sum{0, 0, 0};
        for (std::size_t i = box.nBegin; i < box.nEnd; ++i)
            for (int k = 0; k < 3; ++k)
                sum[k] += std::int64_t(colours[i].c[k]) * colours[i].nCount;
        std::array<int, 3> mean{};
        for (int k = 0; k < 3; ++k)
            mean[k] = int((sum[k] + box.nWeight / 2) / std::max<std::int64_t>(1, box.nWeight));
        palette.push_back(mean);
    }
    return palette;
}

int Nearest(const std::vector<std::array<int, 3>>& palette, const std::array<int, 3>& c)
{
    int nBest = 0;
    int nBestDistance = std::numeric_limits<int>::max();
    for (int i = 0; i < int(palette.size()); ++i) {
        const int d = Distance(palette[std::size_t(i)], c);
        if (d < nBestDistance) {
            nBestDistance = d;
            nBest = i;
        }
    }
    return nBest;
}

std::array<int, 3> Split(QRgb rgb)
{
    return {qRed(rgb), qGreen(rgb), qBlue(rgb)};
}

} // namespace

QImage ToIndexed8(const QImage& picture, const QList<QRgb>& pinned)
{
    const QImage src = picture.convertToFormat(QImage::Format_RGB32);
    const int w = src.width(), h = src.height();

    QHash<QRgb, std::int64_t> histogram;
    for (int y = 0; y < h; ++y) {
        const auto* pLine = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        for (int x = 0; x < w; ++x)
            ++histogram[pLine[x] | 0xFF000000u];
    }

    std::vector<std::array<int, 3>> palette;
    QHash<QRgb, int> exact;  // pinned colour -> its entry
    for (QRgb rgb : pinned) {
        rgb |= 0xFF000000u;
        if (exact.contains(rgb))
            continue;
        exact.insert(rgb, int(palette.size()));
        palette.push_back(Split(rgb));
    }
    const int nPinned = int(palette.size());

    std::vector<CColourCount> colours;
    colours.reserve(std::size_t(histogram.size()));
    for (auto it = histogram.cbegin(); it != histogram.cend(); ++it) {
        if (!exact.contains(it.key()))
            colours.push_back({Split(it.key()), it.value()});
    }

    // The hash's order changes from run to run; the palette must not.
    std::sort(colours.begin(), colours.end(),
              [](const CColourCount& a, const CColourCount& b) { return a.c < b.c; });
    std::vector<std::array<int, 3>> free = MedianCut(colours, PALETTE_SIZE - nPinned);
    // A few rounds of k-means pull each entry to the centre of the colours it serves.
    for (int nRound = 0; nRound < 6 && !free.empty(); ++nRound) {
        std::vector<std::array<std::int64_t, 4>> sums(free.size(), {0, 0, 0, 0});
        for (const CColourCount& cc : colours) {
            auto& s = sums[std::size_t(Nearest(free, cc.c))];
            for (int k = 0; k < 3; ++k)
                s[std::size_t(k)] += std::int64_t(cc.c[std::size_t(k)]) * cc.nCount;
            s[3] += cc.nCount;
        }
        for (std::size_t i = 0; i < free.size(); ++i) {
            if (sums[i][3] == 0)
                continue;
            for (int k = 0; k < 3; ++k)
                free[i][std::size_t(k)] = int((sums[i][std::size_t(k)] + sums[i][3] / 2) / sums[i][3]);
        }
    }
    palette.insert(palette.end(), free.begin(), free.end());
    while (palette.size() < std::size_t(PALETTE_SIZE))
        palette.push_back({0, 0, 0});

    QList<QRgb> table;
    for (const auto& c : palette)
        table.append(qRgb(c[0], c[1], c[2]));

    QImage out(w, h, QImage::Format_Indexed8);
    out.setColorTable(table);

    // Floyd-Steinberg over the free colours only: a pinned pixel is neither
    // moved by its neighbours' error nor passes any on.
    std::vector<std::array<int, 3>> errNow(std::size_t(w) + 2, {0, 0, 0});
    std::vector<std::array<int, 3>> errNext(std::size_t(w) + 2, {0, 0, 0});
    QHash<QRgb, int> cache;
    // Free pixels never take a pinned entry: those mark regions.
    const std::vector<std::array<int, 3>> freeView(palette.begin() + nPinned, palette.end());
    for (int y = 0; y < h; ++y) {
        const auto* pLine = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        uchar* pOut = out.scanLine(y);
        std::fill(errNext.begin(), errNext.end(), std::array<int, 3>{0, 0, 0});
        for (int x = 0; x < w; ++x) {
            const QRgb rgb = pLine[x] | 0xFF000000u;
            if (auto itExact = exact.constFind(rgb); itExact != exact.cend()) {
                pOut[x] = uchar(*itExact);
                continue;
            }
            std::array<int, 3> want = Split(rgb);
            const auto& e = errNow[std::size_t(x) + 1];
            for (int k = 0; k < 3; ++k)
                want[std::size_t(k)] = std::clamp(want[std::size_t(k)] + e[std::size_t(k)] / 16, 0, 255);
            const QRgb key = qRgb(want[0], want[1], want[2]);
            int nIndex;
            if (auto it = cache.constFind(key); it != cache.cend()) {
                nIndex = *it;
            } else {
                nIndex = nPinned + Nearest(freeView, want);
                cache.insert(key, nIndex);
            }
            pOut[x] = uchar(nIndex);
            const auto& got = palette[std::size_t(nIndex)];
            for (int k = 0; k < 3; ++k) {
                // Half strength: enough to break gradient bands, too little to speckle flat fills.
                const int err = (want[std::size_t(k)] - got[std::size_t(k)]) / 2;
                errNow[std::size_t(x) + 2][std::size_t(k)] += err * 7;
                errNext[std::size_t(x)][std::size_t(k)] += err * 3;
                errNext[std::size_t(x) + 1][std::size_t(k)] += err * 5;
                errNext[std::size_t(x) + 2][std::size_t(k)] += err * 1;
            }
        }
        std::swap(errNow, errNext);
    }
    return out;
}

} // namespace skingen
