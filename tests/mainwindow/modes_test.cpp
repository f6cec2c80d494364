// The main window's pure rules: capture modes, window fitting, button
// layout, clock text and dated file names.
#include "modes.h"

#include "platform/media/stream/pixel_formats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using kinovo::VideoFormat;
namespace pixfmt = kinovo::media::stream::fourcc;

VideoFormat Format(int index, std::uint32_t subtype, int w, int h, int fps)
{
    VideoFormat f;
    f.index = index;
    f.width = w;
    f.height = h;
    f.maxFps = fps;
    f.minFps = 5;
    f.subtype = subtype;
    return f;
}

struct Entry {
    QString text;
    int index;
};

std::vector<Entry> Entries(const std::vector<VideoFormat>& modes)
{
    std::vector<Entry> out;
    for (const VideoFormat& m : modes) out.push_back({ModeEntryText(m), m.index});
    return out;
}

TEST(Modes, SevenFormatCameraOffersEverySizeAtItsBestSubtype)
{
    const auto YUY2 = pixfmt::kYUYV;
    const auto MJPG = pixfmt::kMJPEG;
    const std::vector<VideoFormat> formats{
        Format(0, YUY2, 640, 480, 30), Format(1, YUY2, 1280, 720, 10), Format(2, MJPG, 1280, 720, 30),
        Format(3, MJPG, 640, 480, 30), Format(4, YUY2, 320, 240, 30),  Format(5, MJPG, 1920, 1080, 30),
        Format(6, YUY2, 352, 288, 30),
    };
    const auto entries = Entries(BuildModeList(formats));
    ASSERT_EQ(entries.size(), 5u);
    const std::vector<std::pair<const char*, int>> expected{
        {"1920 x 1080 (16:9), 1080p", 5}, // MJPG
        {"1280 x 720 (16:9), 720p", 2},   // the YUY2 one is below 25 fps
        {"640 x 480 (4:3), VGA", 0},      // YUY2 ranks before MJPG
        {"352 x 288 (11:9), SD", 6},      // not a table size: named by its class
        {"320 x 240 (4:3), QVGA", 4},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].text.toStdString(), expected[i].first) << i;
        EXPECT_EQ(entries[i].index, expected[i].second) << i;
    }
}

TEST(Modes, TiesKeepTheFirstFormatAndBetterRanksReplaceLaterOnes)
{
    const auto modes = BuildModeList({
        Format(0, pixfmt::kMJPEG, 640, 480, 30), Format(1, pixfmt::kMJPEG, 640, 480, 30), // same rank: the first stays
        Format(2, pixfmt::kUYVY, 1280, 720, 30), Format(3, pixfmt::kYUYV, 1280, 720, 30), // worse rank than UYVY
        Format(4, pixfmt::kH264, 800, 600, 30),                                           // no rank of its own: 10
        Format(5, pixfmt::kMPEG, 800, 600, 30), Format(6, pixfmt::kBGR24, 800, 600, 24),  // too slow, never replaces
    });
    ASSERT_EQ(modes.size(), 3u);
    EXPECT_EQ(modes[0].index, 2);
    EXPECT_EQ(modes[1].index, 5);
    EXPECT_EQ(modes[2].index, 0);
}

TEST(Modes, SubtypeRanksAndSortOrder)
{
    const std::vector<std::pair<std::uint32_t, int>> ranks{
        {pixfmt::kUYVY, 1},  {pixfmt::kYUYV, 2},   {pixfmt::kYVU420, 3}, {pixfmt::kYUV420, 4},
        {pixfmt::kBGR32, 5}, {pixfmt::kBGR24, 6},  {pixfmt::kMJPEG, 7},  {pixfmt::kMPEG, 8},
        {pixfmt::kH264, 10}, {pixfmt::kXBGR32, 5}, {pixfmt::kJPEG, 7},
    };
    for (const auto& [subtype, rank] : ranks) EXPECT_EQ(SubtypeRank(subtype), rank);
    // Same width: the taller one first.
    EXPECT_TRUE(IsLargerMode(Format(0, {}, 1280, 960, 30), Format(0, {}, 1280, 720, 30)));
    EXPECT_FALSE(IsLargerMode(Format(0, {}, 1280, 720, 30), Format(0, {}, 1280, 720, 30)));
    EXPECT_FALSE(IsLargerMode(Format(0, {}, 1024, 768, 30), Format(0, {}, 1280, 720, 30)));
}

