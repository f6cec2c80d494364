#include <gtest/gtest.h>

#include "capture/video_formats.h"
#include "platform/media/linux/v4l2_formats.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

namespace pixfmt = media::linux_backend::pixfmt;
using fake::Mode;

class FormatsTest : public ::testing::Test {
 protected:
  FormatsTest() { device.camera = camera; }

  std::shared_ptr<fake::FakeDevices> platform = std::make_shared<fake::FakeDevices>();
  media::ScopedDevices scoped{platform};
  std::shared_ptr<fake::FakeCamera> camera = platform->AddCamera("Cam", "/dev/video0")->camera;
  VideoDevice device;
};

// 640x480 YUYV at 10 to 30 frames per second.
media::CameraMode WorkedExample() { return Mode(pixfmt::kYUYV, 640, 480, 333333, 1000000, 614400); }

TEST_F(FormatsTest, WorkedExampleReadsAndApplies) {
  camera->modes = {WorkedExample()};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 1u);
  const VideoFormat& f = device.formats[0];
  EXPECT_EQ(f.index, 0);
  EXPECT_EQ(f.width, 640);
  EXPECT_EQ(f.height, 480);
  EXPECT_EQ(f.minFps, 10);
  EXPECT_EQ(f.maxFps, 30);
  EXPECT_EQ(f.frameBytes, 614400);
  EXPECT_EQ(f.subtype, pixfmt::kYUYV);

  ASSERT_EQ(ApplyFormat(device, 0, 25), media::kOk);
  ASSERT_EQ(camera->modesSet.size(), 1u);
  const fake::ModeSet& set = camera->modesSet[0];
  EXPECT_EQ(set.pixelFormat, pixfmt::kYUYV);
  EXPECT_EQ(set.width, 640);
  EXPECT_EQ(set.height, 480);
  EXPECT_EQ(set.interval, 400000);
}

struct RateCase {
  std::int64_t minInterval;
  std::int64_t maxInterval;
  std::int32_t requested;
  std::int64_t expectedInterval;
};

void PrintTo(const RateCase& c, std::ostream* os) {
  *os << c.requested << " fps on intervals " << c.minInterval << ".." << c.maxInterval;
}

class RateChoiceTest : public FormatsTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(RateChoiceTest, ClampsTheRequestedRateToTheFormat) {
  const RateCase& c = GetParam();
  camera->modes = {Mode(pixfmt::kYUYV, 640, 480, c.minInterval, c.maxInterval, 614400)};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 1u);
  ASSERT_EQ(ApplyFormat(device, 0, c.requested), media::kOk);
  ASSERT_EQ(camera->modesSet.size(), 1u);
  EXPECT_EQ(camera->modesSet[0].interval, c.expectedInterval) << "requested " << c.requested;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RateChoiceTest,
    ::testing::Values(
        RateCase{333333, 1000000, 0, 333333},    // 0 asks for the highest: 30
        RateCase{333333, 1000000, 60, 333333},   // above: 30
        RateCase{333333, 1000000, 5, 1000000},   // below: 10
        RateCase{333333, 1000000, 25, 400000},   // inside: as asked
        RateCase{1000000, 333333, 30, 333333},   // minFps 30 over maxFps 10: minFps wins
        RateCase{1000000, 333333, 0, 333333},
        // A lowest rate of 0 (interval over a second) and a negative request:
        // the highest rate, never a division by zero.
        RateCase{1000000, 20000000, -5, 1000000}));

TEST_F(FormatsTest, ModesThatCannotBeDividedByAreLeftOutWithoutUsingUpAnIndex) {
  camera->modes = {
      Mode(pixfmt::kYUYV, 640, 480, 0, 1000000, 614400),          // no smallest interval
      Mode(pixfmt::kYUYV, 640, 480, 333333, 0, 614400),           // no largest
      Mode(pixfmt::kYUYV, 640, 480, 20000000, 20000000, 614400),  // maxFps 0
      Mode(pixfmt::kYUYV, 0, 480, 333333, 1000000, 614400),       // no width
      Mode(pixfmt::kYUYV, 640, 0, 333333, 1000000, 614400),       // no height
      Mode(pixfmt::kYUYV, 640, 480, -333333, 1000000, 614400),    // negative
      WorkedExample(),
      Mode(pixfmt::kMJPEG, 1920, 1080, 333333, 666666, 1920 * 1080 * 2),
  };
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 2u);
  EXPECT_EQ(device.formats[0].index, 0);
  EXPECT_EQ(device.formats[0].maxFps, 30);
  EXPECT_EQ(device.formats[1].index, 1);
  EXPECT_EQ(device.formats[1].minFps, 15);
  EXPECT_EQ(device.formats[1].subtype, pixfmt::kMJPEG);
}

TEST_F(FormatsTest, ModesThatCannotBeReadFailTheListAndNoCameraHasNone) {
  device.formats.resize(3);
  camera->modesError = fake::Errno(ENODEV);
  EXPECT_EQ(EnumerateFormats(device), media::StatusFromErrno(ENODEV));
  EXPECT_TRUE(device.formats.empty());
  device.camera.reset();
  EXPECT_EQ(EnumerateFormats(device), media::kFalse);
}

TEST_F(FormatsTest, ApplyFormatRefusesMissingCamerasAndIndexesWithoutTouchingTheCamera) {
  camera->modes = {WorkedExample()};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  platform->log->clear();
  EXPECT_EQ(ApplyFormat(device, 1, 25), media::kFalse);  // index == count
  EXPECT_EQ(ApplyFormat(device, -1, 25), media::kFalse);
  VideoDevice closed = device;
  closed.camera.reset();
  EXPECT_EQ(ApplyFormat(closed, 0, 25), media::kFalse);
  EXPECT_TRUE(platform->log->empty());
}

TEST_F(FormatsTest, ApplyFormatPassesTheCamerasRefusalOn) {
  camera->modes = {WorkedExample()};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  camera->setModeError = fake::Errno(EBUSY);
  EXPECT_EQ(ApplyFormat(device, 0, 25), media::StatusFromErrno(EBUSY));
}

}  // namespace
}  // namespace kinovo
