#include <gtest/gtest.h>

#include <algorithm>

#include "capture/image_adjustments.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

namespace procamp = media::procamp;

class ImageTest : public ::testing::Test {
 protected:
  ImageTest() { device.procAmp = procAmp; }

  // Reads the fake's controls into the slots and forgets the calls so far.
  void Read() {
    ReadImageProperties(device);
    platform->log->clear();
    procAmp->sets.clear();
  }

  std::shared_ptr<fake::FakePlatform> platform = std::make_shared<fake::FakePlatform>();
  media::ScopedPlatform scoped{platform};
  std::shared_ptr<fake::FakeProcAmp> procAmp = platform->MakeProcAmp();
  VideoDevice device;
};

TEST_F(ImageTest, ReadsAllTenSlotsInSlotOrderByPropertyNumber) {
  for (std::int32_t p = 0; p < 10; ++p) procAmp->controls[p] = {};
  ReadImageProperties(device);
  const std::vector<std::string> expected{
      "GetRange 0", "Get 0", "GetRange 1", "Get 1", "GetRange 2", "Get 2", "GetRange 3", "Get 3",
      "GetRange 4", "Get 4", "GetRange 5", "Get 5", "GetRange 7", "Get 7", "GetRange 9", "Get 9",
      "GetRange 8", "Get 8", "GetRange 6", "Get 6"};
  EXPECT_EQ(*platform->log, expected);
}

TEST_F(ImageTest, SlotIsValidOnlyWhenRangeAndValueReadExactly) {
  procAmp->controls[procamp::kBrightness] = {.min = -64, .max = 64, .step = 1, .defaultValue = 0, .value = 12};
  procAmp->controls[procamp::kContrast] = {.rangeStatus = media::kFalse};  // not plain success
  procAmp->controls[procamp::kSaturation] = {.getStatus = media::kFail};
  procAmp->controls[procamp::kWhiteBalance] = {.min = 2800, .max = 6500, .step = 10, .defaultValue = 4600, .value = 5000};
  ReadImageProperties(device);
  const ImageProperty& b = device.property(ImageSlot::Brightness);
  EXPECT_TRUE(b.valid);
  EXPECT_EQ(b.min, -64);
  EXPECT_EQ(b.max, 64);
  EXPECT_EQ(b.value, 12);
  EXPECT_FALSE(device.property(ImageSlot::Contrast).valid);
  EXPECT_FALSE(device.property(ImageSlot::Saturation).valid);
  EXPECT_FALSE(device.property(ImageSlot::Hue).valid);  // unsupported
  EXPECT_TRUE(device.property(ImageSlot::WhiteBalance).valid);
  EXPECT_EQ(device.property(ImageSlot::WhiteBalance).value, 5000);
  // The value is not read when the range could not be.
  EXPECT_EQ(std::count(platform->log->begin(), platform->log->end(), "Get 1"), 0);
}

struct SnapCase {
  std::int32_t min, max, step;
  std::int32_t requested;
  std::int32_t expected;
};

void PrintTo(const SnapCase& c, std::ostream* os) {
  *os << c.requested << " on " << c.min << ".." << c.max << " step " << c.step;
}

class SnapTest : public ImageTest, public ::testing::WithParamInterface<SnapCase> {};

