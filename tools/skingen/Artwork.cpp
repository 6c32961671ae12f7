#include "Artwork.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace skingen {
namespace {

QColor Hex(std::uint32_t rgb, int alpha = 255)
{
    return QColor(int((rgb >> 16) & 0xFF), int((rgb >> 8) & 0xFF), int(rgb & 0xFF), alpha);
}

// The palette of the launcher: night blue above, dark violet metal around
// the controls, gold for every edge, parchment where the player reads.
constexpr std::uint32_t GOLD_LIGHT = 0xF6DC9A;
constexpr std::uint32_t GOLD = 0xD6A850;
constexpr std::uint32_t GOLD_DARK = 0x7A5A2E;
constexpr std::uint32_t METAL_TOP = 0x2E2540;
constexpr std::uint32_t METAL_MID = 0x1D1729;
constexpr std::uint32_t METAL_BOTTOM = 0x120E1A;
constexpr std::uint32_t INK = 0x4E3417;
constexpr std::uint32_t INK_SOFT = 0x8A7250;

// Every random choice comes from this fixed sequence, so the tool makes the
// same files on every run.
class CRandom final {
public:
    explicit CRandom(std::uint32_t seed) : m_dwState(seed ? seed : 1u) {}
    std::uint32_t Next()
    {
        m_dwState ^= m_dwState << 13;
        m_dwState ^= m_dwState >> 17;
        m_dwState ^= m_dwState << 5;
        return m_dwState;
    }
    double Unit() { return double(Next() & 0xFFFFFF) / double(0x1000000); }
    double Range(double lo, double hi) { return lo + (hi - lo) * Unit(); }

private:
    std::uint32_t m_dwState;
};

QFont Font(const char* family, double pixelSize, QFont::Weight weight = QFont::Normal, double spacing = 0)
{
    QFont font(QString::fromLatin1(family));
    font.setPixelSize(int(std::lround(pixelSize)));
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferVerticalHinting);
    if (spacing != 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

// Box blur of a premultiplied image, three passes: close enough to a
// Gaussian for glows and shadows.
void Blur(QImage& image, int nRadius)
{
    if (nRadius < 1)
        return;
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = image.width(), h = image.height();
    std::vector<std::uint32_t> line(std::size_t(std::max(w, h)));
    const auto pass = [&](bool bHorizontal) {
        const int nLines = bHorizontal ? h : w;
        const int nLength = bHorizontal ? w : h;
        for (int l = 0; l < nLines; ++l) {
            const auto at = [&](int i) -> QRgb& {
                return bHorizontal ? reinterpret_cast<QRgb*>(image.scanLine(l))[i]
                                   : reinterpret_cast<QRgb*>(image.scanLine(i))[l];
            };
            for (int i = 0; i < nLength; ++i)
                line[std::size_t(i)] = at(i);
            int sum[4] = {0, 0, 0, 0};
            const auto add = [&](int i, int sign) {
                if (i < 0 || i >= nLength)
                    return;
                const std::uint32_t p = line[std::size_t(i)];
                for (int k = 0; k < 4; ++k)
                    sum[k] += sign * int((p >> (8 * k)) & 0xFF);
            };
            for (int i = -nRadius; i <= nRadius; ++i)
                add(i, 1);
            const int nWindow = 2 * nRadius + 1;
            for (int i = 0; i < nLength; ++i) {
                std::uint32_t out = 0;
                for (int k = 0; k < 4; ++k)
                    out |= std::uint32_t(std::clamp(sum[k] / nWindow, 0, 255)) << (8 * k);
                // Keep premultiplication valid after rounding.
                const std::uint32_t a = out >> 24;
                for (int k = 0; k < 3; ++k) {
                    const std::uint32_t c = (out >> (8 * k)) & 0xFF;
                    if (c > a)
                        out = (out & ~(0xFFu << (8 * k))) | (a << (8 * k));
                }
                at(i) = out;
                add(i - nRadius, -1);
                add(i + nRadius + 1, 1);
            }
        }
    };
    for (int n = 0; n < 3; ++n) {
        pass(true);
        pass(false);
    }
}

QImage Layer(QSize size)
{
    QImage layer(size, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    return layer;
}

// A soft halo of a shape: the shape filled in one colour, blurred. The
// layer has the painter's own resolution, so large artwork glows as finely.
void DrawGlow(QPainter& p, const QPainterPath& shape, const QColor& colour, int nRadius, QPointF offset = {})
{
    const double scale = std::max(1.0, p.transform().m11());
    const QRectF bounds = shape.boundingRect().adjusted(-3 * nRadius, -3 * nRadius, 3 * nRadius, 3 * nRadius);
    const QSize size = bounds.size().toSize() + QSize(2, 2);
    QImage layer = Layer(size * scale);
    {
        QPainter lp(&layer);
        lp.setRenderHint(QPainter::Antialiasing);
        lp.scale(scale, scale);
        lp.translate(-bounds.topLeft());
        lp.fillPath(shape, colour);
    }
    Blur(layer, int(std::lround(nRadius * scale)));
    if (scale == 1.0)
        p.drawImage(bounds.topLeft() + offset, layer);
    else
        p.drawImage(QRectF(bounds.topLeft() + offset, QSizeF(size)), layer);
}

QPainterPath TextPath(const QFont& font, const QString& text, QPointF centre)
{
    QPainterPath path;
    path.addText(0, 0, font, text);
    const QRectF r = path.boundingRect();
    path.translate(centre - r.center());
    return path;
}

void DrawTextLine(QPainter& p, const QFont& font, const QColor& colour, QPointF baseline, const QString& text,
                  const QColor& shadow = Qt::transparent)
{
    p.setFont(font);
    if (shadow.alpha() > 0) {
        p.setPen(shadow);
        p.drawText(baseline + QPointF(0, 1), text);
    }
    p.setPen(colour);
    p.drawText(baseline, text);
}

// A rhombus, the ornament of the frames.
QPainterPath Diamond(QPointF c, double rx, double ry)
{
    QPainterPath path;
    path.moveTo(c.x(), c.y() - ry);
    path.lineTo(c.x() + rx, c.y());
    path.lineTo(c.x(), c.y() + ry);
    path.lineTo(c.x() - rx, c.y());
    path.closeSubpath();
    return path;
}

// Four-pointed star with concave sides.
QPainterPath Star(QPointF c, double r, double waist)
{
    QPainterPath path;
    for (int i = 0; i < 8; ++i) {
        const double angle = -std::numbers::pi / 2 + i * std::numbers::pi / 4;
        const double rr = (i % 2 == 0) ? r : r * waist;
        const QPointF pt(c.x() + rr * std::cos(angle), c.y() + rr * std::sin(angle));
        if (i == 0)
            path.moveTo(pt);
        else
            path.lineTo(pt);
    }
    path.closeSubpath();
    return path;
}

QLinearGradient GoldGradient(double y0, double y1)
{
    QLinearGradient g(0, y0, 0, y1);
    g.setColorAt(0.0, Hex(0xFFF4CC));
    g.setColorAt(0.45, Hex(GOLD_LIGHT));
    g.setColorAt(0.52, Hex(GOLD));
    g.setColorAt(1.0, Hex(0x8E5F22));
    return g;
}

// The house emblem: a gold ring on a night-blue disc, a four-pointed star
// inside and studs at the compass points.
void DrawEmblem(QPainter& p, QRectF box, double opacity = 1.0)
{
    p.save();
    p.setOpacity(opacity);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c = box.center();
    const double r = std::min(box.width(), box.height()) / 2;

    QRadialGradient disc(c, r);
    disc.setColorAt(0.0, Hex(0x3D3A78));
    disc.setColorAt(0.75, Hex(0x1B1638));
    disc.setColorAt(1.0, Hex(0x0E0B1C));
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(c, r * 0.94, r * 0.94);

    QPainterPath ring;
    ring.addEllipse(c, r * 0.94, r * 0.94);
    ring.addEllipse(c, r * 0.76, r * 0.76);
    ring.setFillRule(Qt::OddEvenFill);
    p.fillPath(ring, GoldGradient(c.y() - r, c.y() + r));
    p.setPen(QPen(Hex(0x3A250C, 200), std::max(0.6, r * 0.03)));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, r * 0.94, r * 0.94);
    p.drawEllipse(c, r * 0.76, r * 0.76);

    for (int i = 0; i < 4; ++i) {
        const double angle = i * std::numbers::pi / 2;
        const QPointF at(c.x() + r * 0.85 * std::cos(angle), c.y() + r * 0.85 * std::sin(angle));
        p.fillPath(Diamond(at, r * 0.12, r * 0.16), Hex(0xFFEDC0));
    }

    const QPainterPath star = Star(c, r * 0.62, 0.28);
    if (r > 12)
        DrawGlow(p, star, Hex(0xFFD27A, 170), std::max(1, int(r * 0.08)));
    p.fillPath(star, GoldGradient(c.y() - r * 0.62, c.y() + r * 0.62));
    p.fillPath(Star(c, r * 0.3, 0.3), Hex(0xFFF9E6, 150));
    p.restore();
}

// The glyphs of the big title are filled with metal, outlined in dark
// bronze and lifted from the sky by a warm halo and a shadow.
void DrawMetalText(QPainter& p, const QPainterPath& path, int nGlowRadius)
{
    const QRectF r = path.boundingRect();
    DrawGlow(p, path, Hex(0x000000, 220), 3, QPointF(0, 3));
    DrawGlow(p, path, Hex(0xFFC45A, 120), nGlowRadius);
    p.setPen(QPen(Hex(0x1E1006), 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
    p.fillPath(path, GoldGradient(r.top(), r.bottom()));
    // A thin bright rim along the upper edges of the letters.
    p.save();
    p.setClipPath(path);
    p.setPen(QPen(Hex(0xFFFBEA, 140), 1.0));
    p.drawPath(path.translated(0, 1.0));
    p.restore();
}

// A rounded frame with a dark outer line, a gold line and a dark inner line.
void DrawGoldFrame(QPainter& p, QRectF r, double radius)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Hex(0x050308), 1));
    p.drawRoundedRect(r.adjusted(-1.5, -1.5, 1.5, 1.5), radius + 1.5, radius + 1.5);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, Hex(GOLD_LIGHT));
    g.setColorAt(0.5, Hex(GOLD));
    g.setColorAt(1, Hex(GOLD_DARK));
    p.setPen(QPen(QBrush(g), 1));
    p.drawRoundedRect(r.adjusted(-0.5, -0.5, 0.5, 0.5), radius + 0.5, radius + 0.5);
    p.restore();
}

