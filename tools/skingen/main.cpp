// skingen: draws the launcher's skin and writes it where the resource file
// expects it. Run it from the source tree after changing the artwork:
//
//     build/ci/tools/skingen res/
//
// and commit the files it writes. The build never runs it.
#include "Artwork.h"
#include "Quantize.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>

#include <cstdio>

namespace {

// Reads the colour depth from a written BMP's info header.
int BitsPerPixel(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray head = file.read(30);
    if (head.size() < 30 || !head.startsWith("BM"))
        return -1;
    return int(quint8(head[28])) | (int(quint8(head[29])) << 8);
}

bool WriteBitmap(const QDir& dir, int nId, const QImage& picture, const QList<QRgb>& pinned)
{
    const QString path = dir.filePath(QStringLiteral("bitmaps/%1.bmp").arg(nId));
    const QImage indexed = skingen::ToIndexed8(picture, pinned);
    QImageWriter writer(path, "bmp");
    if (!writer.write(indexed)) {
        std::fprintf(stderr, "skingen: cannot write %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
        return false;
    }
    const int nBits = BitsPerPixel(path);
    if (nBits != 8) {
        std::fprintf(stderr, "skingen: %s came out at %d bits a pixel\n", qPrintable(path), nBits);
        return false;
    }
    std::printf("%s %dx%d, %d bpp\n", qPrintable(path), indexed.width(), indexed.height(), nBits);
    return true;
}

bool WritePng(const QString& path, const QImage& image)
{
    if (!image.save(path, "png")) {
        std::fprintf(stderr, "skingen: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(path), image.width(), image.height());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Fonts need a platform; none needs a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = QGuiApplication::arguments();
    if (args.size() > 2 || (args.size() == 2 && args[1].startsWith(QLatin1Char('-')))) {
        std::fprintf(stderr, "usage: skingen [resource folder, default res]\n");
        return 2;
    }
    const QDir dir(args.size() == 2 ? args[1] : QStringLiteral("res"));
    if (!dir.mkpath(QStringLiteral("bitmaps")) || !dir.mkpath(QStringLiteral("icons"))) {
        std::fprintf(stderr, "skingen: cannot make folders under %s\n", qPrintable(dir.path()));
        return 1;
    }

    bool bOk = WriteBitmap(dir, 138, skingen::DrawSkin(), {skingen::WHITE, skingen::TRACK_COLOUR});
    for (const skingen::CButtonArt& button : skingen::BUTTONS) {
        bOk &= WriteBitmap(dir, button.nNormal, skingen::DrawButton(button, skingen::ButtonState::Normal), {});
        bOk &= WriteBitmap(dir, button.nFocus, skingen::DrawButton(button, skingen::ButtonState::Focus), {});
        bOk &= WriteBitmap(dir, button.nPressed, skingen::DrawButton(button, skingen::ButtonState::Pressed), {});
    }
    // The same artwork at twice the size, in full colour, for screens
    // scaled past 100 %.
    const auto large = [&dir](int nId) { return dir.filePath(QStringLiteral("bitmaps/%1@2x.png").arg(nId)); };
    bOk &= WritePng(large(138), skingen::DrawSkin(2).convertToFormat(QImage::Format_RGB32));
    for (const skingen::CButtonArt& button : skingen::BUTTONS) {
        bOk &= WritePng(large(button.nNormal),
                        skingen::DrawButton(button, skingen::ButtonState::Normal, 2).convertToFormat(QImage::Format_RGB32));
        bOk &= WritePng(large(button.nFocus),
                        skingen::DrawButton(button, skingen::ButtonState::Focus, 2).convertToFormat(QImage::Format_RGB32));
        bOk &= WritePng(large(button.nPressed), skingen::DrawButton(button, skingen::ButtonState::Pressed, 2)
                                                    .convertToFormat(QImage::Format_RGB32));
    }
    bOk &= WritePng(dir.filePath(QStringLiteral("icons/130.png")), skingen::DrawIcon(48));
    bOk &= WritePng(dir.filePath(QStringLiteral("icons/130-256.png")), skingen::DrawIcon(256));
    return bOk ? 0 : 1;
}