TEST(Modes, EveryBadgeRowHasItsTextAndOnlyExactSizesMatch)
{
    const char* texts[] = {"320 x 240 (4:3), QVGA",   "640 x 360 (16:9), 360p", "640 x 480 (4:3), VGA",
                           "800 x 600 (4:3), SVGA",   "854 x 480 (16:9), 480p", "1024 x 768 (4:3), XGA",
                           "1280 x 720 (16:9), 720p", "1280 x 960 (4:3), SXGA", "1920 x 1080 (16:9), 1080p"};
    for (int row = 0; row < 9; ++row) {
        const auto& b = ResolutionBadgeTable[static_cast<std::size_t>(row)];
        EXPECT_EQ(BadgeRow(b.width, b.height), row);
        EXPECT_EQ(ModeEntryText(Format(0, {}, b.width, b.height, 30)).toStdString(), texts[row]);
    }
    EXPECT_EQ(BadgeRow(1920, 1088), -1);
    EXPECT_EQ(BadgeRow(480, 640), -1);
    EXPECT_EQ(ModeEntryText(Format(0, {}, 352, 288, 30)).toStdString(), "352 x 288 (11:9), SD");
}

// A camera whose sizes lie outside the table, alone or among table sizes:
// every size is a mode, in the list's order, with its class's badge.
TEST(Modes, SizesOutsideTheTableAreModesWithTheirClassBadge)
{
    const auto YUY2 = pixfmt::kYUYV;
    const auto MJPG = pixfmt::kMJPEG;
    constexpr int kClasses = static_cast<int>(ResolutionBadgeTable.size());
    struct Mode {
        const char* text;
        int index;
        int badge;
    };
    const struct {
        const char* camera;
        std::vector<VideoFormat> formats;
        std::vector<Mode> modes;
    } cases[] = {
        {"4K only", {Format(0, MJPG, 3840, 2160, 30)}, {{"3840 x 2160 (16:9), 4K", 0, kClasses + 2 * 4 + 1}}},
        {"5K and 4K",
         {Format(0, MJPG, 3840, 2160, 30), Format(1, MJPG, 5120, 2880, 30)},
         {{"5120 x 2880 (16:9), 5K", 1, kClasses + 2 * 5 + 1}, {"3840 x 2160 (16:9), 4K", 0, kClasses + 2 * 4 + 1}}},
        {"small odd sizes",
         {Format(0, YUY2, 176, 144, 30), Format(1, YUY2, 352, 288, 30)},
         {{"352 x 288 (11:9), SD", 1, kClasses}, {"176 x 144 (11:9), SD", 0, kClasses}}},
        {"4:3 and 8K",
         {Format(0, MJPG, 1440, 1080, 30), Format(1, MJPG, 7680, 4320, 30), Format(2, MJPG, 2880, 2160, 30)},
         {{"7680 x 4320 (16:9), 8K", 1, kClasses + 2 * 7 + 1},
          {"2880 x 2160 (4:3), 4K", 2, kClasses + 2 * 4},
          {"1440 x 1080 (4:3), FHD", 0, kClasses + 2 * 2}}},
        {"mixed with table sizes",
         {Format(0, YUY2, 1280, 720, 30), Format(1, YUY2, 1440, 1080, 30), Format(2, MJPG, 3840, 2160, 30),
          Format(3, MJPG, 1440, 1080, 30), Format(4, MJPG, 2560, 1440, 15), Format(5, YUY2, 800, 600, 30),
          Format(6, MJPG, 1920, 1200, 30)},
         {{"3840 x 2160 (16:9), 4K", 2, kClasses + 2 * 4 + 1}, // 2560 x 1440 is too slow
          {"1920 x 1200 (16:10), FHD", 6, kClasses + 2 * 2 + 1},
          {"1440 x 1080 (4:3), FHD", 1, kClasses + 2 * 2}, // YUY2 ranks before MJPG
          {"1280 x 720 (16:9), 720p", 0, 6},
          {"800 x 600 (4:3), SVGA", 5, 3}}},
    };
    for (const auto& c : cases) {
        const auto modes = BuildModeList(c.formats);
        ASSERT_EQ(modes.size(), c.modes.size()) << c.camera;
        for (std::size_t i = 0; i < modes.size(); ++i) {
            EXPECT_EQ(ModeEntryText(modes[i]).toStdString(), c.modes[i].text) << c.camera << " " << i;
            EXPECT_EQ(modes[i].index, c.modes[i].index) << c.camera << " " << i;
            EXPECT_EQ(BadgeIndex(modes[i].width, modes[i].height), c.modes[i].badge) << c.camera << " " << i;
            EXPECT_LT(c.modes[i].badge, kBadgeCount);
        }
    }
}