void DrawCornerOrnaments(QPainter& p, QRectF r)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF corners[] = {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()};
    for (const QPointF& c : corners)
        p.fillPath(Diamond(c, 3.5, 3.5), Hex(GOLD_LIGHT));
    for (const QPointF& c : corners)
        p.fillPath(Diamond(c, 1.5, 1.5), Hex(0x3A250C));
    p.restore();
}

// --- the banner: a moonlit range with a keep on its nearest ridge ---

struct CRidge {
    std::vector<double> y;  // height at every column
};

CRidge MakeRidge(CRandom& rnd, int nWidth, double base, double amplitude, double roughness)
{
    CRidge ridge;
    ridge.y.resize(std::size_t(nWidth) + 1);
    const double f1 = rnd.Range(0.008, 0.012), f2 = rnd.Range(0.02, 0.03), f3 = rnd.Range(0.05, 0.07);
    const double p1 = rnd.Range(0, 6.28), p2 = rnd.Range(0, 6.28), p3 = rnd.Range(0, 6.28);
    // Jitter at 6-pixel knots, interpolated, gives the rock its broken edge.
    std::vector<double> knots(std::size_t(nWidth / 6 + 3));
    for (double& k : knots)
        k = rnd.Range(-1, 1);
    for (int x = 0; x <= nWidth; ++x) {
        const double ridged = 1 - std::abs(std::sin(x * f1 + p1));
        const double s = 0.55 * ridged + 0.3 * (1 - std::abs(std::sin(x * f2 + p2))) +
                         0.15 * std::sin(x * f3 + p3);
        const int k = x / 6;
        const double t = (x % 6) / 6.0;
        const double jitter = knots[std::size_t(k)] * (1 - t) + knots[std::size_t(k) + 1] * t;
        ridge.y[std::size_t(x)] = base - amplitude * s + roughness * jitter;
    }
    return ridge;
}

