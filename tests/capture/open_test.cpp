#include <gtest/gtest.h>

#include <algorithm>

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

class OpenTest : public ::testing::Test {
 protected:
  // A listed camera with one capture pin, one format and brightness.
  OpenTest() {
    filter = platform->MakeFilter("cam");
    pin = platform->MakePin("capture", media::PIN_CATEGORY_CAPTURE);
    config = platform->MakeConfig();
    config->capabilities = {fake::VideoCapability(640, 480, media::MEDIASUBTYPE_YUY2, 333333,
                                                  1000000, 147456000)};
    pin->config = config;
    filter->pins = {pin};
    procAmp = platform->MakeProcAmp();
    procAmp->controls[media::procamp::kBrightness] = {};
    filter->procAmp = procAmp;
    moniker = platform->AddVideo(QStringLiteral("Cam"), QStringLiteral("/dev/video0"), filter);
    EXPECT_EQ(EnumerateVideoDevices(devices), 1);
    platform->log->clear();
  }

  std::shared_ptr<fake::FakePlatform> platform = std::make_shared<fake::FakePlatform>();
  media::ScopedPlatform scoped{platform};
  std::shared_ptr<fake::FakeFilter> filter;
  std::shared_ptr<fake::FakePin> pin;
  std::shared_ptr<fake::FakeStreamConfig> config;
  std::shared_ptr<fake::FakeProcAmp> procAmp;
  std::shared_ptr<fake::FakeMoniker> moniker;
  std::vector<VideoDevice> devices;
};

TEST_F(OpenTest, OpensInOrderAndWaitsBeforeReadingControls) {
  VideoDevice& device = devices[0];
  ASSERT_EQ(OpenVideoDevice(device), media::kOk);
  EXPECT_TRUE(device.opened);
  EXPECT_EQ(device.filter, filter);
  EXPECT_EQ(device.mainPin, pin);
  EXPECT_EQ(device.procAmp, procAmp);
  EXPECT_EQ(device.formats.size(), 1u);
  EXPECT_TRUE(device.property(ImageSlot::Brightness).valid);
  const std::vector<std::string> start{"BindToObject /dev/video0", "QueryVideoProcAmp cam",
                                       "EnumPins cam", "QueryDirection capture",
                                       "QueryStreamConfig capture"};
  ASSERT_GE(platform->log->size(), start.size());
  EXPECT_TRUE(std::equal(start.begin(), start.end(), platform->log->begin()));
  const auto sleep = std::find(platform->log->begin(), platform->log->end(), "Sleep 200");
  const auto firstRange = std::find(platform->log->begin(), platform->log->end(), "GetRange 0");
  ASSERT_NE(sleep, platform->log->end());
  EXPECT_LT(sleep, firstRange);
  EXPECT_LT(std::find(platform->log->begin(), platform->log->end(), "GetStreamCaps 0"), sleep);

  platform->log->clear();
  EXPECT_EQ(OpenVideoDevice(device), media::kOk);  // already open: nothing happens
  EXPECT_TRUE(platform->log->empty());
}

TEST_F(OpenTest, CameraThatIsGoneCannotBeOpened) {
  platform->devices->video.clear();
  EXPECT_EQ(OpenVideoDevice(devices[0]), media::kFalse);
  EXPECT_FALSE(devices[0].opened);
}

TEST_F(OpenTest, FilterWithoutImageControlsPassesTheFailureOn) {
  filter->procAmp.reset();
  EXPECT_EQ(OpenVideoDevice(devices[0]), media::kNoInterface);
  EXPECT_FALSE(devices[0].opened);
  EXPECT_TRUE(devices[0].filter);  // the bound filter stays
}

TEST_F(OpenTest, FailedPinsOrFormatsReleaseTheControlsAndCanBeRetried) {
  VideoDevice& device = devices[0];
  filter->pins.clear();
  EXPECT_EQ(OpenVideoDevice(device), media::kFalse);
  EXPECT_FALSE(device.procAmp);
  EXPECT_FALSE(device.opened);

  filter->pins = {pin};
  config->countStatus = media::StatusFromErrno(ENODEV);
  EXPECT_EQ(OpenVideoDevice(device), media::StatusFromErrno(ENODEV));
  EXPECT_FALSE(device.procAmp);
  EXPECT_FALSE(device.opened);
  EXPECT_EQ(moniker->bindCalls, 1);  // the filter bound the first time is kept

  config->countStatus = media::kOk;
  EXPECT_EQ(OpenVideoDevice(device), media::kOk);
  EXPECT_TRUE(device.opened);
  EXPECT_EQ(moniker->bindCalls, 1);
}

TEST_F(OpenTest, WrongCapabilitySizeStillOpens) {
  config->structureSize = 100;
  EXPECT_EQ(OpenVideoDevice(devices[0]), media::kOk);
  EXPECT_TRUE(devices[0].opened);
  EXPECT_TRUE(devices[0].formats.empty());
}

// Two cameras of one model share a USB identifier: opening the second binds
// the first one listed, and the record then describes that camera.
TEST_F(OpenTest, SecondOfTwoIdenticalCamerasOpensTheFirstListed) {
  const QString path1 = QStringLiteral(R"(\\?\usb#vid_046d&pid_0825&mi_00#7&1&0&0000#{x}\global)");
  const QString path2 = QStringLiteral(R"(\\?\usb#vid_046d&pid_0825&mi_00#7&2&0&0000#{x}\global)");
  platform->devices->video.clear();
  auto other = platform->MakeFilter("cam2");
  other->pins = {platform->MakePin("capture2", media::PIN_CATEGORY_CAPTURE)};
  other->procAmp = platform->MakeProcAmp();
  auto first = platform->AddVideo(QStringLiteral("C270"), path1, filter);
  auto second = platform->AddVideo(QStringLiteral("C270"), path2, other);
  ASSERT_EQ(EnumerateVideoDevices(devices), 2);
  platform->log->clear();

  VideoDevice& device = devices[1];
  ASSERT_EQ(OpenVideoDevice(device), media::kOk);
  EXPECT_EQ(device.filter, filter);
  EXPECT_EQ(device.mainPin, pin);
  EXPECT_EQ(device.procAmp, procAmp);
  EXPECT_EQ(device.devicePath, path1);
  EXPECT_EQ(device.formats.size(), 1u);
  EXPECT_EQ(second->bindCalls, 0);
  ASSERT_FALSE(platform->log->empty());
  EXPECT_EQ(platform->log->front(), "BindToObject " + path1.toStdString());
}

}  // namespace
}  // namespace kinovo
