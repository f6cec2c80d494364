// The capture engine on the real V4L2 and PulseAudio back ends: cameras
// from the virtual camera (profile chosen per suite by CTest), microphones
// from the test PulseAudio daemon.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "capture/video_formats.h"
#include "platform/media/linux/v4l2_formats.h"
#include "tests/capture/vcam_env.h"

namespace kinovo {
namespace {

namespace pixfmt = media::linux_backend::pixfmt;

using vcamtest::ClearLog;
using vcamtest::LogLines;
using vcamtest::LogLinesStartingWith;

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool AnyLineContains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

std::vector<VideoDevice> ListCameras() {
  std::vector<VideoDevice> cameras;
  EnumerateVideoDevices(cameras);
  return cameras;
}

int FindFormat(const VideoDevice& device, std::uint32_t subtype, int width, int height) {
  for (const VideoFormat& f : device.formats) {
    if (f.subtype == subtype && f.width == width && f.height == height) return f.index;
  }
  return -1;
}

// --- two-identical.ini ---

TEST(TwoIdenticalCameras, BothAreListedUnderOneNameWithTheirOwnPaths) {
  const auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].name, QStringLiteral("HD Webcam C270"));
  EXPECT_EQ(cameras[1].name, cameras[0].name);
  EXPECT_EQ(cameras[0].devicePath, QStringLiteral("/dev/video0"));
  EXPECT_EQ(cameras[1].devicePath, QStringLiteral("/dev/video1"));
  EXPECT_EQ(cameras[1].deviceId, QStringLiteral("/dev/video1"));
  // Where each is plugged in tells them apart.
  EXPECT_NE(cameras[0].busInfo, cameras[1].busInfo);
  EXPECT_FALSE(SameCamera(cameras[0], cameras[1]));
  for (const auto& c : cameras) EXPECT_FALSE(c.camera);  // listing opens nothing
}

TEST(TwoIdenticalCameras, EachCameraOpensItsOwnNode) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  VideoDevice& second = cameras[1];
  ASSERT_EQ(OpenVideoDevice(second), media::kOk);
  ASSERT_EQ(second.formats.size(), 2u);
  const int mjpeg = FindFormat(second, pixfmt::kMJPEG, 1280, 720);
  ASSERT_GE(mjpeg, 0);
  ClearLog();
  EXPECT_EQ(ApplyFormat(second, mjpeg, 25), media::kOk);
  EXPECT_TRUE(SetImageProperty(second, ImageControl::Brightness, 200));
  const auto lines = LogLines();
  EXPECT_TRUE(HasLine(lines, "video1 s_fmt MJPG 1280x720"));
  EXPECT_TRUE(HasLine(lines, "video1 s_ctrl brightness 200"));
  EXPECT_FALSE(AnyLineContains(lines, "video0 s_"));
}

// --- no-controls.ini ---

TEST(CameraWithoutControls, OpensWithEveryControlInvalid) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 1u);
  VideoDevice& camera = cameras[0];
  ASSERT_EQ(OpenVideoDevice(camera), media::kOk);
  EXPECT_TRUE(camera.opened);
  ASSERT_EQ(camera.formats.size(), 1u);
  for (const ImageProperty& p : camera.properties) EXPECT_FALSE(p.valid);
  ClearLog();
  for (int c = 0; c < kImageControlCount; ++c) {
    EXPECT_FALSE(SetImageProperty(camera, static_cast<ImageControl>(c), 1));
  }
  EXPECT_TRUE(ResetImageProperties(camera));  // the interface is there
  EXPECT_TRUE(LogLinesStartingWith("video0 s_ctrl").empty());
}

// --- mixed-nodes.ini ---

TEST(NodesThatAreNoCameras, MetadataAndOutputNodesAreNotListed) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].name, QStringLiteral("Front Camera"));
  EXPECT_EQ(cameras[0].devicePath, QStringLiteral("/dev/video0"));
  EXPECT_EQ(cameras[1].name, QStringLiteral("Rear Camera"));
  EXPECT_EQ(cameras[1].devicePath, QStringLiteral("/dev/video3"));
  EXPECT_EQ(OpenVideoDevice(cameras[1]), media::kOk);
  ASSERT_EQ(cameras[1].formats.size(), 1u);
  EXPECT_EQ(cameras[1].formats[0].subtype, pixfmt::kYUYV);
}

TEST(NodesThatAreNoCameras, TheirPathsBindNothing) {
  for (const char* node : {"/dev/video1", "/dev/video2"}) {
    VideoDevice device;
    device.deviceId = QString::fromLatin1(node);
    EXPECT_EQ(OpenVideoDevice(device), media::kFalse) << node;
    EXPECT_FALSE(device.camera) << node;
  }
}

// --- stepwise.ini ---

