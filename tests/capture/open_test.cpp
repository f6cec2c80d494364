#include <gtest/gtest.h>

#include <algorithm>

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "platform/media/linux/v4l2_formats.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

namespace pixfmt = media::linux_backend::pixfmt;

class OpenTest : public ::testing::Test {
 protected:
  // A listed camera with one mode and brightness.
  OpenTest() {
    listed = platform->AddCamera("Cam", "/dev/video0");
    camera = listed->camera;
    camera->modes = {fake::Mode(pixfmt::kYUYV, 640, 480, 333333, 1000000, 614400)};
    camera->controls[media::CameraControl::Brightness] = {};
    EXPECT_EQ(EnumerateVideoDevices(devices), 1);
    platform->log->clear();
  }

  std::shared_ptr<fake::FakeDevices> platform = std::make_shared<fake::FakeDevices>();
  media::ScopedDevices scoped{platform};
  std::shared_ptr<fake::FakeDevices::Listed> listed;
  std::shared_ptr<fake::FakeCamera> camera;
  std::vector<VideoDevice> devices;
};

TEST_F(OpenTest, OpensOnceReadsModesAndLeavesTheControlsToTheCaller) {
  VideoDevice& device = devices[0];
  ASSERT_EQ(OpenVideoDevice(device, ControlsRead::ByCaller), media::kOk);
  EXPECT_TRUE(device.opened);
  EXPECT_EQ(device.camera, camera);
  EXPECT_EQ(device.formats.size(), 1u);
  EXPECT_FALSE(device.property(ImageSlot::Brightness).valid);  // not read yet
  EXPECT_EQ(*platform->log, (fake::CallLog{"OpenCamera /dev/video0", "ListModes /dev/video0"}));

  platform->log->clear();
  EXPECT_EQ(OpenVideoDevice(device), media::kOk);  // already open: nothing happens
  EXPECT_TRUE(platform->log->empty());
  EXPECT_EQ(listed->opens, 1);
}

TEST_F(OpenTest, SettlingOpenReadsTheControlsAfterTheModes) {
  ASSERT_EQ(OpenVideoDevice(devices[0], ControlsRead::AfterSettling), media::kOk);
  EXPECT_TRUE(devices[0].property(ImageSlot::Brightness).valid);
  const auto modes =
      std::find(platform->log->begin(), platform->log->end(), "ListModes /dev/video0");
  const auto range = std::find(platform->log->begin(), platform->log->end(), "QueryControl 0");
  EXPECT_LT(modes, range);
  EXPECT_NE(range, platform->log->end());
}

TEST_F(OpenTest, CameraThatIsGoneOrRefusesCannotBeOpened) {
  listed->openError = fake::Errno(EBUSY);
  EXPECT_EQ(OpenVideoDevice(devices[0]), media::StatusFromErrno(EBUSY));
  EXPECT_FALSE(devices[0].opened);
  platform->cameras.clear();
  EXPECT_EQ(OpenVideoDevice(devices[0]), media::kFalse);
  EXPECT_FALSE(devices[0].opened);
}

TEST_F(OpenTest, FailedModesCanBeRetriedOnTheSameOpening) {
  VideoDevice& device = devices[0];
  camera->modesError = fake::Errno(ENODEV);
  EXPECT_EQ(OpenVideoDevice(device, ControlsRead::ByCaller), media::StatusFromErrno(ENODEV));
  EXPECT_FALSE(device.opened);
  EXPECT_TRUE(device.camera);  // the camera opened the first time is kept

  camera->modesError = {};
  EXPECT_EQ(OpenVideoDevice(device, ControlsRead::ByCaller), media::kOk);
  EXPECT_TRUE(device.opened);
  EXPECT_EQ(listed->opens, 1);
}

// Two cameras of one model share a USB identifier: opening the second opens
// the first one listed, and the record then describes that camera.
TEST_F(OpenTest, SecondOfTwoIdenticalCamerasOpensTheFirstListed) {
  const std::string path1 = R"(\\?\usb#vid_046d&pid_0825&mi_00#7&1&0&0000#{x}\global)";
  const std::string path2 = R"(\\?\usb#vid_046d&pid_0825&mi_00#7&2&0&0000#{x}\global)";
  platform->cameras.clear();
  auto first = platform->AddCamera("C270", "/dev/video0", path1);
  first->camera->modes = camera->modes;
  auto second = platform->AddCamera("C270", "/dev/video2", path2);
  ASSERT_EQ(EnumerateVideoDevices(devices), 2);

  VideoDevice& device = devices[1];
  ASSERT_EQ(OpenVideoDevice(device, ControlsRead::ByCaller), media::kOk);
  EXPECT_EQ(device.camera, first->camera);
  EXPECT_EQ(device.devicePath, QString::fromStdString(path1));
  EXPECT_EQ(device.formats.size(), 1u);
  EXPECT_EQ(second->opens, 0);
}

TEST_F(OpenTest, ACameraListedAgainAtItsNodeKeepsItsOpening) {
  ASSERT_EQ(OpenVideoDevice(devices[0], ControlsRead::ByCaller), media::kOk);
  platform->AddCamera("Other", "/dev/video2");
  std::vector<VideoDevice> again;
  ASSERT_EQ(EnumerateVideoDevices(again), 2);
  EXPECT_EQ(KeepCameraRecords(again, devices), (std::vector<int>{0, -1}));
  EXPECT_TRUE(again[0].opened);
  EXPECT_EQ(again[0].camera, camera);
  EXPECT_EQ(again[0].formats.size(), 1u);
  EXPECT_FALSE(again[1].camera);
  EXPECT_EQ(listed->opens, 1);
}

TEST_F(OpenTest, ACameraBackAtAnotherNodeIsOpenedAnewThere) {
  ASSERT_EQ(OpenVideoDevice(devices[0], ControlsRead::ByCaller), media::kOk);
  const std::string bus = listed->info.busInfo;
  platform->cameras.clear();
  auto moved = platform->AddCamera("Cam", "/dev/video3", {}, bus);
  moved->camera->modes = camera->modes;
  std::vector<VideoDevice> again;
  ASSERT_EQ(EnumerateVideoDevices(again), 1);
  EXPECT_EQ(KeepCameraRecords(again, devices), (std::vector<int>{-1}));
  ASSERT_TRUE(SameCamera(again[0], devices[0]));
  EXPECT_FALSE(again[0].opened);
  ASSERT_EQ(OpenVideoDevice(again[0], ControlsRead::ByCaller), media::kOk);
  EXPECT_EQ(again[0].camera, moved->camera);
  EXPECT_EQ(again[0].node, QStringLiteral("/dev/video3"));
  EXPECT_EQ(moved->opens, 1);
}

TEST_F(OpenTest, AnotherCameraAtTheNodeGetsNoRecordOfTheOld) {
  ASSERT_EQ(OpenVideoDevice(devices[0], ControlsRead::ByCaller), media::kOk);
  struct Case {
    const char* what;
    std::string card, bus;
  };
  const Case cases[] = {
      {"another card", "Other", listed->info.busInfo},
      {"the same model at another place", "Cam", "usb-elsewhere"},
  };
  for (const Case& c : cases) {
    std::vector<VideoDevice> known = devices;
    std::vector<VideoDevice> again = {
        MakeVideoDevice({"/dev/video0", c.card, c.bus, "/dev/video0"})};
    EXPECT_EQ(KeepCameraRecords(again, known), (std::vector<int>{-1})) << c.what;
    EXPECT_FALSE(again[0].camera) << c.what;
    EXPECT_FALSE(again[0].opened) << c.what;
  }
}

}  // namespace
}  // namespace kinovo