QPainterPath RidgePath(const CRidge& ridge, double x0, double bottom)
{
    QPainterPath path;
    path.moveTo(x0, bottom);
    for (std::size_t x = 0; x < ridge.y.size(); ++x)
        path.lineTo(x0 + double(x), ridge.y[x]);
    path.lineTo(x0 + double(ridge.y.size() - 1), bottom);
    path.closeSubpath();
    return path;
}

void DrawKeep(QPainter& p, double cx, double groundY, const QColor& body, std::vector<QPointF>& windows)
{
    QPainterPath keep;
    const auto tower = [&](double x, double w, double top, double roofH) {
        keep.addRect(QRectF(x - w / 2, top, w, groundY - top + 4));
        QPainterPath roof;
        roof.moveTo(x - w / 2 - 1.5, top);
        roof.lineTo(x, top - roofH);
        roof.lineTo(x + w / 2 + 1.5, top);
        roof.closeSubpath();
        keep.addPath(roof);
        // A pennant on the spire.
        keep.addRect(QRectF(x - 0.4, top - roofH - 5, 0.8, 5));
        QPainterPath flag;
        flag.moveTo(x + 0.4, top - roofH - 5);
        flag.lineTo(x + 5, top - roofH - 4);
        flag.lineTo(x + 0.4, top - roofH - 3);
        flag.closeSubpath();
        keep.addPath(flag);
    };
    // Curtain wall with battlements.
    keep.addRect(QRectF(cx - 30, groundY - 16, 60, 20));
    for (int i = 0; i < 8; ++i)
        keep.addRect(QRectF(cx - 30 + i * 7.8, groundY - 19, 4, 3.5));
    tower(cx - 31, 9, groundY - 30, 11);
    tower(cx + 31, 9, groundY - 28, 10);
    tower(cx - 12, 11, groundY - 40, 14);
    tower(cx + 8, 14, groundY - 54, 19);
    tower(cx + 20, 7, groundY - 36, 10);
    keep.setFillRule(Qt::WindingFill);
    p.fillPath(keep, body);
    windows = {{cx + 8, groundY - 46}, {cx + 8, groundY - 38}, {cx - 12, groundY - 33},
               {cx - 31, groundY - 24}, {cx + 31, groundY - 22}, {cx + 20, groundY - 30},
               {cx - 4, groundY - 10}, {cx + 12, groundY - 10}};
}

