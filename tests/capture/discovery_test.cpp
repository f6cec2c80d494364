#include <gtest/gtest.h>

#include "capture/device_discovery.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

class DiscoveryTest : public ::testing::Test {
 protected:
  std::shared_ptr<fake::FakeDevices> platform = std::make_shared<fake::FakeDevices>();
  media::ScopedDevices scoped{platform};
};

struct NameCase {
  const char16_t* friendlyName;
  const char16_t* stored;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << QString::fromUtf16(c.friendlyName).size() << " characters";
}

class NameShorteningTest : public DiscoveryTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(NameShorteningTest, KeepsThirtyCharactersAndAddsDots) {
  const NameCase& c = GetParam();
  platform->AddCamera(QString::fromUtf16(c.friendlyName).toStdString(), "/dev/video0");
  platform->microphones = {{"alsa_input.a", QString::fromUtf16(c.friendlyName).toStdString()}};
  std::vector<VideoDevice> cameras;
  ASSERT_EQ(EnumerateVideoDevices(cameras), 1);
  EXPECT_EQ(cameras[0].name, QString::fromUtf16(c.stored));
  std::vector<AudioDevice> microphones;
  ASSERT_EQ(EnumerateAudioDevices(microphones), 1);
  EXPECT_EQ(microphones[0].name, QString::fromUtf16(c.stored));
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameShorteningTest,
    ::testing::Values(
        // 30 characters stay as they are.
        NameCase{u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"},
        // 31 characters: the first 30 and "...".
        NameCase{u"ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123..."},
        NameCase{u"Веб-камера Logitech HD Pro C920 (USB)", u"Веб-камера Logitech HD Pro C92..."},
        // A surrogate pair straddling the cut is not split in half.
        NameCase{u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012\U0001F4F7xyz",
                 u"ABCDEFGHIJKLMNOPQRSTUVWXYZ012..."}));

struct IdCase {
  const char* path;
  const char* id;
};

void PrintTo(const IdCase& c, std::ostream* os) { *os << c.path; }

class MakeDeviceIdTest : public ::testing::TestWithParam<IdCase> {};

TEST_P(MakeDeviceIdTest, FollowsTheUsbRule) {
  EXPECT_EQ(MakeDeviceId(QString::fromUtf8(GetParam().path)), QString::fromUtf8(GetParam().id));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, MakeDeviceIdTest,
    ::testing::Values(
        IdCase{R"(\\?\usb#vid_abcd&pid_ef01&mi_00#6&2f&0&0#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global)",
               "vid_abcd&pid_ef01&mi_00"},
        IdCase{R"(\\?\USB#VID_046D&PID_0825&MI_00#7&1EAC75B1&0&0000#{X}\GLOBAL)",
               "vid_046d&pid_0825&mi_00"},
        // No marker: the whole path, lower-cased.
        IdCase{R"(\\?\root#image#0000#{6BDD1FC6}\Global)", R"(\\?\root#image#0000#{6bdd1fc6}\global)"},
        // Marker at the very start, or ending the text: the whole path.
        IdCase{R"(\usb#vid_1&pid_2#x)", R"(\usb#vid_1&pid_2#x)"},
        IdCase{R"(\\?\USB#)", R"(\\?\usb#)"},
        // Marker with no later '#': everything after it.
        IdCase{R"(\\?\usb#vid_abcd&pid_ef01)", "vid_abcd&pid_ef01"},
        // Linux device paths carry no marker.
        IdCase{"/dev/video1", "/dev/video1"},
        IdCase{"/dev/v4l/by-id/usb-Logitech_HD_Webcam_C270_200901010001-video-index0",
               "/dev/v4l/by-id/usb-logitech_hd_webcam_c270_200901010001-video-index0"}));

struct MatchCase {
  const char* id;
  const char* lowerPath;
  bool matches;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.id << " in " << c.lowerPath; }

class DeviceIdMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(DeviceIdMatchTest, MatchesOnlyWholeIdentifiers) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(DeviceIdMatchesPath(QString::fromUtf8(c.id), QString::fromUtf8(c.lowerPath)), c.matches)
      << c.id << " in " << c.lowerPath;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DeviceIdMatchTest,
    ::testing::Values(
        MatchCase{"vid_abcd&pid_ef01&mi_00", R"(\\?\usb#vid_abcd&pid_ef01&mi_00#6&2f&0&0#{x}\global)", true},
        MatchCase{"vid_abcd&pid_ef01&mi_0", R"(\\?\usb#vid_abcd&pid_ef01&mi_00#6&2f&0&0#{x}\global)", false},
        MatchCase{"/dev/video1", "/dev/video1", true},
        MatchCase{"/dev/video1", "/dev/video10", false},
        MatchCase{"/dev/video1", "/dev/video11", false},
        MatchCase{"/dev/video10", "/dev/video1", false},
        MatchCase{"", "/dev/video3", true}));

