#include <gtest/gtest.h>

#include "capture/device_discovery.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

using fake::FakePlatform;

class DiscoveryTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
  media::ScopedPlatform scoped{platform};
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
  platform->AddVideo(QString::fromUtf16(c.friendlyName), QStringLiteral("/dev/video0"));
  std::vector<VideoDevice> devices;
  ASSERT_EQ(EnumerateVideoDevices(devices), 1);
  EXPECT_EQ(devices[0].name, QString::fromUtf16(c.stored));
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

TEST_F(DiscoveryTest, ListsEveryDeviceInPlatformOrderWithoutBindingCameras) {
  auto first = platform->AddVideo(QStringLiteral("USB Camera"), QStringLiteral("/dev/video0"));
  auto second = platform->AddVideo(QStringLiteral("USB Camera"), QStringLiteral("/dev/video2"));
  auto unnamed = platform->AddVideo(QString(), QStringLiteral("/dev/video4"));
  std::vector<VideoDevice> devices(3);  // what was there before is dropped
  ASSERT_EQ(EnumerateVideoDevices(devices), 3);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].name, devices[1].name);
  EXPECT_EQ(devices[0].devicePath, QStringLiteral("/dev/video0"));
  EXPECT_EQ(devices[1].devicePath, QStringLiteral("/dev/video2"));
  EXPECT_EQ(devices[1].deviceId, QStringLiteral("/dev/video2"));
  EXPECT_EQ(devices[1].clsid, QStringLiteral("{CLSID-V}"));
  EXPECT_TRUE(devices[2].name.isEmpty());
  for (const auto& d : devices) {
    EXPECT_FALSE(d.filter);
    EXPECT_FALSE(d.opened);
    EXPECT_EQ(d.formatIndex, 0);
    EXPECT_EQ(d.frameRate, 25);
  }
  EXPECT_EQ(first->bindCalls + second->bindCalls + unnamed->bindCalls, 0);
}

TEST_F(DiscoveryTest, SkipsDevicesWhosePropertiesCannotBeOpenedAndKeepsUnreadableOnesEmpty) {
  platform->AddVideo(QStringLiteral("Broken"), QStringLiteral("/dev/video0"))->bagStatus = media::kFail;
  auto partial = platform->AddVideo(QStringLiteral("Partial"), QStringLiteral("/dev/video1"));
  partial->properties.erase(QStringLiteral("CLSID"));
  partial->properties.erase(QStringLiteral("DevicePath"));
  std::vector<VideoDevice> devices;
  ASSERT_EQ(EnumerateVideoDevices(devices), 1);
  EXPECT_EQ(devices[0].name, QStringLiteral("Partial"));
  EXPECT_TRUE(devices[0].clsid.isEmpty());
  EXPECT_TRUE(devices[0].devicePath.isEmpty());
  EXPECT_TRUE(devices[0].deviceId.isEmpty());
}

TEST_F(DiscoveryTest, NoEnumeratorOrEmptyCategoryGivesAnEmptyList) {
  std::vector<VideoDevice> devices(2);
  EXPECT_EQ(EnumerateVideoDevices(devices), 0);  // empty category
  EXPECT_TRUE(devices.empty());
  platform->AddVideo(QStringLiteral("Cam"), QStringLiteral("/dev/video0"));
  platform->createStatus = media::kFail;
  devices.resize(1);
  EXPECT_EQ(EnumerateVideoDevices(devices), 0);
  EXPECT_TRUE(devices.empty());
}

TEST_F(DiscoveryTest, MicrophonesAreBoundAndOnesThatCannotBeAreLeftOut) {
  platform->AddAudio(QStringLiteral("Mic A"), QStringLiteral("alsa_input.a"));
  platform->AddAudio(QStringLiteral("Mic B"), QStringLiteral("alsa_input.b"))->bindStatus =
      media::StatusFromErrno(ENODEV);
  platform->AddAudio(QStringLiteral("Mic C"), QStringLiteral("alsa_input.c"));
  std::vector<AudioDevice> devices;
  ASSERT_EQ(EnumerateAudioDevices(devices), 2);
  EXPECT_EQ(devices[0].name, QStringLiteral("Mic A"));
  EXPECT_EQ(devices[1].name, QStringLiteral("Mic C"));
  EXPECT_EQ(devices[1].deviceId, QStringLiteral("alsa_input.c"));
  EXPECT_TRUE(devices[0].filter);
  EXPECT_TRUE(devices[1].filter);
}