void DrawPines(QPainter& p, CRandom& rnd, const CRidge& ridge, double x0, int nFrom, int nTo, const QColor& colour)
{
    QPainterPath pines;
    for (int x = nFrom; x < nTo; x += 3 + int(rnd.Unit() * 5)) {
        const double h = rnd.Range(5, 11);
        const double w = h * 0.45;
        const double base = ridge.y[std::size_t(std::clamp(x, 0, int(ridge.y.size()) - 1))] + 2;
        QPainterPath tree;
        tree.moveTo(x0 + x - w, base);
        tree.lineTo(x0 + x, base - h);
        tree.lineTo(x0 + x + w, base);
        tree.closeSubpath();
        pines.addPath(tree);
    }
    pines.setFillRule(Qt::WindingFill);
    p.fillPath(pines, colour);
}

void DrawSigil(QPainter& p, QPointF c, double r, const QColor& colour)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(colour, 1.2));
    p.drawEllipse(c, r, r);
    p.setPen(QPen(colour, 0.8));
    p.drawEllipse(c, r - 6, r - 6);
    p.drawEllipse(c, r * 0.42, r * 0.42);
    // Rune-like ticks between the rings.
    for (int i = 0; i < 72; ++i) {
        const double a = i * std::numbers::pi / 36;
        const double inner = (i % 6 == 0) ? r - 6 : r - 3.5;
        p.drawLine(QPointF(c.x() + inner * std::cos(a), c.y() + inner * std::sin(a)),
                   QPointF(c.x() + r * std::cos(a), c.y() + r * std::sin(a)));
    }
    // An eight-pointed star drawn as two squares.
    for (int k = 0; k < 2; ++k) {
        QPainterPath sq;
        for (int i = 0; i < 4; ++i) {
            const double a = k * std::numbers::pi / 4 + i * std::numbers::pi / 2 - std::numbers::pi / 2;
            const QPointF pt(c.x() + (r - 7) * std::cos(a), c.y() + (r - 7) * std::sin(a));
            if (i == 0)
                sq.moveTo(pt);
            else
                sq.lineTo(pt);
        }
        sq.closeSubpath();
        p.drawPath(sq);
    }
    p.restore();
}

