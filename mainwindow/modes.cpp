#include "modes.h"

#include "platform/media/stream/pixel_formats.h"

#include <algorithm>
#include <cmath>
#include <ctime>

using kinovo::VideoFormat;
namespace media = kinovo::media;

int BadgeRow(int width, int height)
{
    for (std::size_t row = 0; row < ResolutionBadgeTable.size(); ++row)
        if (ResolutionBadgeTable[row].width == width && ResolutionBadgeTable[row].height == height)
            return static_cast<int>(row);
    return -1;
}

int SubtypeRank(std::uint32_t subtype)
{
    return media::stream::ModeRank(subtype);
}

bool IsLargerMode(const VideoFormat& a, const VideoFormat& b)
{
    return a.width > b.width || (a.width == b.width && a.height > b.height);
}

std::vector<VideoFormat> BuildModeList(const std::vector<VideoFormat>& formats)
{
    std::vector<VideoFormat> modes;
    for (const VideoFormat& f : formats) {
        if (BadgeRow(f.width, f.height) < 0 || f.maxFps < 25) continue;
        const auto same = std::find_if(modes.begin(), modes.end(), [&f](const VideoFormat& m) {
            return m.width == f.width && m.height == f.height;
        });
        if (same == modes.end())
            modes.push_back(f);
        else if (SubtypeRank(f.subtype) < SubtypeRank(same->subtype))
            *same = f;
    }
    // Sizes are unique, so the order is total.
    std::sort(modes.begin(), modes.end(), IsLargerMode);
    return modes;
}

QString ModeEntryText(const VideoFormat& mode)
{
    const int row = BadgeRow(mode.width, mode.height);
    if (row < 0) return {};
    const ResolutionBadge& b = ResolutionBadgeTable[static_cast<std::size_t>(row)];
    return QStringLiteral("%1 x %2 (%3), %4")
        .arg(b.width)
        .arg(b.height)
        .arg(QLatin1String(b.aspect), QLatin1String(b.label));
}

CPoint DisplayedPictureSize(int modeWidth, int modeHeight)
{
    if (modeWidth >= 640) return {modeWidth, modeHeight};
    return {640, 480};
}

CRect FitWindowToScreen(int w, int h, CPoint screen)
{
    const double r = static_cast<double>(w) / h;
    double g = h;
    if (g > 0.8 * screen.y) g = 0.8 * screen.y;
    if (r * g > 0.8 * screen.x) g = 0.8 * screen.x / r;
    const int shownH = static_cast<int>(g);
    const int shownW = static_cast<int>(r * g);
    const int left = (screen.x - shownW + 30) / 2;
    const int top = (screen.y - shownH + 30) / 2;
    return {left, top, left + shownW + 30, top + shownH + 30};
}

CRect InitialWindowRect(CPoint screen)
{
    const int left = (screen.x - 610) / 2;
    const int top = (screen.y - 450) / 2;
    return {left, top, left + 670, top + 510};
}

CRect InnerRect(const CRect& window)
{
    return {window.left + 15, window.top + 15, window.right - 15, window.bottom - 15};
}

std::array<CRect, ButtonCount> ButtonRects(int W, int H, bool modeShown)
{
    std::array<CRect, ButtonCount> rc{};
    rc[About] = {22, H - 58, 54, H - 26};
    rc[Photo] = {W - 142, H - 56, W - 110, H - 24};
    rc[Record] = {W - 90, H - 56, W - 58, H - 24};
    rc[Close] = {W - 53, 23, W - 21, 55};
    rc[Settings] = {29, 23, 61, 55};
    rc[Mode] = {W - 250, H - 54, W - 218, H - 22};
    rc[Camera] = modeShown ? CRect{W - 290, H - 54, W - 258, H - 22} : rc[Mode];
    rc[Microphone] = {W - 210, H - 54, W - 178, H - 22};
    return rc;
}

QString ClockText(std::uint32_t e)
{
    return QStringLiteral("%1:%2:%3")
        .arg(e / 3600, 2, 10, QLatin1Char('0'))
        .arg((e / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(e % 60, 2, 10, QLatin1Char('0'));
}

bool EnoughSpaceToRecord(std::optional<std::uint64_t> availableBytes, std::uint64_t heldBytes)
{
    // A failed query never prevents or stops a recording.
    if (!availableBytes) return true;
    return heldBytes >= kRecordingReserveBytes || *availableBytes >= kRecordingReserveBytes - heldBytes;
}

DatedName TodaysName()
{
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&t, &local)) return {};
    return {local.tm_mday, local.tm_mon + 1, local.tm_year + 1900};
}
