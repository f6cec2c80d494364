// kinovo-artgen OUTPUT_DIR: draws every picture of the program and writes
// it as OUTPUT_DIR/<id>.png (8-bit RGBA, non-interlaced).
#include "artwork.h"

#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageWriter>

#include <array>
#include <cstdio>

namespace artgen {

std::span<const Picture> pictures()
{
    static const std::array<Picture, 10> table{{
        {128, {256, 256}, drawAppIcon},
        {129, {800, 600}, drawMainSkin},
        {131, {416, 96}, drawButtonSheet},
        {133, {300, 300}, drawSettingsPanelSkin},
        {135, {300, 300}, drawListPanelSkin},
        {136, {1000, 1000}, drawShutterIris},
        {138, {480, 32}, drawResolutionBadges},
        {139, {42, 108}, drawLogoSheet},
        {140, {420, 320}, drawAboutSkin},
        {143, {224, 64}, drawSettingsIcons},
    }};
    return table;
}

} // namespace artgen

namespace {

// The lettering is drawn with these families; a silent fallback would
// change the artwork, so a missing one stops the build.
bool fontsPresent()
{
    bool ok = true;
    for (const char *family : {"Liberation Sans", "DejaVu Sans", "Liberation Sans Narrow"}) {
        if (!QFontDatabase::hasFamily(QString::fromLatin1(family))) {
            std::fprintf(stderr, "kinovo-artgen: font family \"%s\" is not installed\n", family);
            ok = false;
        }
    }
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    // Drawing needs no display; this keeps the build working without one.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    if (argc != 2) {
        std::fprintf(stderr, "usage: kinovo-artgen OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "kinovo-artgen: cannot create %s\n", argv[1]);
        return 1;
    }
    if (!fontsPresent())
        return 1;

    for (const artgen::Picture &picture : artgen::pictures()) {
        const QImage image = picture.draw().convertToFormat(QImage::Format_ARGB32);
        const QString path = out.filePath(QStringLiteral("%1.png").arg(picture.id));
        if (image.size() != picture.size) {
            std::fprintf(stderr, "kinovo-artgen: picture %d is %dx%d, expected %dx%d\n",
                         picture.id, image.width(), image.height(), picture.size.width(),
                         picture.size.height());
            return 1;
        }
        QImageWriter writer(path, "png");
        writer.setQuality(0); // for PNG: strongest compression; they live in the executable
        if (!writer.write(image)) {
            std::fprintf(stderr, "kinovo-artgen: cannot write %s: %s\n", qPrintable(path),
                         qPrintable(writer.errorString()));
            return 1;
        }
    }
    return 0;
}
