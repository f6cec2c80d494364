// kinovo-artgen OUTPUT_DIR: draws every picture of the program and writes
// it as OUTPUT_DIR/<id>.png (8-bit RGBA, non-interlaced).
// kinovo-artgen --icons OUTPUT_DIR: writes the application icon for the
// desktop's icon theme as OUTPUT_DIR/<n>x<n>/apps/kinovo.png.
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
        {138, {800, 32}, drawResolutionBadges},
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

// The hicolor theme's usual sizes; each is scaled from the 256 px window icon
// (picture 128), so that menu, task bar and window show the same mark.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

bool writePng(const QImage &image, const QString &path)
{
    QImageWriter writer(path, "png");
    writer.setQuality(0); // for PNG: strongest compression
    if (writer.write(image))
        return true;
    std::fprintf(stderr, "kinovo-artgen: cannot write %s: %s\n", qPrintable(path),
                 qPrintable(writer.errorString()));
    return false;
}

int writeThemeIcons(const QDir &out)
{
    const QImage icon = artgen::drawAppIcon().convertToFormat(QImage::Format_ARGB32);
    for (int size : kIconSizes) {
        const QString dir = QStringLiteral("%1x%1/apps").arg(size);
        if (!out.mkpath(dir)) {
            std::fprintf(stderr, "kinovo-artgen: cannot create %s\n", qPrintable(out.filePath(dir)));
            return 1;
        }
        const QImage scaled = size == icon.width()
            ? icon
            : icon.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (!writePng(scaled, out.filePath(dir + QStringLiteral("/kinovo.png"))))
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // Drawing needs no display; this keeps the build working without one.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const bool icons = argc == 3 && qstrcmp(argv[1], "--icons") == 0;
    if (argc != 2 && !icons) {
        std::fprintf(stderr, "usage: kinovo-artgen OUTPUT_DIR\n"
                             "       kinovo-artgen --icons OUTPUT_DIR\n");
        return 2;
    }
    const char *outArg = argv[argc - 1];
    const QDir out(QString::fromLocal8Bit(outArg));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "kinovo-artgen: cannot create %s\n", outArg);
        return 1;
    }
    if (!fontsPresent())
        return 1;
    if (icons)
        return writeThemeIcons(out);

    for (const artgen::Picture &picture : artgen::pictures()) {
        const QImage image = picture.draw().convertToFormat(QImage::Format_ARGB32);
        const QString path = out.filePath(QStringLiteral("%1.png").arg(picture.id));
        if (image.size() != picture.size) {
            std::fprintf(stderr, "kinovo-artgen: picture %d is %dx%d, expected %dx%d\n",
                         picture.id, image.width(), image.height(), picture.size.width(),
                         picture.size.height());
            return 1;
        }
        if (!writePng(image, path))
            return 1;
    }
    return 0;
}