TEST_F(DiscoveryTest, ListsEveryDeviceInPlatformOrderWithoutOpeningCameras) {
  auto first = platform->AddCamera("USB Camera", "/dev/video0",
                                   "/dev/v4l/by-id/usb-Cam-video-index0", "usb-0000:00:14.0-1");
  auto second = platform->AddCamera("USB Camera", "/dev/video2");
  auto unnamed = platform->AddCamera("", "/dev/video4");
  std::vector<VideoDevice> devices(3);  // what was there before is dropped
  ASSERT_EQ(EnumerateVideoDevices(devices), 3);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].name, devices[1].name);
  EXPECT_EQ(devices[0].devicePath, QStringLiteral("/dev/v4l/by-id/usb-Cam-video-index0"));
  EXPECT_EQ(devices[0].deviceId, QStringLiteral("/dev/v4l/by-id/usb-cam-video-index0"));
  EXPECT_EQ(devices[0].node, QStringLiteral("/dev/video0"));
  EXPECT_EQ(devices[0].busInfo, QStringLiteral("usb-0000:00:14.0-1"));
  EXPECT_EQ(devices[1].devicePath, QStringLiteral("/dev/video2"));
  EXPECT_TRUE(devices[2].name.isEmpty());  // still listed
  for (const auto& d : devices) {
    EXPECT_FALSE(d.camera);
    EXPECT_FALSE(d.opened);
    EXPECT_EQ(d.formatIndex, 0);
    EXPECT_EQ(d.frameRate, 25);
  }
  EXPECT_EQ(first->opens + second->opens + unnamed->opens, 0);

  platform->cameras.clear();
  EXPECT_EQ(EnumerateVideoDevices(devices), 0);
  EXPECT_TRUE(devices.empty());
}

TEST_F(DiscoveryTest, MicrophonesKeepTheServersOrderAndNames) {
  platform->microphones = {{"alsa_input.b", "Mic B"}, {"alsa_input.a", "Mic A"}};
  std::vector<AudioDevice> devices(4);
  ASSERT_EQ(EnumerateAudioDevices(devices), 2);
  EXPECT_EQ(devices[0].name, QStringLiteral("Mic B"));
  EXPECT_EQ(devices[1].name, QStringLiteral("Mic A"));
  EXPECT_EQ(devices[1].devicePath, QStringLiteral("alsa_input.a"));
  EXPECT_EQ(devices[1].deviceId, QStringLiteral("alsa_input.a"));
}

TEST_F(DiscoveryTest, TwoCamerasOfOneModelShareAnIdentifierAndBindTheFirst) {
  const std::string path1 = R"(\\?\usb#vid_046d&pid_0825&mi_00#7&1&0&0000#{x}\global)";
  const std::string path2 = R"(\\?\usb#vid_046d&pid_0825&mi_00#7&2&0&0000#{x}\global)";
  auto first = platform->AddCamera("C270", "/dev/video0", path1);
  auto second = platform->AddCamera("C270", "/dev/video2", path2);
  std::vector<VideoDevice> devices;
  ASSERT_EQ(EnumerateVideoDevices(devices), 2);
  EXPECT_EQ(devices[0].deviceId, devices[1].deviceId);
  VideoDevice& secondDevice = devices[1];
  EXPECT_EQ(BindVideoDeviceById(secondDevice, secondDevice.deviceId), media::kOk);
  EXPECT_EQ(secondDevice.camera, first->camera);
  // Rewritten from the matched device.
  EXPECT_EQ(secondDevice.devicePath, QString::fromStdString(path1));
  EXPECT_EQ(secondDevice.node, QStringLiteral("/dev/video0"));
  EXPECT_EQ(second->opens, 0);
}

TEST_F(DiscoveryTest, LinuxNodePathDoesNotBindAnotherNodeWhoseNameExtendsIt) {
  auto video10 = platform->AddCamera("Cam", "/dev/video10");
  VideoDevice device;
  device.deviceId = QStringLiteral("/dev/video1");
  // /dev/video1 has gone away: nothing may be bound in its place.
  EXPECT_EQ(BindVideoDeviceById(device, device.deviceId), media::kFalse);
  EXPECT_FALSE(device.camera);
  EXPECT_EQ(video10->opens, 0);
  auto video1 = platform->AddCamera("Cam", "/dev/video1");
  EXPECT_EQ(BindVideoDeviceById(device, device.deviceId), media::kOk);
  EXPECT_EQ(device.camera, video1->camera);
}

TEST_F(DiscoveryTest, BindGoesOnPastCamerasThatDoNotOpenAndSaysWhy) {
  auto broken = platform->AddCamera("Cam", "/dev/video0", R"(\\?\usb#vid_1&pid_2&mi_00#a#{x})");
  broken->openError = fake::Errno(EBUSY);
  auto good = platform->AddCamera("Cam", "/dev/video1", R"(\\?\usb#vid_1&pid_2&mi_00#b#{x})");
  VideoDevice device;
  EXPECT_EQ(BindVideoDeviceById(device, QStringLiteral("vid_1&pid_2&mi_00")), media::kOk);
  EXPECT_EQ(device.camera, good->camera);

  // None matches: 1. The only match does not open: its reason.
  VideoDevice other;
  EXPECT_EQ(BindVideoDeviceById(other, QStringLiteral("vid_9&pid_9&mi_00")), media::kFalse);
  good->openError = fake::Errno(ENODEV);
  EXPECT_EQ(BindVideoDeviceById(other, QStringLiteral("vid_1&pid_2&mi_00")),
            media::StatusFromErrno(ENODEV));
  EXPECT_FALSE(other.camera);
  platform->cameras.clear();
  EXPECT_EQ(BindVideoDeviceById(other, QString()), media::kFalse);
}

TEST_F(DiscoveryTest, TheSameCameraIsItsCardAtItsPlaceWhateverItsNode) {
  VideoDevice before =
      MakeVideoDevice({"/dev/video0", "C920", "usb-0000:00:14.0-2", "/dev/video0"});
  const VideoDevice back =
      MakeVideoDevice({"/dev/video3", "C920", "usb-0000:00:14.0-2", "/dev/video3"});
  const VideoDevice twin =
      MakeVideoDevice({"/dev/video2", "C920", "usb-0000:00:14.0-3", "/dev/video2"});
  EXPECT_TRUE(SameCamera(before, back));
  EXPECT_FALSE(SameCamera(before, twin));
  before.name = QStringLiteral("C270");
  EXPECT_FALSE(SameCamera(before, back));
}

}  // namespace
}  // namespace kinovo