TEST_F(DiscoveryTest, ReadDeviceMonikerStatuses) {
  VideoDevice device;
  EXPECT_EQ(ReadDeviceMoniker(device, nullptr, false), media::kFalse);
  auto named = platform->AddVideo(QStringLiteral("Cam"), QStringLiteral("/dev/video0"));
  EXPECT_EQ(ReadDeviceMoniker(device, named.get(), false), media::kOk);
  VideoDevice unnamedDevice;
  auto unnamed = platform->AddVideo(QString(), QStringLiteral("/dev/video1"));
  EXPECT_EQ(ReadDeviceMoniker(unnamedDevice, unnamed.get(), false), media::kFalse);
  named->bagStatus = media::kFalse;  // anything but 0 is passed on
  EXPECT_EQ(ReadDeviceMoniker(device, named.get(), false), media::kFalse);
  named->bagStatus = media::kOk;
  named->bindStatus = media::kNoInterface;
  EXPECT_EQ(ReadDeviceMoniker(device, named.get(), true), media::kNoInterface);
}

TEST_F(DiscoveryTest, TwoCamerasOfOneModelShareAnIdentifierAndBindTheFirst) {
  const QString path1 = QStringLiteral(R"(\\?\usb#vid_046d&pid_0825&mi_00#7&1&0&0000#{x}\global)");
  const QString path2 = QStringLiteral(R"(\\?\usb#vid_046d&pid_0825&mi_00#7&2&0&0000#{x}\global)");
  auto first = platform->AddVideo(QStringLiteral("C270"), path1);
  auto second = platform->AddVideo(QStringLiteral("C270"), path2);
  std::vector<VideoDevice> devices;
  ASSERT_EQ(EnumerateVideoDevices(devices), 2);
  EXPECT_EQ(devices[0].deviceId, devices[1].deviceId);
  VideoDevice& secondDevice = devices[1];
  EXPECT_EQ(BindVideoDeviceById(secondDevice, secondDevice.deviceId), media::kOk);
  EXPECT_EQ(secondDevice.filter, first->filter);
  EXPECT_EQ(secondDevice.devicePath, path1);  // rewritten from the matched device
  EXPECT_EQ(second->bindCalls, 0);
}

TEST_F(DiscoveryTest, LinuxNodePathDoesNotBindAnotherNodeWhoseNameExtendsIt) {
  auto video10 = platform->AddVideo(QStringLiteral("Cam"), QStringLiteral("/dev/video10"));
  VideoDevice device;
  device.deviceId = QStringLiteral("/dev/video1");
  // /dev/video1 has gone away: nothing may be bound in its place.
  EXPECT_EQ(BindVideoDeviceById(device, device.deviceId), media::kFalse);
  EXPECT_FALSE(device.filter);
  EXPECT_EQ(video10->bindCalls, 0);
  auto video1 = platform->AddVideo(QStringLiteral("Cam"), QStringLiteral("/dev/video1"));
  EXPECT_EQ(BindVideoDeviceById(device, device.deviceId), media::kOk);
  EXPECT_EQ(device.filter, video1->filter);
}

TEST_F(DiscoveryTest, BindGoesOnPastDevicesThatFailAndReportsWhenNoneMatches) {
  auto broken = platform->AddVideo(QStringLiteral("Cam"), QStringLiteral(R"(\\?\usb#vid_1&pid_2&mi_00#a#{x})"));
  broken->bindStatus = media::StatusFromErrno(EBUSY);
  auto good = platform->AddVideo(QStringLiteral("Cam"), QStringLiteral(R"(\\?\usb#vid_1&pid_2&mi_00#b#{x})"));
  VideoDevice device;
  EXPECT_EQ(BindVideoDeviceById(device, QStringLiteral("vid_1&pid_2&mi_00")), media::kOk);
  EXPECT_EQ(device.filter, good->filter);

  VideoDevice other;
  EXPECT_EQ(BindVideoDeviceById(other, QStringLiteral("vid_9&pid_9&mi_00")), media::kFalse);
  platform->devices->videoStatus = media::kFalse;  // empty category
  EXPECT_EQ(BindVideoDeviceById(other, QString()), media::kFalse);
  platform->devices->videoStatus = media::kFail;
  EXPECT_EQ(BindVideoDeviceById(other, QString()), media::kFail);
}

