// The pure rules of the main window: which camera formats become capture
// modes and how they are labelled, how a picture is fitted on the screen,
// where the picture buttons lie, how the recording clock reads. Nothing here
// touches a window or a device.
#pragma once

#include "capture/capture_types.h"
#include "framework.h"

#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

// One picture size offered to the user, with its badge (row = badge index).
struct ResolutionBadge {
    int width;
    int height;
    const char* label;
    const char* aspect;
};
inline constexpr std::array<ResolutionBadge, 9> ResolutionBadgeTable{{
    {320, 240, "QVGA", "4:3"},
    {640, 360, "360p", "16:9"},
    {640, 480, "VGA", "4:3"},
    {800, 600, "SVGA", "4:3"},
    {854, 480, "480p", "16:9"},
    {1024, 768, "XGA", "4:3"},
    {1280, 720, "720p", "16:9"},
    {1280, 960, "SXGA", "4:3"},
    {1920, 1080, "1080p", "16:9"},
}};

// A picture size outside the table is named by its size class: the
// largest class whose 16:9 picture its long or short side reaches (a
// 1440 x 1080 picture is as tall as a 1920 x 1080 one, so "FHD").
struct SizeClass {
    int width; // of the class's smallest 16:9 picture
    const char* label;
};
inline constexpr std::array<SizeClass, 8> SizeClassTable{{
    {0, "SD"},
    {1280, "HD"},
    {1920, "FHD"},
    {2560, "QHD"},
    {3840, "4K"},
    {5120, "5K"},
    {6016, "6K"},
    {7680, "8K"},
}};
// The badges of the sprite sheet: the table's rows first, then each size
// class as a squarer and as a wider label.
inline constexpr int kBadgeCount = static_cast<int>(ResolutionBadgeTable.size() + 2 * SizeClassTable.size());

// The table row of a picture size (exact match, first from row 0), or -1.
int BadgeRow(int width, int height);
// The SizeClassTable index of a picture size.
int SizeClassOf(int width, int height);
// Whether a picture gets the wider label shape (3:2 and wider).
bool IsWidePicture(int width, int height);
// The badge of a picture size: its table row, else its size class's.
int BadgeIndex(int width, int height);
// "16:9", "4:3", "11:9"; 8:5 as "16:10"; an aspect with larger terms as
// the usual one within 1 %, else as "2.37:1".
QString AspectText(int width, int height);
// Preference between formats of one picture size: lower is better.
int SubtypeRank(std::uint32_t subtype);
// Sort order of the mode list: wider first, then taller first.
bool IsLargerMode(const kinovo::VideoFormat& a, const kinovo::VideoFormat& b);
// The capture modes of a camera's formats: every size at 25 fps or more,
// one per size (the first of the best rank), largest first.
std::vector<kinovo::VideoFormat> BuildModeList(const std::vector<kinovo::VideoFormat>& formats);
// "1280 x 720 (16:9), 720p" for a table size, "3840 x 2160 (16:9), 4K"
// for any other.
QString ModeEntryText(const kinovo::VideoFormat& mode);

// The size at which a mode's picture is shown before fitting: modes
// narrower than 640 are enlarged to 640 wide, keeping their shape.
CPoint DisplayedPictureSize(int modeWidth, int modeHeight);
// The main window for a w x h picture on a screen: the picture fitted into
// 80 % of the screen, plus the 15-pixel border, placed 30 pixels right of and
// below exact centring.
CRect FitWindowToScreen(int w, int h, CPoint screen);
// The window of a fresh start: 670 x 510, centred as a 610 x 450 window.
CRect InitialWindowRect(CPoint screen);
// The area inside the 15-pixel skin border of a window rectangle.
CRect InnerRect(const CRect& window);

// The picture buttons, indexed by ButtonId.
enum ButtonId { About = 0, Close, Settings, Photo, Camera, Microphone, Mode, Record, ButtonCount };

// The button rectangles of a W x H window (Camera takes Mode's place when
// the Mode button is hidden).
std::array<CRect, ButtonCount> ButtonRects(int W, int H, bool modeShown);

// Whether a camera's signal is damaged: most of its frames of the last two
// seconds came damaged. Fed the camera's running counts of whole and
// damaged frames on the window's timer; counts that go back (a new stream)
// start afresh. The look comes at more than half damaged and goes below
// two in five, so that a share near one half does not make it blink.
class DamagedSignal {
public:
    static constexpr std::int64_t kSpanMs = 2000;
    // Fewer frames in the span tell nothing (a camera's first frame is
    // often bad).
    static constexpr std::uint64_t kFewestFrames = 6;

    // The counts at `nowMs` (a steady clock); whether the look shows.
    bool Update(std::int64_t nowMs, std::uint64_t whole, std::uint64_t damaged);
    void Reset();
    bool shown() const { return m_shown; }
    // Of the frames in the span, those damaged and all of them.
    std::uint64_t damagedInSpan() const;
    std::uint64_t framesInSpan() const;

private:
    struct Sample {
        std::int64_t atMs;
        std::uint64_t whole;
        std::uint64_t damaged;
    };
    std::deque<Sample> m_samples; // the newest last; the first at or before the span's start
    bool m_shown = false;
};

// The recording clock for e elapsed seconds: "HH:MM:SS", hours unbounded.
QString ClockText(std::uint32_t elapsedSeconds);
// Whole seconds of the monotonic clock, which no change of the wall clock
// moves: what the recording clock counts in.
std::int64_t MonotonicSeconds();

// A recording needs 100 MB (units of 2^20 bytes) free on its volume, to
// start as to go on.
inline constexpr std::uint64_t kRecordingReserveBytes = 100ull << 20;
// Whether `availableBytes` allows recording; an unknown amount does.
// `heldBytes`: what a running recording keeps aside for the end of its file
// and gives back when it stops. It counts as free, so that a recording
// stopped for want of space cannot start again until space is freed.
bool EnoughSpaceToRecord(std::optional<std::uint64_t> availableBytes, std::uint64_t heldBytes = 0);

// The local date that names today's files; zeros when it cannot be had.
struct DatedName {
    int day = 0;
    int month = 0;
    int year = 0;
};
DatedName TodaysName();

// A dated, numbered file name: prefix + "DD.MM.YYYY_" + "NNNN" + extension,
// the first number from 1 to 9999 for which `exists` is false; none when all
// are taken.
template <class Exists>
std::optional<QString> FirstFreeName(const QString& folderAndPrefix, int day, int month, int year,
                                     const QString& extension, Exists&& exists)
{
    const QString stem = folderAndPrefix + QStringLiteral("%1.%2.%3_")
                                               .arg(day, 2, 10, QLatin1Char('0'))
                                               .arg(month, 2, 10, QLatin1Char('0'))
                                               .arg(year, 4, 10, QLatin1Char('0'));
    for (int i = 1; i <= 9999; ++i) {
        const QString path = stem + QStringLiteral("%1").arg(i, 4, 10, QLatin1Char('0')) + extension;
        if (!exists(path)) return path;
    }
    return std::nullopt;
}
