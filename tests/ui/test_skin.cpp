// The skin as the program carries it: every bitmap at its size and in its
// 8-bit palette format, and the window surface laid out where the window's
// controls need it.
#include "ui/Resources.h"
#include "ui/SkinPaint.h"

#include <QColor>
#include <QFile>
#include <QImage>
#include <QRect>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using orvanta::LoadBitmapResource;

struct ButtonImages {
    const char* name;
    int nNormal, nPressed, nFocus;
    int x;  // place in the window's button band
};

const ButtonImages BUTTONS[] = {
    {"options", 150, 140, 139, 14},
    {"homepage", 151, 142, 141, 157},
    {"game", 152, 145, 144, 302},
    {"exit", 153, 147, 146, 446},
};

void PrintTo(const ButtonImages& b, std::ostream* os)
{
    *os << b.name;
}

constexpr int BAND_TOP = 158;
constexpr QRect BAR_FILE{339, 257, 217, 9};
constexpr QRect BAR_TOTAL{339, 300, 217, 9};
constexpr QRect STATUS_AND_COUNTERS[] = {
    {338, 229, 230, 15}, {390, 270, 163, 15}, {430, 285, 123, 15}, {430, 315, 123, 15}, {430, 330, 123, 15},
};

std::uint32_t Le(const QByteArray& bytes, int offset, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes[offset + i]);
    return value;
}

int Luma(QRgb rgb)
{
    return qGray(rgb);
}

double MeanLuma(const QImage& image, const QRect& area)
{
    double sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            sum += Luma(image.pixel(x, y));
    return sum / double(area.width() * area.height());
}

// Share of pixels that differ between two images of one size.
double Difference(const QImage& a, const QImage& b)
{
    int nDiffer = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            nDiffer += a.pixel(x, y) != b.pixel(x, y);
    return double(nDiffer) / double(a.width() * a.height());
}

// Mean and largest difference of one colour channel between two images.
std::pair<double, int> ChannelDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    int nPeak = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (const int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) {
                sum += std::abs(d);
                nPeak = std::max(nPeak, std::abs(d));
            }
        }
    return {sum / double(3 * a.width() * a.height()), nPeak};
}

struct BitmapSize {
    int nId;
    int w, h;
};

std::vector<BitmapSize> AllBitmaps()
{
    std::vector<BitmapSize> all = {{138, 600, 385}};
    for (const ButtonImages& b : BUTTONS)
        for (int nId : {b.nNormal, b.nPressed, b.nFocus})
            all.push_back({nId, 140, 41});
    return all;
}

TEST(SkinResources, EveryBitmapLoadsAtItsSizeFromAnEightBitPaletteFile)
{
    for (const BitmapSize& bitmap : AllBitmaps()) {
        SCOPED_TRACE(bitmap.nId);
        const QImage image = LoadBitmapResource(bitmap.nId);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(bitmap.w, bitmap.h));
        EXPECT_EQ(image.format(), QImage::Format_Indexed8);

        QFile file(QStringLiteral(":/bitmaps/%1.bmp").arg(bitmap.nId));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        ASSERT_GE(bytes.size(), 54 + 256 * 4);
        EXPECT_EQ(bytes.left(2), QByteArray("BM"));
        EXPECT_EQ(Le(bytes, 14, 4), 40u) << "a plain device-independent bitmap header";
        EXPECT_EQ(Le(bytes, 18, 4), std::uint32_t(bitmap.w));
        EXPECT_EQ(Le(bytes, 22, 4), std::uint32_t(bitmap.h));
        EXPECT_EQ(Le(bytes, 28, 2), 8u) << "bits per pixel";
        EXPECT_EQ(Le(bytes, 30, 4), 0u) << "uncompressed";
        const std::uint32_t nColours = Le(bytes, 46, 4);
        EXPECT_TRUE(nColours == 0 || nColours == 256) << nColours;
        const std::uint32_t nRow = (std::uint32_t(bitmap.w) + 3) & ~3u;
        EXPECT_EQ(Le(bytes, 10, 4), 54u + 256u * 4u) << "the palette sits between header and pixels";
        EXPECT_EQ(std::uint32_t(bytes.size()), 54u + 256u * 4u + nRow * std::uint32_t(bitmap.h));
    }
    EXPECT_TRUE(LoadBitmapResource(137).isNull());
    EXPECT_TRUE(LoadBitmapResource(0).isNull());
}

