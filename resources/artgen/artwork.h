// The product's artwork, drawn from code so that every picture can be
// regenerated and restyled: one function per picture, named after its use.
#pragma once

#include <QImage>
#include <QSize>

#include <span>

namespace artgen {

QImage drawAppIcon();            // 128: application / window icon
QImage drawMainSkin();           // 129: main window nine-slice skin
QImage drawButtonSheet();        // 131: picture buttons, 13 x 3 cells
QImage drawSettingsPanelSkin();  // 133: image-settings bubble, pointer top-left
QImage drawListPanelSkin();      // 135: list bubble, pointer bottom-left
QImage drawShutterIris();        // 136: iris shown while a photo is taken
QImage drawResolutionBadges();   // 138: capture-mode badges, 25 cells
QImage drawLogoSheet();          // 139: logo button, three looks
QImage drawAboutSkin();          // 140: about card
QImage drawSettingsIcons();      // 143: image-setting icons, 7 x 2 cells

struct Picture {
    int id;
    QSize size;
    QImage (*draw)();
};

// Every picture the program loads, with the size its users cut it by.
std::span<const Picture> pictures();

} // namespace artgen
