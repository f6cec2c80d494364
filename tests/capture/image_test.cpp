#include <gtest/gtest.h>

#include <algorithm>

#include "capture/image_adjustments.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

using media::CameraControl;
using media::ControlMode;

class ImageTest : public ::testing::Test {
 protected:
  ImageTest() { device.camera = camera; }

  // Reads the fake's controls into the slots and forgets the calls so far.
  void Read() {
    ReadImageProperties(device);
    platform->log->clear();
    camera->writes.clear();
  }

  std::shared_ptr<fake::FakeDevices> platform = std::make_shared<fake::FakeDevices>();
  media::ScopedDevices scoped{platform};
  std::shared_ptr<fake::FakeCamera> camera = platform->AddCamera("Cam", "/dev/video0")->camera;
  VideoDevice device;
};

// Every control the engine knows, with the camera's default settings.
void AddAllControls(fake::FakeCamera& camera) {
  for (int c = 0; c < 10; ++c) camera.controls[static_cast<CameraControl>(c)] = {};
}

TEST_F(ImageTest, ReadsAllTenSlotsInSlotOrder) {
  AddAllControls(*camera);
  ReadImageProperties(device);
  const std::vector<std::string> expected{
      "QueryControl 0", "ReadControl 0",  "QueryControl 1", "ReadControl 1",  "QueryControl 2",
      "ReadControl 2",  "QueryControl 3", "ReadControl 3",  "QueryControl 4", "ReadControl 4",
      "QueryControl 5", "ReadControl 5",  "QueryControl 7", "ReadControl 7",  "QueryControl 9",
      "ReadControl 9",  "QueryControl 8", "ReadControl 8",  "QueryControl 6", "ReadControl 6"};
  EXPECT_EQ(*platform->log, expected);
}

TEST_F(ImageTest, SlotIsValidOnlyWhenRangeAndValueReadExactly) {
  camera->controls[CameraControl::Brightness] = {
      .min = -64, .max = 64, .step = 1, .defaultValue = 0, .value = 12};
  camera->controls[CameraControl::Contrast] = {.queryError = fake::Errno(EIO)};
  camera->controls[CameraControl::Saturation] = {.readError = fake::Errno(EIO)};
  camera->controls[CameraControl::WhiteBalance] = {
      .min = 2800, .max = 6500, .step = 10, .defaultValue = 4600, .value = 5000};
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
  EXPECT_EQ(std::count(platform->log->begin(), platform->log->end(), "ReadControl 1"), 0);
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
  camera->controls[CameraControl::Gamma] = {
      .min = c.min, .max = c.max, .step = c.step, .defaultValue = c.min, .value = c.min};
  Read();
  ASSERT_TRUE(SetImageProperty(device, ImageControl::Gamma, c.requested));
  ASSERT_EQ(camera->writes.size(), 1u);
  EXPECT_EQ(camera->writes[0].control, CameraControl::Gamma);
  EXPECT_EQ(camera->writes[0].value, c.expected) << "requested " << c.requested;
  EXPECT_EQ(camera->writes[0].mode, ControlMode::Manual);
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
  camera->controls[CameraControl::Brightness] = {.queryError = fake::Errno(EIO)};
  Read();
  EXPECT_FALSE(SetImageProperty(device, ImageControl::Brightness, 10));
  EXPECT_FALSE(SetImageProperty(device, static_cast<ImageControl>(6), 10));
  EXPECT_FALSE(SetImageProperty(device, static_cast<ImageControl>(-1), 10));
  EXPECT_TRUE(platform->log->empty());
}

TEST_F(ImageTest, RefusedValueLeavesTheStoredOne) {
  camera->controls[CameraControl::WhiteBalance] = {
      .min = 2800, .max = 6500, .step = 10, .defaultValue = 4600, .value = 4600};
  Read();
  camera->controls[CameraControl::WhiteBalance].writeError = fake::Errno(EBUSY);
  EXPECT_FALSE(SetImageProperty(device, ImageControl::WhiteBalance, 5003));
  EXPECT_EQ(device.property(ImageSlot::WhiteBalance).value, 4600);
  camera->controls[CameraControl::WhiteBalance].writeError = {};
  EXPECT_TRUE(SetImageProperty(device, ImageControl::WhiteBalance, 5003));
  EXPECT_EQ(device.property(ImageSlot::WhiteBalance).value, 5000);
  EXPECT_EQ(camera->writes.back().control, CameraControl::WhiteBalance);
}

TEST_F(ImageTest, EachSettableControlReachesItsCameraControl) {
  AddAllControls(*camera);
  Read();
  const std::pair<ImageControl, CameraControl> expected[] = {
      {ImageControl::Brightness, CameraControl::Brightness},
      {ImageControl::Contrast, CameraControl::Contrast},
      {ImageControl::Saturation, CameraControl::Saturation},
      {ImageControl::Sharpness, CameraControl::Sharpness},
      {ImageControl::Gamma, CameraControl::Gamma},
      {ImageControl::WhiteBalance, CameraControl::WhiteBalance}};
  for (const auto& [control, cameraControl] : expected) {
    camera->writes.clear();
    ASSERT_TRUE(SetImageProperty(device, control, 100));
    ASSERT_EQ(camera->writes.size(), 1u);
    EXPECT_EQ(camera->writes[0].control, cameraControl);
  }
}

TEST_F(ImageTest, ResetPutsEveryValidControlToItsDefaultInAutomaticMode) {
  for (int c = 0; c < 10; ++c) {
    camera->controls[static_cast<CameraControl>(c)] = {
        .min = 0, .max = 200, .step = 1, .defaultValue = 100 + c, .value = 7};
  }
  camera->controls.erase(CameraControl::Sharpness);  // unsupported: skipped
  Read();
  camera->controls[CameraControl::Gain].writeError = fake::Errno(EIO);  // refused: still stored
  ASSERT_TRUE(ResetImageProperties(device));
  const std::vector<std::string> expected{
      "WriteControl 0 100", "WriteControl 1 101", "WriteControl 2 102",
      "WriteControl 3 103", "WriteControl 5 105", "WriteControl 7 107",
      "WriteControl 9 109", "WriteControl 8 108", "WriteControl 6 106"};
  EXPECT_EQ(*platform->log, expected);
  for (const auto& write : camera->writes) EXPECT_EQ(write.mode, ControlMode::Automatic);
  EXPECT_EQ(device.property(ImageSlot::Gain).value, 109);
  EXPECT_EQ(device.property(ImageSlot::Hue).value, 102);
  EXPECT_EQ(device.property(ImageSlot::ColorEnable).value, 106);
  EXPECT_EQ(device.property(ImageSlot::Sharpness).value, 0);
}

TEST_F(ImageTest, DeviceWithoutImageControls) {
  device.camera.reset();
  device.property(ImageSlot::Brightness) = {.valid = true, .min = 0, .max = 255, .step = 1};
  EXPECT_FALSE(SetImageProperty(device, ImageControl::Brightness, 5));
  EXPECT_FALSE(ResetImageProperties(device));
  ReadImageProperties(device);  // nothing to read from: slots stay
  EXPECT_TRUE(device.property(ImageSlot::Brightness).valid);
  EXPECT_TRUE(platform->log->empty());
}

}  // namespace
}  // namespace kinovo
