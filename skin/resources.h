// Pictures stored inside the executable, and cells cut from sprite sheets.
#pragma once

#include <QImage>

#include <memory>

// An image owned by whoever received it.
using Image = std::unique_ptr<QImage>;

// The PNG resource `id`; null if there is none. Data that cannot be decoded
// gives an unusable image of size 0 x 0.
Image LoadPngResource(unsigned id);

// An independent copy of the rectangle (x, y, width, height) of `sheet`, in
// the sheet's pixel format; null for an empty rectangle, one reaching
// outside the sheet, or an unusable sheet.
Image CutCell(const QImage* sheet, int x, int y, int width, int height);