TEST_P(SnapTest, SnapsTowardZeroThenClamps) {
  const SnapCase& c = GetParam();
  procAmp->controls[procamp::kGamma] = {.min = c.min, .max = c.max, .step = c.step, .defaultValue = c.min, .value = c.min};
  Read();
  ASSERT_TRUE(SetImageProperty(device, ImageControl::Gamma, c.requested));
  ASSERT_EQ(procAmp->sets.size(), 1u);
  EXPECT_EQ(procAmp->sets[0].property, procamp::kGamma);
  EXPECT_EQ(procAmp->sets[0].value, c.expected) << "requested " << c.requested;
  EXPECT_EQ(procAmp->sets[0].flags, procamp::kFlagsManual);
  EXPECT_EQ(device.property(ImageSlot::Gamma).value, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SnapTest,
    ::testing::Values(SnapCase{0, 255, 1, 300, 255}, SnapCase{0, 255, 1, -4, 0},
                      SnapCase{-100, 100, 5, 12, 10}, SnapCase{-100, 100, 5, -12, -10},
                      SnapCase{-100, 100, 5, 7, 5}, SnapCase{-100, 100, 5, -7, -5},
                      SnapCase{-100, 100, 5, 15, 15},
                      // min above max: max wins.
                      SnapCase{50, 10, 1, 0, 10},
                      // A step of 0 has no grid: clamping only.
                      SnapCase{0, 100, 0, 37, 37}, SnapCase{0, 100, 0, 170, 100},
                      SnapCase{INT32_MIN, INT32_MAX, -1, INT32_MIN, INT32_MIN}));

TEST_F(ImageTest, InvalidSlotOrUnknownControlMakesNoPlatformCall) {
  procAmp->controls[procamp::kBrightness] = {.rangeStatus = media::kFail};
  Read();
  EXPECT_FALSE(SetImageProperty(device, ImageControl::Brightness, 10));
  EXPECT_FALSE(SetImageProperty(device, static_cast<ImageControl>(6), 10));
  EXPECT_FALSE(SetImageProperty(device, static_cast<ImageControl>(-1), 10));
  EXPECT_TRUE(platform->log->empty());
}

TEST_F(ImageTest, RefusedValueLeavesTheStoredOne) {
  procAmp->controls[procamp::kWhiteBalance] = {.min = 2800, .max = 6500, .step = 10, .defaultValue = 4600, .value = 4600};
  Read();
  procAmp->controls[procamp::kWhiteBalance].setStatus = media::StatusFromErrno(EBUSY);
  EXPECT_FALSE(SetImageProperty(device, ImageControl::WhiteBalance, 5003));
  EXPECT_EQ(device.property(ImageSlot::WhiteBalance).value, 4600);
  procAmp->controls[procamp::kWhiteBalance].setStatus = media::kFalse;  // not exactly 0
  EXPECT_FALSE(SetImageProperty(device, ImageControl::WhiteBalance, 5003));
  procAmp->controls[procamp::kWhiteBalance].setStatus = media::kOk;
  EXPECT_TRUE(SetImageProperty(device, ImageControl::WhiteBalance, 5003));
  EXPECT_EQ(device.property(ImageSlot::WhiteBalance).value, 5000);
  EXPECT_EQ(procAmp->sets.back().property, procamp::kWhiteBalance);
}

TEST_F(ImageTest, EachSettableControlReachesItsPropertyNumber) {
  for (std::int32_t p = 0; p < 10; ++p) procAmp->controls[p] = {};
  Read();
  const std::pair<ImageControl, std::int32_t> expected[] = {
      {ImageControl::Brightness, procamp::kBrightness}, {ImageControl::Contrast, procamp::kContrast},
      {ImageControl::Saturation, procamp::kSaturation}, {ImageControl::Sharpness, procamp::kSharpness},
      {ImageControl::Gamma, procamp::kGamma},           {ImageControl::WhiteBalance, procamp::kWhiteBalance}};
  for (const auto& [control, property] : expected) {
    procAmp->sets.clear();
    ASSERT_TRUE(SetImageProperty(device, control, 100));
    ASSERT_EQ(procAmp->sets.size(), 1u);
    EXPECT_EQ(procAmp->sets[0].property, property);
  }
}

TEST_F(ImageTest, ResetPutsEveryValidControlToItsDefaultInAutomaticMode) {
  for (std::int32_t p = 0; p < 10; ++p) {
    procAmp->controls[p] = {.min = 0, .max = 200, .step = 1, .defaultValue = 100 + p, .value = 7};
  }
  procAmp->controls.erase(procamp::kSharpness);  // unsupported: skipped
  Read();
  procAmp->controls[procamp::kGain].setStatus = media::StatusFromErrno(EIO);  // refused: still stored
  ASSERT_TRUE(ResetImageProperties(device));
  const std::vector<std::string> expected{
      "Set 0 100 1", "Set 1 101 1", "Set 2 102 1", "Set 3 103 1", "Set 5 105 1",
      "Set 7 107 1", "Set 9 109 1", "Set 8 108 1", "Set 6 106 1"};
  EXPECT_EQ(*platform->log, expected);
  EXPECT_EQ(device.property(ImageSlot::Gain).value, 109);
  EXPECT_EQ(device.property(ImageSlot::Hue).value, 102);
  EXPECT_EQ(device.property(ImageSlot::ColorEnable).value, 106);
  EXPECT_EQ(device.property(ImageSlot::Sharpness).value, 0);
}

TEST_F(ImageTest, DeviceWithoutImageControls) {
  device.procAmp.reset();
  device.property(ImageSlot::Brightness) = {.valid = true, .min = 0, .max = 255, .step = 1};
  EXPECT_FALSE(SetImageProperty(device, ImageControl::Brightness, 5));
  EXPECT_FALSE(ResetImageProperties(device));
  ReadImageProperties(device);  // nothing to read from: slots stay
  EXPECT_TRUE(device.property(ImageSlot::Brightness).valid);
  EXPECT_TRUE(platform->log->empty());
}

}  // namespace
}  // namespace kinovo