TEST(StepwiseSizes, RangeBecomesTheCommonSizesOnItsGrid) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 1u);
  VideoDevice& camera = cameras[0];
  ASSERT_EQ(OpenVideoDevice(camera), media::kOk);
  struct Expected {
    int width, height;
  };
  const Expected yuyv[] = {{160, 120},   {176, 144},  {320, 240},   {352, 288},
                           {424, 240},   {640, 360},  {640, 480},   {848, 480},
                           {800, 600},   {1024, 576}, {1024, 768},  {1280, 720},
                           {1280, 800},  {1280, 960}, {1280, 1024}, {1920, 1080}};
  const std::size_t count = std::size(yuyv);
  ASSERT_EQ(camera.formats.size(), count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    const VideoFormat& f = camera.formats[i];
    EXPECT_EQ(f.index, static_cast<int>(i));
    EXPECT_EQ(f.width, yuyv[i].width);
    EXPECT_EQ(f.height, yuyv[i].height);
    EXPECT_EQ(f.subtype, pixfmt::kYUYV);
    EXPECT_EQ(f.minFps, 15);
    EXPECT_EQ(f.maxFps, 30);
    EXPECT_EQ(f.frameBytes, f.width * f.height * 2);
  }
  const VideoFormat& mjpeg = camera.formats[count];
  EXPECT_EQ(mjpeg.subtype, pixfmt::kMJPEG);
  EXPECT_EQ(mjpeg.width, 1280);
  EXPECT_EQ(mjpeg.frameBytes, 1280 * 720 * 2);  // the driver's buffer size
}

TEST(StepwiseSizes, ApplyingASizeFromTheRangeSetsFormatAndInterval) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 1u);
  VideoDevice& camera = cameras[0];
  ASSERT_EQ(OpenVideoDevice(camera), media::kOk);
  const int vga = FindFormat(camera, pixfmt::kYUYV, 848, 480);
  ASSERT_GE(vga, 0);
  ClearLog();
  ASSERT_EQ(ApplyFormat(camera, vga, 15), media::kOk);
  const auto lines = LogLines();
  const auto fmt = std::find(lines.begin(), lines.end(), "video0 s_fmt YUYV 848x480");
  const auto parm = std::find(lines.begin(), lines.end(), "video0 s_parm 1/15");
  ASSERT_NE(fmt, lines.end());
  ASSERT_NE(parm, lines.end());
  EXPECT_LT(fmt, parm);  // setting the format resets the rate, so the rate comes second
}

TEST(StepwiseSizes, ApplyingAFormatLeavesTheStreamToOtherOpenings) {
  // Two openings of one camera, as the controls and the stream have.
  auto first = ListCameras();
  auto second = ListCameras();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  ASSERT_EQ(OpenVideoDevice(first[0]), media::kOk);
  ASSERT_EQ(OpenVideoDevice(second[0]), media::kOk);
  ASSERT_NE(first[0].camera, second[0].camera);
  const int mjpeg = FindFormat(first[0], pixfmt::kMJPEG, 1280, 720);
  ASSERT_GE(mjpeg, 0);
  EXPECT_EQ(ApplyFormat(first[0], mjpeg, 30), media::kOk);
  EXPECT_EQ(ApplyFormat(second[0], 0, 30), media::kOk);
  EXPECT_EQ(ApplyFormat(first[0], mjpeg, 30), media::kOk);
}

// --- auto-white-balance.ini ---

class AutomaticWhiteBalance : public ::testing::Test {
 protected:
  void SetUp() override {
    cameras = ListCameras();
    ASSERT_EQ(cameras.size(), 1u);
    ASSERT_EQ(OpenVideoDevice(camera()), media::kOk);
    ClearLog();
  }
  VideoDevice& camera() { return cameras[0]; }
  std::vector<VideoDevice> cameras;
};

TEST_F(AutomaticWhiteBalance, ControlsAreReadWithTheirRanges) {
  const ImageProperty& wb = camera().property(ImageSlot::WhiteBalance);
  EXPECT_TRUE(wb.valid);
  EXPECT_EQ(wb.min, 2800);
  EXPECT_EQ(wb.max, 6500);
  EXPECT_EQ(wb.step, 10);
  EXPECT_EQ(wb.defaultValue, 4600);
  EXPECT_EQ(wb.value, 4600);
  EXPECT_TRUE(camera().property(ImageSlot::Gain).valid);
  const ImageProperty& hue = camera().property(ImageSlot::Hue);
  EXPECT_TRUE(hue.valid);
  EXPECT_EQ(hue.min, -180);
  const ImageProperty& colour = camera().property(ImageSlot::ColorEnable);
  EXPECT_TRUE(colour.valid);
  EXPECT_EQ(colour.min, 0);
  EXPECT_EQ(colour.max, 1);
  EXPECT_EQ(colour.defaultValue, 1);  // no effect: colour on
  EXPECT_EQ(colour.value, 1);
  EXPECT_FALSE(camera().property(ImageSlot::Contrast).valid);
}