void DrawBanner(QPainter& p, const QRect& area)
{
    p.save();
    p.setClipRect(area);
    p.setRenderHint(QPainter::Antialiasing);
    CRandom rnd(0x0A7A17u);

    QLinearGradient sky(0, area.top(), 0, area.bottom());
    sky.setColorAt(0.0, Hex(0x070A1F));
    sky.setColorAt(0.45, Hex(0x1A1D48));
    sky.setColorAt(0.75, Hex(0x343F78));
    sky.setColorAt(1.0, Hex(0x5D6A9E));
    p.fillRect(area, sky);

    const QPointF moon(536, area.top() + 32);
    QRadialGradient halo(moon, 150);
    halo.setColorAt(0.0, Hex(0xCFD8FF, 120));
    halo.setColorAt(0.25, Hex(0x8C9AD8, 55));
    halo.setColorAt(1.0, Hex(0x8C9AD8, 0));
    p.fillRect(area, halo);

    // Stars, thinning towards the horizon and away from the moon's glare.
    for (int i = 0; i < 170; ++i) {
        const double x = rnd.Range(area.left(), area.right());
        const double y = area.top() + std::pow(rnd.Unit(), 1.6) * area.height() * 0.75;
        const double dx = x - moon.x(), dy = y - moon.y();
        if (dx * dx + dy * dy < 45 * 45)
            continue;
        const double bright = rnd.Range(0.25, 1.0) * (1 - (y - area.top()) / area.height());
        const int a = int(255 * bright);
        if (rnd.Unit() < 0.06) {
            p.fillPath(Star(QPointF(x, y), 3.2, 0.22), Hex(0xFFFFFF, std::min(255, a + 40)));
        } else {
            p.setPen(Qt::NoPen);
            p.setBrush(Hex(rnd.Unit() < 0.3 ? 0xFFE9C4 : 0xDDE6FF, a));
            p.drawEllipse(QPointF(x, y), 0.7, 0.7);
        }
    }

    QRadialGradient moonFace(moon - QPointF(4, 4), 22);
    moonFace.setColorAt(0, Hex(0xFFFDF2));
    moonFace.setColorAt(1, Hex(0xE3D8B8));
    p.setPen(Qt::NoPen);
    p.setBrush(moonFace);
    p.drawEllipse(moon, 17, 17);
    p.setBrush(Hex(0xB9AE90, 40));
    p.drawEllipse(moon + QPointF(-5, 3), 5, 4);
    p.drawEllipse(moon + QPointF(6, -4), 3, 3);
    p.drawEllipse(moon + QPointF(3, 8), 2.5, 2);

    // Thin clouds drifting across the moon.
    for (int i = 0; i < 5; ++i) {
        QPainterPath cloud;
        const double cy = area.top() + 20 + i * 9 + rnd.Range(-3, 3);
        const double cx = rnd.Range(330, 600);
        cloud.addEllipse(QPointF(cx, cy), rnd.Range(40, 90), rnd.Range(2.5, 4.5));
        DrawGlow(p, cloud, Hex(0xAFB9E6, 45), 3);
    }

    const double x0 = area.left();
    const double bottom = area.bottom() + 1;
    const CRidge far = MakeRidge(rnd, area.width(), area.top() + 92, 34, 2.5);
    const CRidge mid = MakeRidge(rnd, area.width(), area.top() + 112, 28, 2.0);
    const CRidge nearRidge = MakeRidge(rnd, area.width(), area.top() + 130, 22, 1.6);

    p.fillPath(RidgePath(far, x0, bottom), Hex(0x3C4679));
    QLinearGradient mist1(0, area.top() + 70, 0, bottom);
    mist1.setColorAt(0, Hex(0x93A3D6, 0));
    mist1.setColorAt(1, Hex(0x93A3D6, 90));
    p.fillRect(area, mist1);

    p.fillPath(RidgePath(mid, x0, bottom), Hex(0x262B55));
    DrawPines(p, rnd, mid, x0, 0, area.width(), Hex(0x262B55));
    QLinearGradient mist2(0, area.top() + 95, 0, bottom);
    mist2.setColorAt(0, Hex(0x7080B8, 0));
    mist2.setColorAt(1, Hex(0x7080B8, 70));
    p.fillRect(area, mist2);

    // The keep stands on the near ridge, below the moon.
    const double keepX = 492;
    const double ground = nearRidge.y[std::size_t(keepX - x0)] + 2;
    const QColor nearColour = Hex(0x121229);
    std::vector<QPointF> windows;
    QPainterPath hill;
    hill.addEllipse(QPointF(keepX, ground + 8), 52, 14);
    p.fillPath(hill, nearColour);
    p.fillPath(RidgePath(nearRidge, x0, bottom), nearColour);
    DrawKeep(p, keepX, ground, nearColour, windows);
    DrawPines(p, rnd, nearRidge, x0, 0, 420, nearColour);
    DrawPines(p, rnd, nearRidge, x0, 560, area.width(), nearColour);
    for (const QPointF& w : windows) {
        QPainterPath lit;
        lit.addRect(QRectF(w.x() - 0.8, w.y() - 1.5, 1.6, 3));
        DrawGlow(p, lit, Hex(0xFFB040, 200), 2);
        p.fillPath(lit, Hex(0xFFE0A0));
    }

    // Ground mist along the bottom edge.
    QLinearGradient haze(0, bottom - 22, 0, bottom);
    haze.setColorAt(0, Hex(0x0E0B18, 0));
    haze.setColorAt(1, Hex(0x0E0B18, 230));
    p.fillRect(area, haze);

    // The title and its sigil.
    const QPointF logoCentre(214, area.top() + 56);
    DrawSigil(p, logoCentre + QPointF(0, 4), 60, Hex(GOLD_LIGHT, 38));
    const QPainterPath title = TextPath(Font("NanumMyeongjo", 46, QFont::Bold, 4), QStringLiteral("ORVANTA"),
                                        logoCentre);
    DrawMetalText(p, title, 7);

    const QRectF titleBox = title.boundingRect();
    const double subY = titleBox.bottom() + 14;
    const QFont sub = Font("NanumMyeongjo", 13, QFont::Bold, 7);
    const QPainterPath online = TextPath(sub, QStringLiteral("ONLINE"), QPointF(logoCentre.x() + 3, subY));
    DrawGlow(p, online, Hex(0x000000, 200), 2, QPointF(0, 1));
    p.fillPath(online, Hex(0xEBDDB8));
    const QRectF onlineBox = online.boundingRect();
    QLinearGradient ruleLeft(titleBox.left(), 0, onlineBox.left() - 10, 0);
    ruleLeft.setColorAt(0, Hex(GOLD, 0));
    ruleLeft.setColorAt(1, Hex(GOLD_LIGHT));
    QLinearGradient ruleRight(onlineBox.right() + 10, 0, titleBox.right(), 0);
    ruleRight.setColorAt(0, Hex(GOLD_LIGHT));
    ruleRight.setColorAt(1, Hex(GOLD, 0));
    p.fillRect(QRectF(titleBox.left(), subY - 0.5, onlineBox.left() - 10 - titleBox.left(), 1.2), ruleLeft);
    p.fillRect(QRectF(onlineBox.right() + 10, subY - 0.5, titleBox.right() - onlineBox.right() - 10, 1.2),
               ruleRight);
    p.fillPath(Diamond(QPointF(onlineBox.left() - 7, subY), 2.5, 2.5), Hex(GOLD_LIGHT));
    p.fillPath(Diamond(QPointF(onlineBox.right() + 7, subY), 2.5, 2.5), Hex(GOLD_LIGHT));

    const QPainterPath motto = TextPath(Font("NanumMyeongjo", 12, QFont::Bold, 1),
                                        QStringLiteral("잊혀진 왕국으로의 귀환"),
                                        QPointF(logoCentre.x() + 2, subY + 17));
    DrawGlow(p, motto, Hex(0x000000, 230), 2, QPointF(0, 1));
    p.fillPath(motto, Hex(0xD9D2E8));
    p.restore();
}

