// The image-settings panel: one row per image control the selected camera
// supports, each showing a slider while the pointer is over it, and a reset
// button. It sets the controls on the camera itself, at once.
#pragma once

#include "pngdialog.h"

#include "capture/capture_types.h"

#include <QString>

#include <array>
#include <cstdint>

// A row of the panel; doubles as the icon index (ResetIcon: the reset button).
// The rows are the engine's settable controls, numbered as the engine does.
enum class SettingKind : std::int32_t {
    Brightness = static_cast<std::int32_t>(kinovo::ImageControl::Brightness),
    Contrast = static_cast<std::int32_t>(kinovo::ImageControl::Contrast),
    Saturation = static_cast<std::int32_t>(kinovo::ImageControl::Saturation),
    Sharpness = static_cast<std::int32_t>(kinovo::ImageControl::Sharpness),
    Gamma = static_cast<std::int32_t>(kinovo::ImageControl::Gamma),
    WhiteBalance = static_cast<std::int32_t>(kinovo::ImageControl::WhiteBalance),
    ResetIcon = kinovo::kImageControlCount,
};
inline constexpr int kSettingKinds = kinovo::kImageControlCount;
inline constexpr int kMaxSettingRows = 8;

// Settings geometry in client pixels.
inline constexpr int kSettingsPanelWidth = 280;
constexpr int SettingsPanelHeight(int rows) { return rows > 0 ? rows * 40 + 74 : 114; }
// The row under (x, y) of a W-wide panel with `rows` setting rows: 0..rows-1
// a setting, rows the reset button, -1 none.
int SettingsRowAt(int x, int y, int W, int rows);
// Slider positions (pixels from the track's start, -1 none) of a click and
// of a drag at x. A drag reaches further and snaps to the minimum over a
// wider zone.
int ClickSliderPos(int x);
int DragSliderPos(int x);
// The value a slider position gives in `range` before the camera snaps it.
std::int32_t SliderValue(const kinovo::ImageProperty& range, int pos);
// The filled width of the track (0..200) for the value in `range`.
int SliderFill(const kinovo::ImageProperty& range);
// The caption of a row kind.
QString SettingCaption(SettingKind kind);
kinovo::ImageControl ControlOfKind(SettingKind kind);

class CMenuDlg : public CPNGDialog {
public:
    CMenuDlg();
    ~CMenuDlg() override;

    // Hides the panel for reuse; the next opening fades in and rebuilds the rows.
    void ClosePanel();
    void ApplySliderPosition(int pos);

    void OnOK() override { ClosePanel(); }
    void OnCancel() override { ClosePanel(); }
    void OnClose() override { ClosePanel(); }
    void OnShowWindow(bool bShow) override;
    void OnMouseMove(unsigned nFlags, CPoint point) override;
    void OnLButtonDown(unsigned nFlags, CPoint point) override;
    void DrawContent(Graphics* g) override;

    // What the owner reads and sets.
    using CPNGDialog::m_bFadeStarted;
    using CPNGDialog::m_bMovable;
    using CPNGDialog::m_bResizable;
    using CPNGDialog::m_nAlpha;
    int m_nHover = -1;
    int m_nRows = 0;
    kinovo::VideoDevice* m_pDevice = nullptr; // not owned
    bool m_bShown = false;

protected:
    void BuildRows();

    std::array<Image, kSettingKinds + 1> m_pIcons;
    std::array<Image, kSettingKinds + 1> m_pIconsHot;
    kinovo::ImageProperty m_range{};
    std::array<SettingKind, kMaxSettingRows> m_rowKind{};
    std::array<QString, kMaxSettingRows> m_rowName;
};