TEST(SkinResources, IconLoads)
{
    const QImage icon(QStringLiteral(":/icons/130.png"));
    ASSERT_FALSE(icon.isNull());
    EXPECT_TRUE(icon.size() == QSize(32, 32) || icon.size() == QSize(48, 48)) << icon.width();
    EXPECT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << "round, on a clear ground";
    EXPECT_EQ(qAlpha(icon.pixel(icon.width() / 2, icon.height() / 2)), 255);
    EXPECT_FALSE(orvanta::LoadIconResource(orvanta::IDI_UPDATER).isNull());
}

class SkinSurface : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_skin = LoadBitmapResource(138).convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(m_skin.size(), QSize(600, 385));
    }
    QImage m_skin;
};

TEST_F(SkinSurface, BarTracksLieExactlyUnderTheBars)
{
    const QRgb track = m_skin.pixel(BAR_FILE.topLeft());
    EXPECT_LT(Luma(track), 80) << "a dark track on the light panel";
    for (const QRect& bar : {BAR_FILE, BAR_TOTAL}) {
        for (int y = bar.top(); y <= bar.bottom(); ++y)
            for (int x = bar.left(); x <= bar.right(); ++x)
                ASSERT_EQ(m_skin.pixel(x, y), track) << x << "," << y;
        // Right around it the track ends: its edge is part of the frame.
        const int xs[] = {bar.left() - 3, bar.right() + 3};
        for (int x : xs)
            EXPECT_NE(m_skin.pixel(x, bar.center().y()), track) << x;
        EXPECT_NE(m_skin.pixel(bar.center().x(), bar.top() - 3), track);
        EXPECT_NE(m_skin.pixel(bar.center().x(), bar.bottom() + 3), track);
    }
}

TEST_F(SkinSurface, TextRectanglesAreWhiteOnALightPanel)
{
    for (const QRect& r : STATUS_AND_COUNTERS) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                ASSERT_EQ(m_skin.pixel(x, y) & 0xFFFFFFu, 0xFFFFFFu) << x << "," << y;
    }
    // The panel around the texts and bars is light, so the white rectangles
    // sit on it without a hard edge.
    EXPECT_GT(MeanLuma(m_skin, QRect(312, 208, 24, 140)), 190);
    EXPECT_GT(MeanLuma(m_skin, QRect(560, 250, 25, 60)), 190);
}

TEST_F(SkinSurface, ButtonBandHoldsEachNormalImageAtItsPlace)
{
    // Each place of the band shows its own button's normal image, up to the
    // rounding of the two pictures' palettes, and not any other button's.
    for (const ButtonImages& slot : BUTTONS) {
        SCOPED_TRACE(slot.name);
        const QImage band = m_skin.copy(slot.x, BAND_TOP, 140, 41);
        for (const ButtonImages& b : BUTTONS) {
            const QImage normal = LoadBitmapResource(b.nNormal).convertToFormat(QImage::Format_RGB32);
            const auto [mean, peak] = ChannelDifference(band, normal);
            if (&b == &slot) {
                EXPECT_LT(mean, 3.0);
                EXPECT_LT(peak, 24);
            } else {
                EXPECT_GT(peak, 100) << "the label of " << b.name << " is not at this place";
            }
        }
    }
    // Between and beside the buttons the band is the same dark metal.
    for (const QRect& gap : {QRect(0, BAND_TOP, 14, 41), QRect(154, BAND_TOP, 3, 41), QRect(586, BAND_TOP, 14, 41)})
        EXPECT_LT(MeanLuma(m_skin, gap), 70) << gap.x();
    EXPECT_LT(MeanLuma(m_skin, QRect(0, BAND_TOP, 600, 41)), 90);
}