void FillMetal(QPainter& p, const QRectF& r)
{
    QLinearGradient g(0, r.top(), 0, r.bottom());
    g.setColorAt(0, Hex(METAL_TOP));
    g.setColorAt(0.5, Hex(METAL_MID));
    g.setColorAt(1, Hex(METAL_BOTTOM));
    p.fillRect(r, g);
}

void DrawTitleStrip(QPainter& p)
{
    const QRectF strip(0, 0, SKIN_WIDTH, 26);
    QLinearGradient g(0, 0, 0, strip.bottom());
    g.setColorAt(0, Hex(0x2A2136));
    g.setColorAt(1, Hex(0x110D18));
    p.fillRect(strip, g);
    p.fillRect(QRectF(0, 25, SKIN_WIDTH, 1), Hex(GOLD_DARK));

    DrawEmblem(p, QRectF(8, 3, 20, 20));
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawTextLine(p, Font("NanumBarunGothic", 13, QFont::Bold), Hex(0xF0E2BC), QPointF(34, 18),
                 QStringLiteral("Orvanta 온라인"), Hex(0x000000, 200));
    const QFont right = Font("NanumMyeongjo", 11, QFont::Bold, 2);
    const QString text = QStringLiteral("ORVANTA ONLINE");
    const double w = QFontMetricsF(right).horizontalAdvance(text);
    DrawTextLine(p, right, Hex(0xA88F62), QPointF(SKIN_WIDTH - 14 - w, 17), text, Hex(0x000000, 200));
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(Diamond(QPointF(SKIN_WIDTH - 14 - w - 9, 13), 2.5, 2.5), Hex(GOLD));
}

void DrawBandGaps(QPainter& p)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const double mid = (BAND_TOP + BAND_BOTTOM + 1) / 2.0;
    // Between and beside the buttons: slim gold pins.
    const double gaps[] = {7, 155.5, 299.5, 444, 593};
    for (double x : gaps) {
        p.fillRect(QRectF(x - 0.5, BAND_TOP + 6, 1, BUTTON_HEIGHT - 12), Hex(GOLD_DARK));
        p.fillPath(Diamond(QPointF(x, mid), 2.2, 4.5), Hex(GOLD_LIGHT));
    }
    p.restore();
}

void DrawRightPanel(QPainter& p)
{
    const QRectF panel(310, 206, 280, 149);
    QLinearGradient parchment(0, panel.top(), 0, panel.bottom());
    parchment.setColorAt(0, Hex(0xF5EEDD));
    parchment.setColorAt(1, Hex(0xE8DCC1));
    p.fillRect(panel, parchment);
    DrawGoldFrame(p, panel, 2);

    p.setRenderHint(QPainter::TextAntialiasing);
    const QFont heading = Font("NanumBarunGothic", 12, QFont::Bold);
    const QFont label = Font("NanumBarunGothic", 11, QFont::Bold);
    const QFont small = Font("NanumBarunGothic", 11);

    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(Diamond(QPointF(330, 217), 3, 3), Hex(GOLD));
    p.restore();
    DrawTextLine(p, heading, Hex(INK), QPointF(338, 222), QStringLiteral("업데이트 진행 상황"));
    QLinearGradient rule(440, 0, 585, 0);
    rule.setColorAt(0, Hex(GOLD, 200));
    rule.setColorAt(1, Hex(GOLD, 0));
    p.fillRect(QRectF(452, 216, 116, 1), rule);

    // The tracks under the two bars, sunk into the paper.
    for (const QRect& bar : {BAR_FILE, BAR_TOTAL}) {
        p.fillRect(QRectF(bar).adjusted(-1, -1, 1, 1), Hex(0x8C7450));
        p.fillRect(QRectF(bar.left() - 1, bar.top() - 1, bar.width() + 2, 1), Hex(0x5A4630));
        p.fillRect(QRectF(bar.left() - 1, bar.bottom() + 2, bar.width() + 2, 1), Hex(0xFCF8EE));
        p.fillRect(bar, QColor::fromRgb(TRACK_COLOUR));
    }

    // White wells for the texts the window draws, each with a thin inset
    // edge. The counters of a bar share one well, aligned under each other
    // and reaching the bars' right end, so the right-aligned numbers have
    // room before the edge. The first well sits on the total bar's frame:
    // it is drawn after it, and its bottom edge stays whole.
    const QRect wells[] = {TEXT_RECTS[0], QRect(390, 270, 166, 30), QRect(390, 315, 166, 30)};
    for (const QRect& r : wells) {
        p.fillRect(QRectF(r).adjusted(-1, -1, 1, 1), Hex(0xC9B994));
        p.fillRect(QRectF(r).adjusted(-1, -1, 1, -r.height()), Hex(0xA89468));
        p.fillRect(r, QColor::fromRgb(WHITE));
    }
    for (const QRect& bar : {BAR_FILE, BAR_TOTAL})
        p.fillRect(bar, QColor::fromRgb(TRACK_COLOUR));
    for (const QRect& r : TEXT_RECTS)
        p.fillRect(r, QColor::fromRgb(WHITE));

    DrawTextLine(p, label, Hex(INK), QPointF(339, 282), QStringLiteral("현재 파일"));
    DrawTextLine(p, small, Hex(INK_SOFT), QPointF(339, 296), QStringLiteral("받은 크기"));
    DrawTextLine(p, label, Hex(INK), QPointF(339, 327), QStringLiteral("전체 진행"));
    DrawTextLine(p, small, Hex(INK_SOFT), QPointF(339, 341), QStringLiteral("전체 크기"));
}

