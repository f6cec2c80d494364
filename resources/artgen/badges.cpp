// 138: capture-mode badges shown next to each entry of the mode list.
// White lettering on a blue label whose shape follows the picture's
// aspect: 4:3 labels are squarer, 16:9 labels wider.
#include "artwork.h"
#include "paintkit.h"

#include <QLinearGradient>

#include <array>

namespace artgen {

namespace {

constexpr int kCell = 32;

enum class Aspect { Standard, Wide };

struct Badge {
    const char *lettering;
    Aspect aspect;
};
// In the order of the capture-mode table (rows 0 to 8).
constexpr std::array<Badge, 9> kBadges{{
    {"4:3", Aspect::Standard}, // 320 x 240
    {"SD", Aspect::Wide},      // 640 x 360
    {"VGA", Aspect::Standard}, // 640 x 480
    {"4:3", Aspect::Standard}, // 800 x 600
    {"480", Aspect::Wide},     // 854 x 480
    {"XGA", Aspect::Standard}, // 1024 x 768
    {"HD", Aspect::Wide},      // 1280 x 720
    {"960", Aspect::Standard}, // 1280 x 960
    {"FHD", Aspect::Wide},     // 1920 x 1080
}};
// Sizes outside the table by size class, in the order of the program's
// class table; each class as a squarer and as a wider label (cells 9 to 24).
constexpr std::array<const char *, 8> kSizeClasses{"SD", "HD", "FHD", "QHD",
                                                   "4K", "5K", "6K",  "8K"};
constexpr int kCells = static_cast<int>(kBadges.size() + 2 * kSizeClasses.size()); // 800 px

const QSizeF kStandardLabel{26, 20};
const QSizeF kWideLabel{30, 17};
constexpr double kLabelRadius = 4;
const QColor kLabelTop{0x55, 0x9E, 0xD9};
const QColor kLabelBottom{0x2A, 0x6B, 0xA6};
const QColor kLabelBorder{0x1D, 0x54, 0x87, 230};
const QColor kLabelShine{255, 255, 255, 80};
const QColor kLabelShadow{0x0A, 0x1E, 0x33, 90};
const QColor kLettering{255, 255, 255};
const QColor kLetteringShadow{0x10, 0x36, 0x5C, 150};
const QString kLetteringFamily = QStringLiteral("Liberation Sans Narrow");
constexpr int kLetteringPixels = 11;
constexpr double kLetteringPadding = 2.5;

QImage drawBadge(const Badge &badge)
{
    const QSizeF size = badge.aspect == Aspect::Wide ? kWideLabel : kStandardLabel;
    const QRectF label((kCell - size.width()) / 2, (kCell - size.height()) / 2, size.width(),
                       size.height());
    QImage plate = newLayer({kCell, kCell});
    {
        QPainter p(&plate);
        prepare(p);
        QLinearGradient fill(label.topLeft(), label.bottomLeft());
        fill.setColorAt(0, kLabelTop);
        fill.setColorAt(1, kLabelBottom);
        p.setPen(QPen(kLabelBorder, 1));
        p.setBrush(fill);
        p.drawRoundedRect(label.adjusted(0.5, 0.5, -0.5, -0.5), kLabelRadius, kLabelRadius);
        p.setPen(QPen(kLabelShine, 1));
        p.drawLine(QPointF(label.left() + kLabelRadius, label.top() + 1.5),
                   QPointF(label.right() - kLabelRadius, label.top() + 1.5));

        // Largest size up to the house size that fits the label.
        const QString text = QString::fromLatin1(badge.lettering);
        QFont font = pixelFont(kLetteringFamily, kLetteringPixels, QFont::Bold);
        while (QFontMetricsF(font).horizontalAdvance(text) >
                   label.width() - 2 * kLetteringPadding &&
               font.pixelSize() > 7)
            font.setPixelSize(font.pixelSize() - 1);
        p.setFont(font);
        p.setPen(kLetteringShadow);
        p.drawText(label.translated(0, 1), Qt::AlignCenter, text);
        p.setPen(kLettering);
        p.drawText(label, Qt::AlignCenter, text);
    }
    QImage cell = newLayer({kCell, kCell});
    QPainter p(&cell);
    drawGlow(p, plate, {kLabelShadow, 0, 1, {0, 1}});
    p.drawImage(0, 0, plate);
    return cell;
}

} // namespace

QImage drawResolutionBadges()
{
    QImage sheet = newCanvas(kCell * kCells, kCell);
    QPainter p(&sheet);
    int cell = 0;
    for (const Badge &badge : kBadges)
        p.drawImage(kCell * cell++, 0, drawBadge(badge));
    for (const char *sizeClass : kSizeClasses)
        for (Aspect aspect : {Aspect::Standard, Aspect::Wide})
            p.drawImage(kCell * cell++, 0, drawBadge({sizeClass, aspect}));
    return sheet;
}

} // namespace artgen
