#include "controls.h"

#include <linux/videodev2.h>

#include <array>

namespace kv {
namespace {

const char* const kPowerLine[] = {"Disabled", "50 Hz", "60 Hz", "Auto", nullptr};
const char* const kExposure[] = {"Auto Mode", "Manual Mode", "Shutter Priority Mode",
                                 "Aperture Priority Mode", nullptr};
const char* const kColorFx[] = {"None",          "Black & White", "Sepia",      "Negative",
                                "Emboss",        "Sketch",        "Sky Blue",   "Grass Green",
                                "Skin Whiten",   "Vivid",         "Aqua",       "Art Freeze",
                                "Silhouette",    "Solarization",  "Antique",    "Set Cb/Cr",
                                nullptr};

constexpr std::array kControls{
    ControlInfo{"brightness", V4L2_CID_BRIGHTNESS, CtrlType::Integer, "Brightness", 0, 0, nullptr},
    ControlInfo{"contrast", V4L2_CID_CONTRAST, CtrlType::Integer, "Contrast", 0, 0, nullptr},
    ControlInfo{"saturation", V4L2_CID_SATURATION, CtrlType::Integer, "Saturation", 0, 0, nullptr},
    ControlInfo{"hue", V4L2_CID_HUE, CtrlType::Integer, "Hue", V4L2_CID_HUE_AUTO, 0, nullptr},
    ControlInfo{"white_balance_automatic", V4L2_CID_AUTO_WHITE_BALANCE, CtrlType::Boolean,
                "White Balance, Automatic", 0, 0, nullptr},
    ControlInfo{"gamma", V4L2_CID_GAMMA, CtrlType::Integer, "Gamma", 0, 0, nullptr},
    ControlInfo{"gain_automatic", V4L2_CID_AUTOGAIN, CtrlType::Boolean, "Gain, Automatic", 0, 0,
                nullptr},
    ControlInfo{"gain", V4L2_CID_GAIN, CtrlType::Integer, "Gain", V4L2_CID_AUTOGAIN, 0, nullptr},
    ControlInfo{"power_line_frequency", V4L2_CID_POWER_LINE_FREQUENCY, CtrlType::Menu,
                "Power Line Frequency", 0, 0, kPowerLine},
    ControlInfo{"hue_automatic", V4L2_CID_HUE_AUTO, CtrlType::Boolean, "Hue, Automatic", 0, 0,
                nullptr},
    ControlInfo{"white_balance_temperature", V4L2_CID_WHITE_BALANCE_TEMPERATURE,
                CtrlType::Integer, "White Balance Temperature", V4L2_CID_AUTO_WHITE_BALANCE, 0,
                nullptr},
    ControlInfo{"sharpness", V4L2_CID_SHARPNESS, CtrlType::Integer, "Sharpness", 0, 0, nullptr},
    ControlInfo{"backlight_compensation", V4L2_CID_BACKLIGHT_COMPENSATION, CtrlType::Integer,
                "Backlight Compensation", 0, 0, nullptr},
    ControlInfo{"color_effects", V4L2_CID_COLORFX, CtrlType::Menu, "Color Effects", 0, 0,
                kColorFx},
    ControlInfo{"auto_exposure", V4L2_CID_EXPOSURE_AUTO, CtrlType::Menu, "Auto Exposure", 0, 0,
                kExposure},
    ControlInfo{"exposure_time_absolute", V4L2_CID_EXPOSURE_ABSOLUTE, CtrlType::Integer,
                "Exposure Time, Absolute", V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, nullptr},
    ControlInfo{"exposure_dynamic_framerate", V4L2_CID_EXPOSURE_AUTO_PRIORITY, CtrlType::Boolean,
                "Exposure, Dynamic Framerate", 0, 0, nullptr},
    ControlInfo{"focus_absolute", V4L2_CID_FOCUS_ABSOLUTE, CtrlType::Integer, "Focus, Absolute",
                V4L2_CID_FOCUS_AUTO, 0, nullptr},
    ControlInfo{"focus_automatic_continuous", V4L2_CID_FOCUS_AUTO, CtrlType::Boolean,
                "Focus, Automatic Continuous", 0, 0, nullptr},
    ControlInfo{"zoom_absolute", V4L2_CID_ZOOM_ABSOLUTE, CtrlType::Integer, "Zoom, Absolute", 0, 0,
                nullptr},
};

struct Alias {
    std::string_view alias;
    std::string_view key;
};
constexpr std::array kAliases{
    Alias{"white_balance_temperature_auto", "white_balance_automatic"},
    Alias{"auto_white_balance", "white_balance_automatic"},
    Alias{"autogain", "gain_automatic"},
    Alias{"hue_auto", "hue_automatic"},
    Alias{"exposure_auto", "auto_exposure"},
    Alias{"exposure_absolute", "exposure_time_absolute"},
    Alias{"exposure_auto_priority", "exposure_dynamic_framerate"},
    Alias{"focus_auto", "focus_automatic_continuous"},
};

}  // namespace

const ControlInfo* findControlByKey(std::string_view key) {
    for (const auto& a : kAliases)
        if (a.alias == key) key = a.key;
    for (const auto& c : kControls)
        if (c.key == key) return &c;
    return nullptr;
}

const ControlInfo* findControlById(std::uint32_t id) {
    for (const auto& c : kControls)
        if (c.id == id) return &c;
    return nullptr;
}

int menuSize(const ControlInfo& info) {
    int n = 0;
    if (info.menu)
        while (info.menu[n]) ++n;
    return n;
}

}  // namespace kv