// Pin choice: which pins become mainPin and extraCapturePin.
struct PinSpec {
  std::optional<media::Guid> category;  // none: no category information
  media::PinDirection direction = media::PinDirection::Output;
  media::Status directionStatus = media::kOk;
};

struct PinCase {
  const char* label;
  std::vector<PinSpec> pins;
  int mainPin;          // index into pins, -1 none
  int extraCapturePin;  // index into pins, -1 none
  media::Status status;
};

void PrintTo(const PinCase& c, std::ostream* os) { *os << c.label; }

class FindDevicePinsTest : public DiscoveryTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(FindDevicePinsTest, PicksMainAndExtraCapturePins) {
  const PinCase& c = GetParam();
  VideoDevice device;
  auto filter = platform->MakeFilter();
  std::vector<std::shared_ptr<fake::FakePin>> pins;
  for (std::size_t i = 0; i < c.pins.size(); ++i) {
    auto pin = platform->MakePin("p" + std::to_string(i), c.pins[i].category, c.pins[i].direction);
    pin->directionStatus = c.pins[i].directionStatus;
    pins.push_back(pin);
    filter->pins.push_back(pin);
  }
  device.filter = filter;
  EXPECT_EQ(FindDevicePins(device), c.status) << c.label;
  auto expected = [&](int i) -> std::shared_ptr<media::Pin> {
    return i < 0 ? nullptr : pins[static_cast<std::size_t>(i)];
  };
  EXPECT_EQ(device.mainPin, expected(c.mainPin)) << c.label;
  EXPECT_EQ(device.extraCapturePin, expected(c.extraCapturePin)) << c.label;
}

const media::Guid kPreview = media::PIN_CATEGORY_PREVIEW;
const media::Guid kCapture = media::PIN_CATEGORY_CAPTURE;
const media::Guid kStill = media::PIN_CATEGORY_STILL;

INSTANTIATE_TEST_SUITE_P(
    Pins, FindDevicePinsTest,
    ::testing::Values(
        PinCase{"preview before capture", {{kPreview}, {kCapture}}, 0, 1, media::kOk},
        PinCase{"capture and still", {{kCapture}, {kStill}}, 0, -1, media::kOk},
        PinCase{"capture before preview", {{kCapture}, {kPreview}}, 0, -1, media::kOk},
        PinCase{"no category counts as preview", {{std::nullopt}, {kCapture}}, 0, 1, media::kOk},
        PinCase{"capture, then no category: no extra capture pin", {{kCapture}, {std::nullopt}}, 0, -1,
                media::kOk},
        PinCase{"input pins and unreadable directions are passed over",
                {{kCapture, media::PinDirection::Input},
                 {kPreview, media::PinDirection::Output, media::kFail},
                 {kCapture}},
                2, -1, media::kOk},
        PinCase{"two capture pins", {{kCapture}, {kCapture}}, 0, 1, media::kOk},
        PinCase{"only a still pin", {{kStill}}, -1, -1, media::kFalse},
        PinCase{"no pins", {}, -1, -1, media::kFalse}));

TEST_F(DiscoveryTest, FindDevicePinsWithoutFilterOrPinEnumeration) {
  VideoDevice device;
  EXPECT_EQ(FindDevicePins(device), media::kFalse);
  auto filter = platform->MakeFilter();
  filter->enumStatus = media::StatusFromErrno(ENODEV);
  device.filter = filter;
  EXPECT_EQ(FindDevicePins(device), media::StatusFromErrno(ENODEV));
}

TEST_F(DiscoveryTest, RepeatedPinSearchMakesTheCapturePinBothMainAndExtra) {
  VideoDevice device;
  auto filter = platform->MakeFilter();
  auto capture = platform->MakePin("capture", kCapture);
  filter->pins = {capture};
  device.filter = filter;
  ASSERT_EQ(FindDevicePins(device), media::kOk);
  EXPECT_FALSE(device.extraCapturePin);
  ASSERT_EQ(FindDevicePins(device), media::kOk);
  EXPECT_EQ(device.extraCapturePin, device.mainPin);
}

}  // namespace
}  // namespace kinovo