TEST_F(SkinSurface, TitleStripAndBannerFrameTheTop)
{
    // A dark strip with light lettering along the top, then a picture with
    // more going on than a flat fill.
    const QRect strip(30, 4, 140, 18);
    EXPECT_LT(MeanLuma(m_skin, strip), 110);
    int nLight = 0;
    for (int y = strip.top(); y <= strip.bottom(); ++y)
        for (int x = strip.left(); x <= strip.right(); ++x)
            nLight += Luma(m_skin.pixel(x, y)) > 170;
    EXPECT_GT(nLight, 60) << "the title is written in the strip";

    std::vector<QRgb> colours;
    for (int y = 30; y < 150; y += 3)
        for (int x = 0; x < 600; x += 3)
            colours.push_back(m_skin.pixel(x, y));
    std::sort(colours.begin(), colours.end());
    const auto nDistinct = std::unique(colours.begin(), colours.end()) - colours.begin();
    EXPECT_GT(nDistinct, 100);
}

TEST_F(SkinSurface, ShowsUnchangedThroughTheWhiteKeyedMask)
{
    // Whatever lay under the window, the masked blit must give the picture
    // itself: white stays white, every other colour replaces the ground.
    for (const QColor ground : {QColor(Qt::white), QColor(200, 30, 40), QColor(Qt::black)}) {
        QImage surface(600, 385, QImage::Format_RGB32);
        surface.fill(ground);
        DrawMaskedBitmap(surface, 0, 0, 600, 385, LoadBitmapResource(138));
        for (int y = 0; y < 385; y += 2) {
            for (int x = 0; x < 600; x += 2) {
                const QRgb want = m_skin.pixel(x, y);
                const QRgb got = surface.pixel(x, y);
                if ((want & 0xFFFFFFu) == 0xFFFFFFu)
                    ASSERT_EQ(got & 0xFFFFFFu, 0xFFFFFFu) << x << "," << y;
                else
                    ASSERT_EQ(got, want) << x << "," << y;
            }
        }
    }
}

class ButtonArt : public ::testing::TestWithParam<ButtonImages> {};

TEST_P(ButtonArt, StatesDifferAndFollowTheBandsLook)
{
    const ButtonImages& b = GetParam();
    const QImage normal = LoadBitmapResource(b.nNormal).convertToFormat(QImage::Format_RGB32);
    const QImage focus = LoadBitmapResource(b.nFocus).convertToFormat(QImage::Format_RGB32);
    const QImage pressed = LoadBitmapResource(b.nPressed).convertToFormat(QImage::Format_RGB32);

    EXPECT_GT(Difference(normal, focus), 0.3);
    EXPECT_GT(Difference(normal, pressed), 0.3);
    EXPECT_GT(Difference(focus, pressed), 0.3);

    // Normal: dark plate, light label. Focus: brighter (the glow), light
    // label. Pressed: the brightest plate, with a dark label.
    const QRect plate(4, 5, 132, 31);
    const double nNormal = MeanLuma(normal, plate), nFocus = MeanLuma(focus, plate),
                 nPressed = MeanLuma(pressed, plate);
    EXPECT_LT(nNormal, 80);
    EXPECT_GT(nFocus, nNormal + 10);
    EXPECT_GT(nPressed, 140);

    const QRect label(30, 10, 80, 22);
    const auto extremes = [&label](const QImage& image) {
        int nMin = 255, nMax = 0;
        for (int y = label.top(); y <= label.bottom(); ++y)
            for (int x = label.left(); x <= label.right(); ++x) {
                nMin = std::min(nMin, Luma(image.pixel(x, y)));
                nMax = std::max(nMax, Luma(image.pixel(x, y)));
            }
        return std::pair(nMin, nMax);
    };
    EXPECT_GT(extremes(normal).second, 200) << "light label";
    EXPECT_GT(extremes(focus).second, 220) << "light label";
    EXPECT_LT(extremes(pressed).first, 70) << "dark label";
}

INSTANTIATE_TEST_SUITE_P(Buttons, ButtonArt, ::testing::ValuesIn(BUTTONS),
                         [](const ::testing::TestParamInfo<ButtonImages>& param) {
                             return std::string(param.param.name);
                         });

} // namespace