TEST_F(AutomaticWhiteBalance, ManualValueSwitchesAutomaticOffFirstAndSticks) {
  ASSERT_TRUE(SetImageProperty(camera(), ImageControl::WhiteBalance, 5003));
  EXPECT_EQ(camera().property(ImageSlot::WhiteBalance).value, 5000);
  const std::vector<std::string> expected{"video0 s_ctrl white_balance_automatic 0",
                                          "video0 s_ctrl white_balance_temperature 5000"};
  EXPECT_EQ(LogLinesStartingWith("video0 s_ctrl"), expected);

  ReadImageProperties(camera());  // what the camera holds now
  EXPECT_EQ(camera().property(ImageSlot::WhiteBalance).value, 5000);

  // Already manual: the value alone is written.
  ClearLog();
  ASSERT_TRUE(SetImageProperty(camera(), ImageControl::WhiteBalance, 3000));
  EXPECT_EQ(LogLinesStartingWith("video0 s_ctrl"),
            std::vector<std::string>{"video0 s_ctrl white_balance_temperature 3000"});
}

TEST_F(AutomaticWhiteBalance, ResetPutsDefaultsBackAndSwitchesAutomaticOn) {
  ASSERT_TRUE(SetImageProperty(camera(), ImageControl::WhiteBalance, 5000));
  ASSERT_TRUE(SetImageProperty(camera(), ImageControl::Brightness, 20));
  ClearLog();
  ASSERT_TRUE(ResetImageProperties(camera()));
  const auto lines = LogLinesStartingWith("video0 s_ctrl");
  const std::vector<std::string> expected{
      "video0 s_ctrl brightness 0",
      "video0 s_ctrl hue 0",
      "video0 s_ctrl hue_automatic 1",
      "video0 s_ctrl white_balance_temperature 4600",
      "video0 s_ctrl white_balance_automatic 1",
      "video0 s_ctrl gain_automatic 1",  // gain was automatic already
      "video0 s_ctrl color_effects 0",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(camera().property(ImageSlot::WhiteBalance).value, 4600);
  EXPECT_EQ(camera().property(ImageSlot::Brightness).value, 0);
}

// --- gapped-nodes.ini ---

TEST(UnpluggedCamera, NodesAfterAGapAreListed) {
  const auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].devicePath, QStringLiteral("/dev/video1"));
  EXPECT_EQ(cameras[1].devicePath, QStringLiteral("/dev/video10"));
}

TEST(UnpluggedCamera, GoneCameraIsNotReplacedByOneWhosePathExtendsIt) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  vcamtest::Unplug unplug(1);
  EXPECT_EQ(OpenVideoDevice(cameras[0]), media::kFalse);
  EXPECT_FALSE(cameras[0].camera);
  EXPECT_FALSE(cameras[0].opened);
  EXPECT_EQ(OpenVideoDevice(cameras[1]), media::kOk);
  const auto listed = ListCameras();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].devicePath, QStringLiteral("/dev/video10"));
}

TEST(UnpluggedCamera, OpenedCameraThatIsUnpluggedRefusesChanges) {
  auto cameras = ListCameras();
  ASSERT_EQ(cameras.size(), 2u);
  VideoDevice& camera = cameras[0];
  ASSERT_EQ(OpenVideoDevice(camera), media::kOk);
  ASSERT_TRUE(camera.property(ImageSlot::Brightness).valid);
  vcamtest::Unplug unplug(1);
  EXPECT_FALSE(SetImageProperty(camera, ImageControl::Brightness, 10));
  EXPECT_EQ(camera.property(ImageSlot::Brightness).value, 128);
  EXPECT_EQ(ApplyFormat(camera, 0, 25), media::StatusFromErrno(ENODEV));
  EXPECT_TRUE(ResetImageProperties(camera));  // refusals are not reported
  EXPECT_TRUE(LogLinesStartingWith("video1 s_ctrl").empty());
}

// --- microphones, demo.ini ---

TEST(Microphones, SourcesAreListedWithoutMonitors) {
  std::vector<AudioDevice> microphones;
  const std::int32_t count = EnumerateAudioDevices(microphones);
  ASSERT_EQ(count, static_cast<std::int32_t>(microphones.size()));
  const auto sine = std::find_if(microphones.begin(), microphones.end(), [](const AudioDevice& d) {
    return d.devicePath == QStringLiteral("sine");
  });
  ASSERT_NE(sine, microphones.end());
  EXPECT_FALSE(sine->name.isEmpty());
  EXPECT_EQ(sine->deviceId, QStringLiteral("sine"));
  for (const AudioDevice& d : microphones) {
    EXPECT_FALSE(d.devicePath.endsWith(QStringLiteral(".monitor"))) << d.devicePath.toStdString();
  }
}

TEST(Microphones, NoReachableServerGivesAnEmptyList) {
  const std::string saved = vcamtest::EnvOrEmpty("PULSE_SERVER");
  ::setenv("PULSE_SERVER", "unix:/nonexistent/kinovo/pulse/native", 1);
  std::vector<AudioDevice> microphones(2);
  EXPECT_EQ(EnumerateAudioDevices(microphones), 0);
  EXPECT_TRUE(microphones.empty());
  if (saved.empty()) {
    ::unsetenv("PULSE_SERVER");
  } else {
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
  }
}

}  // namespace
}  // namespace kinovo