TEST(Modes, SizeClassesByTheWidthOrHeightTheyReach)
{
    const struct {
        int w, h;
        const char* label;
        bool wide;
    } cases[] = {
        {1278, 718, "SD", true},    {960, 720, "HD", false},    {1366, 768, "HD", true},    {1438, 1078, "HD", false},
        {1440, 1080, "FHD", false}, {1600, 1200, "FHD", false}, {2592, 1944, "QHD", false}, {3836, 2158, "QHD", true},
        {3840, 2160, "4K", true},   {4096, 2160, "4K", true},   {2880, 2160, "4K", false},  {5120, 2880, "5K", true},
        {6016, 3384, "6K", true},   {7680, 4320, "8K", true},   {15360, 8640, "8K", true},  {2160, 3840, "4K", false},
        {720, 480, "SD", true},     {640, 360, "SD", true},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(SizeClassTable[static_cast<std::size_t>(SizeClassOf(c.w, c.h))].label, c.label)
            << c.w << "x" << c.h;
        EXPECT_EQ(IsWidePicture(c.w, c.h), c.wide) << c.w << "x" << c.h;
    }
}

TEST(Modes, AspectTextsOfOddSizes)
{
    const struct {
        int w, h;
        const char* text;
    } cases[] = {
        {3840, 2160, "16:9"}, {1440, 1080, "4:3"}, {352, 288, "11:9"},  {1920, 1200, "16:10"},  {1280, 1024, "5:4"},
        {480, 640, "3:4"},    {854, 480, "16:9"},  {1366, 768, "16:9"}, {2560, 1080, "2.37:1"}, {0, 480, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(AspectText(c.w, c.h).toStdString(), c.text) << c.w << "x" << c.h;
}

TEST(Window, FittingIntoEightyPercentOfTheScreen)
{
    struct Case {
        int w, h, sw, sh;
        CRect expected;
    };
    const Case cases[] = {
        {1280, 720, 1024, 768, {117, 169, 117 + 849, 169 + 490}}, // 819 x 460 shown
        {640, 480, 1024, 768, {207, 159, 207 + 670, 159 + 510}},
        {1920, 1080, 1920, 1080, {207, 123, 207 + 1566, 123 + 894}}, // 1536 x 864 shown
        {1920, 1080, 1024, 768, {117, 169, 117 + 849, 169 + 490}},
        {1280, 960, 1920, 1080, {399, 123, 399 + 1182, 123 + 894}}, // height-limited 4:3
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FitWindowToScreen(c.w, c.h, {c.sw, c.sh}), c.expected) << c.w << "x" << c.h << " on " << c.sw;
    }
    const CRect inner = InnerRect(FitWindowToScreen(1920, 1080, {1920, 1080}));
    EXPECT_EQ(inner.Width(), 1536);
    EXPECT_EQ(inner.Height(), 864);
}

// Modes outside the table get windows of their own shape: a 4K or 5K
// camera the 1080p camera's, a 4:3 one that of the 4:3 table mode.
TEST(Window, ModesOutsideTheTableKeepTheirShape)
{
    const struct {
        int w, h;
        CRect expected;
    } cases[] = {
        {3840, 2160, {207, 123, 207 + 1566, 123 + 894}},
        {5120, 2880, {207, 123, 207 + 1566, 123 + 894}},
        {1440, 1080, {399, 123, 399 + 1182, 123 + 894}}, // as 1280 x 960
        {2880, 2160, {399, 123, 399 + 1182, 123 + 894}},
        {352, 288, {655, 293, 655 + 670, 293 + 554}},   // enlarged to 640 x 524
        {1080, 1920, {732, 123, 732 + 516, 123 + 894}}, // upright
    };
    for (const auto& c : cases) {
        const CPoint shown = DisplayedPictureSize(c.w, c.h);
        EXPECT_EQ(FitWindowToScreen(shown.x, shown.y, {1920, 1080}), c.expected) << c.w << "x" << c.h;
    }
}

TEST(Window, SmallModesAreShownAtVgaSizeAndStartUpIsCentredOffset)
{
    EXPECT_EQ(DisplayedPictureSize(320, 240), (CPoint{640, 480}));
    EXPECT_EQ(DisplayedPictureSize(352, 288), (CPoint{640, 524}));
    EXPECT_EQ(DisplayedPictureSize(176, 144), (CPoint{640, 524}));
    EXPECT_EQ(DisplayedPictureSize(240, 320), (CPoint{640, 853}));
    EXPECT_EQ(DisplayedPictureSize(640, 360), (CPoint{640, 360}));
    EXPECT_EQ(DisplayedPictureSize(1280, 720), (CPoint{1280, 720}));
    EXPECT_EQ(InitialWindowRect({1024, 768}), (CRect{207, 159, 877, 669}));
    EXPECT_EQ(InitialWindowRect({1920, 1080}), (CRect{655, 315, 1325, 825}));
}

TEST(Window, ButtonRectanglesOfAWindow)
{
    const int W = 1566, H = 894;
    const auto rc = ButtonRects(W, H, true);
    EXPECT_EQ(rc[About], (CRect{22, H - 58, 54, H - 26}));
    EXPECT_EQ(rc[Close], (CRect{W - 53, 23, W - 21, 55}));
    EXPECT_EQ(rc[Settings], (CRect{29, 23, 61, 55}));
    EXPECT_EQ(rc[Photo], (CRect{W - 142, H - 56, W - 110, H - 24}));
    EXPECT_EQ(rc[Record], (CRect{W - 90, H - 56, W - 58, H - 24}));
    EXPECT_EQ(rc[Camera], (CRect{W - 290, H - 54, W - 258, H - 22}));
    EXPECT_EQ(rc[Mode], (CRect{W - 250, H - 54, W - 218, H - 22}));
    EXPECT_EQ(rc[Microphone], (CRect{W - 210, H - 54, W - 178, H - 22}));
    // Without a Mode button the Camera button takes its place.
    EXPECT_EQ(ButtonRects(W, H, false)[Camera], rc[Mode]);
    // Every button but the logo is 32 pixels square.
    for (int id = Close; id < ButtonCount; ++id) {
        EXPECT_EQ(rc[static_cast<std::size_t>(id)].Width(), 32) << id;
        EXPECT_EQ(rc[static_cast<std::size_t>(id)].Height(), 32) << id;
    }
}

// The damaged-signal look over timer ticks of 100 ms: each phase adds, on
// every `every`th tick, whole and damaged frames to the camera's counts.
// The looks after each tick: '.' hidden, '#' shown.
TEST(DamagedSignal, MostFramesOfTheLastTwoSecondsDecide)
{
    struct Phase {
        int ticks, whole, damaged, every = 1;
    };
    const auto looks = [](std::initializer_list<std::pair<int, char>> runs) {
        std::string text;
        for (const auto& [count, look] : runs) text.append(static_cast<std::size_t>(count), look);
        return text;
    };
    const struct {
        const char* camera;
        std::vector<Phase> phases;
        std::string looks;
    } cases[] = {
        // The third tick has the six frames it takes.
        {"every frame damaged", {{12, 0, 3}}, looks({{2, '.'}, {10, '#'}})},
        {"one in ten damaged", {{30, 3, 0}, {30, 2, 1}, {30, 3, 0}}, looks({{90, '.'}})},
        {"one in three damaged", {{40, 2, 1}}, looks({{40, '.'}})},
        {"exactly half damaged", {{40, 1, 1}}, looks({{40, '.'}})},
        {"nine in twenty damaged", {{40, 11, 9}}, looks({{40, '.'}})},
        // Good again from tick 26: the look goes once fewer than two in five
        // of the last 20 ticks' frames were damaged, at tick 38.
        {"damaged, then good again", {{25, 0, 3}, {25, 3, 0}}, looks({{2, '.'}, {35, '#'}, {13, '.'}})},
        // Three in five damaged shows it, nine in twenty keeps it, and one
        // in four ends it once it outweighs them (13 ticks).
        {"near one half", {{30, 2, 3}, {30, 11, 9}, {30, 3, 1}}, looks({{2, '.'}, {70, '#'}, {18, '.'}})},
        {"two damaged frames a second", {{60, 0, 1, 5}}, looks({{60, '.'}})},
        // Nothing comes from tick 21: the look stays while six of the last
        // 2 s's frames are there, all damaged.
        {"the stream stops", {{20, 0, 3}, {25, 0, 0}}, looks({{2, '.'}, {36, '#'}, {7, '.'}})},
    };
    for (const auto& c : cases) {
        DamagedSignal signal;
        std::uint64_t whole = 0, damaged = 0;
        std::int64_t now = 1000;
        std::string seen;
        for (const Phase& p : c.phases) {
            for (int t = 1; t <= p.ticks; ++t) {
                if (t % p.every == 0) {
                    whole += static_cast<std::uint64_t>(p.whole);
                    damaged += static_cast<std::uint64_t>(p.damaged);
                }
                seen += signal.Update(now += 100, whole, damaged) ? '#' : '.';
            }
        }
        EXPECT_EQ(seen, c.looks) << c.camera;
    }
}

// Counts that go back are those of a new stream (a new mode or camera):
// what the old one sent no longer counts.
TEST(DamagedSignal, ANewStreamStartsAfresh)
{
    DamagedSignal signal;
    std::int64_t now = 0;
    for (std::uint64_t damaged = 3; damaged <= 60; damaged += 3) signal.Update(now += 100, 0, damaged);
    ASSERT_TRUE(signal.shown());
    EXPECT_EQ(signal.damagedInSpan(), 57u);
    EXPECT_FALSE(signal.Update(now += 100, 3, 0));
    EXPECT_EQ(signal.framesInSpan(), 0u);
    for (std::uint64_t whole = 6; whole <= 30; whole += 3) EXPECT_FALSE(signal.Update(now += 100, whole, 0)) << whole;
    signal.Reset();
    EXPECT_FALSE(signal.shown());
    EXPECT_EQ(signal.framesInSpan(), 0u);
}

TEST(Clock, HoursGrowPastTwoDigits)
{
    EXPECT_EQ(ClockText(0).toStdString(), "00:00:00");
    EXPECT_EQ(ClockText(3599).toStdString(), "00:59:59");
    EXPECT_EQ(ClockText(99 * 3600 + 59 * 60 + 59).toStdString(), "99:59:59");
    EXPECT_EQ(ClockText(100 * 3600 + 61).toStdString(), "100:01:01");
    EXPECT_EQ(ClockText(0xFFFFFFFFu).toStdString(), "1193046:28:15");
}

TEST(Names, FirstFreeNumberOfTheDayNeverOverwrites)
{
    std::set<QString> taken;
    const auto exists = [&taken](const QString& p) { return taken.count(p) > 0; };
    const QString prefix = QStringLiteral("/v/video_");
    EXPECT_EQ(FirstFreeName(prefix, 9, 12, 2026, QStringLiteral(".avi"), exists).value().toStdString(),
              "/v/video_09.12.2026_0001.avi");
    taken.insert(QStringLiteral("/v/video_09.12.2026_0001.avi"));
    taken.insert(QStringLiteral("/v/video_09.12.2026_0002.avi"));
    EXPECT_EQ(FirstFreeName(prefix, 9, 12, 2026, QStringLiteral(".avi"), exists).value().toStdString(),
              "/v/video_09.12.2026_0003.avi");
    taken.erase(QStringLiteral("/v/video_09.12.2026_0001.avi"));
    EXPECT_EQ(FirstFreeName(prefix, 9, 12, 2026, QStringLiteral(".avi"), exists).value().toStdString(),
              "/v/video_09.12.2026_0001.avi");
    // A failed date conversion gives zeros.
    EXPECT_EQ(FirstFreeName(QStringLiteral("img_"), 0, 0, 0, QStringLiteral(".jpg"), exists).value().toStdString(),
              "img_00.00.0000_0001.jpg");
    // All 9999 names taken: none is offered.
    EXPECT_FALSE(FirstFreeName(prefix, 1, 1, 2027, QStringLiteral(".avi"), [](const QString&) { return true; }));
}

} // namespace

