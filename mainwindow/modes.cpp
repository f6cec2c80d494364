#include "modes.h"

#include "platform/media/stream/pixel_formats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <numeric>

using kinovo::VideoFormat;
namespace media = kinovo::media;

int BadgeRow(int width, int height)
{
    for (std::size_t row = 0; row < ResolutionBadgeTable.size(); ++row)
        if (ResolutionBadgeTable[row].width == width && ResolutionBadgeTable[row].height == height)
            return static_cast<int>(row);
    return -1;
}

int SizeClassOf(int width, int height)
{
    // The 16:9 width that the picture's long or short side reaches, times 9;
    // an upright picture counts as its landscape twin.
    const std::int64_t longSide = std::max(width, height), shortSide = std::min(width, height);
    const std::int64_t reach = std::max(longSide * 9, shortSide * 16);
    for (std::size_t c = SizeClassTable.size(); c-- > 1;)
        if (reach >= std::int64_t{SizeClassTable[c].width} * 9) return static_cast<int>(c);
    return 0;
}

bool IsWidePicture(int width, int height)
{
    return std::int64_t{width} * 2 >= std::int64_t{height} * 3;
}

int BadgeIndex(int width, int height)
{
    if (const int row = BadgeRow(width, height); row >= 0) return row;
    return static_cast<int>(ResolutionBadgeTable.size()) + 2 * SizeClassOf(width, height) +
           (IsWidePicture(width, height) ? 1 : 0);
}

QString AspectText(int width, int height)
{
    if (width <= 0 || height <= 0) return {};
    const int g = std::gcd(width, height);
    const int a = width / g, b = height / g;
    if (a == 8 && b == 5) return QStringLiteral("16:10");
    if (a <= 32 && b <= 32) return QStringLiteral("%1:%2").arg(a).arg(b);
    // Sizes rounded to even numbers, as 854 x 480, keep their usual name.
    struct Usual {
        int a, b;
        const char* text;
    };
    constexpr Usual usual[] = {{16, 9, "16:9"}, {4, 3, "4:3"}, {16, 10, "16:10"}, {5, 4, "5:4"}, {3, 2, "3:2"}};
    const double ratio = static_cast<double>(width) / height;
    for (const Usual& u : usual)
        if (std::abs(ratio / (static_cast<double>(u.a) / u.b) - 1) <= 0.01) return QLatin1String(u.text);
    return QStringLiteral("%1:1").arg(ratio, 0, 'f', 2);
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
        if (f.width <= 0 || f.height <= 0 || f.maxFps < 25) continue;
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
    const QString text = QStringLiteral("%1 x %2 (%3), %4").arg(mode.width).arg(mode.height);
    if (const int row = BadgeRow(mode.width, mode.height); row >= 0) {
        const ResolutionBadge& b = ResolutionBadgeTable[static_cast<std::size_t>(row)];
        return text.arg(QLatin1String(b.aspect), QLatin1String(b.label));
    }
    const SizeClass& size = SizeClassTable[static_cast<std::size_t>(SizeClassOf(mode.width, mode.height))];
    return text.arg(AspectText(mode.width, mode.height), QLatin1String(size.label));
}

CPoint DisplayedPictureSize(int modeWidth, int modeHeight)
{
    if (modeWidth >= 640) return {modeWidth, modeHeight};
    if (modeWidth <= 0 || modeHeight <= 0) return {640, 480};
    // 320 x 240 becomes 640 x 480, as it always did; 352 x 288 keeps its 11:9.
    return {640, static_cast<int>((std::int64_t{modeHeight} * 640 + modeWidth / 2) / modeWidth)};
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

bool DamagedSignal::Update(std::int64_t nowMs, std::uint64_t whole, std::uint64_t damaged)
{
    if (!m_samples.empty() && (whole < m_samples.back().whole || damaged < m_samples.back().damaged)) Reset();
    m_samples.push_back({nowMs, whole, damaged});
    while (m_samples.size() > 1 && m_samples[1].atMs <= nowMs - kSpanMs) m_samples.pop_front();
    const std::uint64_t frames = framesInSpan(), bad = damagedInSpan();
    if (frames < kFewestFrames)
        m_shown = false;
    else if (!m_shown)
        m_shown = bad * 2 > frames;
    else
        m_shown = bad * 5 >= frames * 2;
    return m_shown;
}

void DamagedSignal::Reset()
{
    m_samples.clear();
    m_shown = false;
}

std::uint64_t DamagedSignal::damagedInSpan() const
{
    return m_samples.empty() ? 0 : m_samples.back().damaged - m_samples.front().damaged;
}

std::uint64_t DamagedSignal::framesInSpan() const
{
    return m_samples.empty() ? 0 : damagedInSpan() + m_samples.back().whole - m_samples.front().whole;
}

std::int64_t MonotonicSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