void DrawNoticePanel(QPainter& p)
{
    const QRectF panel(NOTICE_PANEL);
    QLinearGradient g(0, panel.top(), 0, panel.bottom());
    g.setColorAt(0, Hex(0xF2EBDA));
    g.setColorAt(1, Hex(0xE4D7BA));
    p.fillRect(panel, g);
    DrawEmblem(p, QRectF(panel.center().x() - 30, panel.center().y() - 40, 60, 60), 0.14);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QFont font = Font("NanumBarunGothic", 12, QFont::Bold);
    const QString text = QStringLiteral("공지사항");
    const double w = QFontMetricsF(font).horizontalAdvance(text);
    DrawTextLine(p, font, Hex(INK_SOFT), QPointF(panel.center().x() - w / 2, panel.center().y() + 38), text);
    DrawGoldFrame(p, panel, 2);
}

} // namespace

QImage DrawButton(const CButtonArt& button, ButtonState state, int nScale)
{
    QImage image(BUTTON_WIDTH * nScale, BUTTON_HEIGHT * nScale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter p(&image);
    p.scale(nScale, nScale);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    FillMetal(p, QRectF(0, 0, BUTTON_WIDTH, BUTTON_HEIGHT));

    const QRectF plate(2.5, 3.5, BUTTON_WIDTH - 5, BUTTON_HEIGHT - 7);
    QPainterPath shape;
    shape.addRoundedRect(plate, 4, 4);

    QLinearGradient fill(0, plate.top(), 0, plate.bottom());
    QColor border, labelColour, ornament;
    switch (state) {
    case ButtonState::Normal:
        fill.setColorAt(0, Hex(0x3E3354));
        fill.setColorAt(0.5, Hex(0x261E37));
        fill.setColorAt(1, Hex(0x1A1426));
        border = Hex(0x8A6B3C);
        labelColour = Hex(0xE9DEC4);
        ornament = Hex(GOLD);
        break;
    case ButtonState::Focus:
        fill.setColorAt(0, Hex(0x6A5280));
        fill.setColorAt(0.5, Hex(0x43325C));
        fill.setColorAt(1, Hex(0x2C2140));
        border = Hex(0xF0C874);
        labelColour = Hex(0xFFF9EA);
        ornament = Hex(0xFFE6A6);
        break;
    case ButtonState::Pressed:
        fill.setColorAt(0, Hex(0xFBE2A0));
        fill.setColorAt(0.5, Hex(0xE0AF56));
        fill.setColorAt(1, Hex(0xB27C2C));
        border = Hex(0xFFF2CC);
        labelColour = Hex(0x2A1606);
        ornament = Hex(0x5A3612);
        break;
    }

    if (state != ButtonState::Normal) {
        // The glow spills past the plate onto the band.
        DrawGlow(p, shape, Hex(0xFFB848, 220), 3);
    }
    p.fillPath(shape, fill);
    if (state != ButtonState::Normal) {
        QRadialGradient glow(plate.center(), plate.width() / 2);
        glow.setColorAt(0, Hex(state == ButtonState::Pressed ? 0xFFF6D8 : 0xFFC664, 190));
        glow.setColorAt(1, Hex(0xFFC664, 0));
        p.save();
        p.setClipPath(shape);
        p.scale(1, 0.45);
        p.fillRect(QRectF(0, 0, BUTTON_WIDTH, BUTTON_HEIGHT / 0.45), glow);
        p.restore();
    }
    // Sheen on the upper half.
    p.save();
    p.setClipPath(shape);
    QLinearGradient sheen(0, plate.top(), 0, plate.center().y());
    sheen.setColorAt(0, Hex(0xFFFFFF, state == ButtonState::Pressed ? 90 : 40));
    sheen.setColorAt(1, Hex(0xFFFFFF, 0));
    p.fillRect(QRectF(plate.left(), plate.top(), plate.width(), plate.height() / 2), sheen);
    p.restore();

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Hex(0x050308), 1));
    p.drawRoundedRect(plate.adjusted(-1, -1, 1, 1), 5, 5);
    p.setPen(QPen(border, 1));
    p.drawPath(shape);
    p.setPen(QPen(Hex(0xFFFFFF, state == ButtonState::Normal ? 25 : 60), 1));
    p.drawRoundedRect(plate.adjusted(1, 1, -1, -1), 3, 3);

    const double cy = plate.center().y() + (state == ButtonState::Pressed ? 1 : 0);
    p.fillPath(Diamond(QPointF(plate.left() + 10, cy), 2.6, 4), ornament);
    p.fillPath(Diamond(QPointF(plate.right() - 10, cy), 2.6, 4), ornament);

    const QFont font = Font("NanumSquare", 15, QFont::Bold, 0.5);
    const QString text = QString::fromUtf16(button.label);
    const QPainterPath label = TextPath(font, text, QPointF(plate.center().x(), cy));
    if (state == ButtonState::Pressed) {
        p.fillPath(label.translated(0, 1), Hex(0xFFF4D0, 150));
    } else {
        DrawGlow(p, label, state == ButtonState::Focus ? Hex(0xFFB040, 190) : Hex(0x000000, 230),
                 state == ButtonState::Focus ? 3 : 1, QPointF(0, state == ButtonState::Focus ? 0 : 1));
    }
    p.fillPath(label, labelColour);
    p.end();
    return image;
}

