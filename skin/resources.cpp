#include "resources.h"

#include <QFile>

Image LoadPngResource(unsigned id)
{
    QFile file(QStringLiteral(":/png/%1.png").arg(id));
    if (!file.open(QIODevice::ReadOnly)) return nullptr;
    const QByteArray bytes = file.readAll();
    auto image = std::make_unique<QImage>();
    image->loadFromData(bytes, "PNG");
    return image;
}

Image CutCell(const QImage* sheet, int x, int y, int width, int height)
{
    if (!sheet || sheet->isNull() || width <= 0 || height <= 0 || x < 0 || y < 0) return nullptr;
    // 64-bit sums: a huge width must not wrap around into the sheet.
    if (static_cast<long long>(x) + width > sheet->width()
        || static_cast<long long>(y) + height > sheet->height())
        return nullptr;
    QImage cell = sheet->copy(x, y, width, height);
    if (cell.isNull()) return nullptr;
    return std::make_unique<QImage>(std::move(cell));
}
