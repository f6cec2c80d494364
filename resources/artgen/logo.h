// The product's mark: a camera lens with a small red recording light.
#pragma once

#include <QPainter>
#include <QPointF>

namespace artgen {

enum class LogoLook {
    Grey,   // resting logo button
    Colour, // pointer over it
    Bright, // pressed
    Silver, // on the blue tile of the application icon
};

// Paints the mark with the lens centred at `centre`; the recording light
// sits above right of it, reaching about 0.62 * diameter from the centre.
void paintLogoMark(QPainter &p, QPointF centre, double diameter, LogoLook look);

} // namespace artgen
