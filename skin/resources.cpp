#include "resources.h"

#include "skin_log.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

Image LoadPngResource(unsigned id)
{
    const QString path = QStringLiteral(":/png/%1.png").arg(id);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcSkin).noquote() << "resource" << path << ": open failed:" << file.errorString();
        return nullptr;
    }
    QByteArray bytes = file.readAll();
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer, "PNG");
    auto image = std::make_unique<QImage>();
    if (!reader.read(image.get())) {
        qCWarning(lcSkin).noquote() << "resource" << path << ": PNG decoding failed:" << reader.errorString();
        *image = QImage();
    }
    return image;
}

Image CutCell(const QImage* sheet, int x, int y, int width, int height)
{
    if (!sheet || sheet->isNull() || width <= 0 || height <= 0 || x < 0 || y < 0) return nullptr;
    // 64-bit sums: a huge width must not wrap around into the sheet.
    if (static_cast<long long>(x) + width > sheet->width() || static_cast<long long>(y) + height > sheet->height()) {
        qCWarning(lcSkin) << "cell" << x << y << width << "x" << height << "reaches outside the" << sheet->width()
                          << "x" << sheet->height() << "sheet";
        return nullptr;
    }
    QImage cell = sheet->copy(x, y, width, height);
    if (cell.isNull()) {
        qCWarning(lcSkin) << "cell" << x << y << width << "x" << height << ": copy failed (out of memory)";
        return nullptr;
    }
    return std::make_unique<QImage>(std::move(cell));
}