namespace {

TEST(Names, RecordingNeedsOneHundredMebibytesUnlessTheQueryFailed)
{
    const std::pair<std::optional<std::uint64_t>, bool> cases[] = {
        {104857600u, true},          // exactly 100 x 2^20
        {104857599u, false},         // one byte short
        {104857600u - 104857u, false}, // 99.9 MB
        {0u, false},
        {std::uint64_t{1} << 52, true}, // more than 2^32 MB: no wrap-around
        {std::nullopt, true},        // unknown: never prevents a recording
    };
    for (const auto& [bytes, ok] : cases) EXPECT_EQ(EnoughSpaceToRecord(bytes), ok) << bytes.value_or(-1);
}

// What a running recording keeps aside comes back when it stops: a recording
// goes on exactly as long as the free space after its stop would let it
// start again.
TEST(Names, RunningRecordingCountsWhatItGivesBackAtItsStop) {
  constexpr std::uint64_t kLimit = 104857600u;
  const struct {
    std::optional<std::uint64_t> free;
    std::uint64_t held;
    bool ok;
  } cases[] = {
      {kLimit - 3000000u, 3000000u, true},   // free again after the stop: exactly the limit
      {kLimit - 3000001u, 3000000u, false},  // one byte short after the stop
      {kLimit - 1u, 0u, false},              // nothing held: as before a start
      {0u, kLimit, true},                    // all of it held
      {0u, std::uint64_t{1} << 63, true},    // no wrap-around
      {std::uint64_t{1} << 63, std::uint64_t{1} << 63, true},
      {std::nullopt, 0u, true},  // unknown: never stops a recording
  };
  for (const auto& c : cases)
    EXPECT_EQ(EnoughSpaceToRecord(c.free, c.held), c.ok) << c.free.value_or(-1) << " + " << c.held;
}

} // namespace