QImage DrawSkin(int nScale)
{
    QImage image(SKIN_WIDTH * nScale, SKIN_HEIGHT * nScale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Hex(METAL_BOTTOM));
    QPainter p(&image);
    p.scale(nScale, nScale);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    DrawTitleStrip(p);
    DrawBanner(p, QRect(0, 26, SKIN_WIDTH, 126));

    // Below the banner: a gold rule, then the metal of the lower half.
    QLinearGradient lower(0, 152, 0, SKIN_HEIGHT);
    lower.setColorAt(0, Hex(0x1E182A));
    lower.setColorAt(1, Hex(0x0E0B14));
    p.fillRect(QRectF(0, 152, SKIN_WIDTH, SKIN_HEIGHT - 152), lower);
    p.fillRect(QRectF(0, 152, SKIN_WIDTH, 1), Hex(GOLD));
    p.fillRect(QRectF(0, 153, SKIN_WIDTH, 1), Hex(0x050308));

    FillMetal(p, QRectF(0, BAND_TOP, SKIN_WIDTH, BUTTON_HEIGHT));
    p.fillRect(QRectF(0, BAND_TOP - 1, SKIN_WIDTH, 1), Hex(0x4A3B26));
    p.fillRect(QRectF(0, BAND_BOTTOM + 1, SKIN_WIDTH, 1), Hex(0x4A3B26));
    DrawBandGaps(p);
    for (const CButtonArt& button : BUTTONS)
        p.drawImage(QRectF(button.x, BAND_TOP, BUTTON_WIDTH, BUTTON_HEIGHT),
                    DrawButton(button, ButtonState::Normal, nScale));

    DrawNoticePanel(p);
    DrawRightPanel(p);

    p.setRenderHint(QPainter::TextAntialiasing);
    const QFont footer = Font("NanumBarunGothic", 10);
    DrawTextLine(p, footer, Hex(0x8C7C62), QPointF(14, 374),
                 QStringLiteral("© Kelto Interactive, Inc. All rights reserved."));
    const QString version = QStringLiteral("Orvanta Updater 1.0.0.1");
    const double w = QFontMetricsF(footer).horizontalAdvance(version);
    DrawTextLine(p, footer, Hex(0x8C7C62), QPointF(SKIN_WIDTH - 14 - w, 374), version);

    // Outer frame: black edge, gold line, and ornaments at the corners.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setBrush(Qt::NoBrush);
    p.setPen(Hex(0x030205));
    p.drawRect(0, 0, SKIN_WIDTH - 1, SKIN_HEIGHT - 1);
    p.setPen(Hex(GOLD_DARK));
    p.drawRect(1, 1, SKIN_WIDTH - 3, SKIN_HEIGHT - 3);
    DrawCornerOrnaments(p, QRectF(1.5, 1.5, SKIN_WIDTH - 3, SKIN_HEIGHT - 3));
    p.end();
    return image;
}

QImage DrawIcon(int nSize)
{
    QImage image(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    DrawEmblem(p, QRectF(0.5, 0.5, nSize - 1, nSize - 1));
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

} // namespace skingen
