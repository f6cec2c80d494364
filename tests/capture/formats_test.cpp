#include <gtest/gtest.h>

#include <algorithm>

#include "capture/video_formats.h"
#include "tests/capture/fake_media.h"

namespace kinovo {
namespace {

using fake::FakeCapability;
using fake::VideoCapability;
using media::MEDIASUBTYPE_MJPG;
using media::MEDIASUBTYPE_YUY2;

class FormatsTest : public ::testing::Test {
 protected:
  FormatsTest() {
    config = platform->MakeConfig();
    pin = platform->MakePin("capture", media::PIN_CATEGORY_CAPTURE);
    pin->config = config;
    device.mainPin = pin;
  }

  // The pin's current format as a camera reports it: YUY2 640x480.
  void SetCurrentFormat() {
    media::MediaType& mt = config->current;
    mt.majortype = media::MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_YUY2;
    mt.bFixedSizeSamples = true;
    mt.bTemporalCompression = false;
    mt.lSampleSize = 614400;
    mt.formattype = media::FORMAT_VideoInfo;
    media::VideoInfoHeader vih;
    vih.rcSource = {0, 0, 640, 480};
    vih.rcTarget = {0, 0, 640, 480};
    vih.dwBitRate = 147456000;
    vih.dwBitErrorRate = 7;
    vih.AvgTimePerFrame = 333333;
    vih.bmiHeader.biWidth = 640;
    vih.bmiHeader.biHeight = 480;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 16;
    vih.bmiHeader.biCompression = media::MakeFourcc('Y', 'U', 'Y', '2');
    vih.bmiHeader.biSizeImage = 614400;
    mt.videoInfo = vih;
  }

  std::shared_ptr<fake::FakePlatform> platform = std::make_shared<fake::FakePlatform>();
  media::ScopedPlatform scoped{platform};
  std::shared_ptr<fake::FakeStreamConfig> config;
  std::shared_ptr<fake::FakePin> pin;
  VideoDevice device;
};

// 640x480 YUY2 at 10 to 30 frames per second.
FakeCapability WorkedExample() {
  return VideoCapability(640, 480, MEDIASUBTYPE_YUY2, 333333, 1000000, 147456000);
}

TEST_F(FormatsTest, WorkedExampleReadsAndAppliesAsSpecified) {
  config->capabilities = {WorkedExample()};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 1u);
  const VideoFormat& f = device.formats[0];
  EXPECT_EQ(f.index, 0);
  EXPECT_EQ(f.width, 640);
  EXPECT_EQ(f.height, 480);
  EXPECT_EQ(f.minFps, 10);
  EXPECT_EQ(f.maxFps, 30);
  EXPECT_EQ(f.frameBytes, 614400);
  EXPECT_EQ(f.subtype, MEDIASUBTYPE_YUY2);

  SetCurrentFormat();
  config->current.subtype = MEDIASUBTYPE_MJPG;  // shows the subtype is written
  const media::MediaType before = config->current;
  ASSERT_EQ(ApplyFormat(0, pin.get(), device, 25), media::kOk);
  ASSERT_EQ(config->formatsSet.size(), 1u);
  const media::MediaType& mt = config->formatsSet[0];
  const media::VideoInfoHeader& vih = *mt.videoInfo;
  EXPECT_EQ(vih.AvgTimePerFrame, 400000);
  EXPECT_EQ(vih.dwBitRate, 122880000u);
  EXPECT_EQ(vih.bmiHeader.biWidth, 640);
  EXPECT_EQ(vih.bmiHeader.biHeight, 480);
  EXPECT_EQ(vih.bmiHeader.biBitCount, 16);
  EXPECT_EQ(mt.lSampleSize, 614400u);
  EXPECT_EQ(mt.subtype, MEDIASUBTYPE_YUY2);
  EXPECT_EQ(vih.rcSource, media::Rect{});
  EXPECT_EQ(vih.rcTarget, media::Rect{});
  // Everything else stays as the pin had it.
  EXPECT_EQ(mt.majortype, before.majortype);
  EXPECT_EQ(mt.bFixedSizeSamples, before.bFixedSizeSamples);
  EXPECT_EQ(mt.bTemporalCompression, before.bTemporalCompression);
  EXPECT_EQ(vih.dwBitErrorRate, 7u);
  EXPECT_EQ(vih.bmiHeader.biCompression, before.videoInfo->bmiHeader.biCompression);
  EXPECT_EQ(vih.bmiHeader.biSizeImage, 614400u);
  EXPECT_EQ(vih.bmiHeader.biPlanes, 1);
}

struct RateCase {
  std::int64_t minInterval;
  std::int64_t maxInterval;
  std::int32_t requested;
  std::int64_t expectedTimePerFrame;
};

void PrintTo(const RateCase& c, std::ostream* os) {
  *os << c.requested << " fps on intervals " << c.minInterval << ".." << c.maxInterval;
}

class RateChoiceTest : public FormatsTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(RateChoiceTest, ClampsTheRequestedRateToTheFormat) {
  const RateCase& c = GetParam();
  config->capabilities = {VideoCapability(640, 480, MEDIASUBTYPE_YUY2, c.minInterval,
                                          c.maxInterval, 147456000)};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 1u);
  SetCurrentFormat();
  ASSERT_EQ(ApplyFormat(0, pin.get(), device, c.requested), media::kOk);
  ASSERT_EQ(config->formatsSet.size(), 1u);
  EXPECT_EQ(config->formatsSet[0].videoInfo->AvgTimePerFrame, c.expectedTimePerFrame)
      << "requested " << c.requested;
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

TEST_F(FormatsTest, CapabilitiesOfAnotherFormatTypeDoNotUseUpAnIndex) {
  FakeCapability v2 = VideoCapability(1280, 720, MEDIASUBTYPE_YUY2, 333333, 333333, 1);
  v2.mediaType.formattype = media::FORMAT_VideoInfo2;
  v2.mediaType.videoInfo.reset();
  config->capabilities = {WorkedExample(), v2,
                          VideoCapability(1920, 1080, MEDIASUBTYPE_MJPG, 333333, 666666, 995328000)};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 2u);
  EXPECT_EQ(device.formats[1].index, 1);
  EXPECT_EQ(device.formats[1].width, 1920);
  EXPECT_EQ(device.formats[1].minFps, 15);
  EXPECT_EQ(device.formats[1].frameBytes, 1920 * 1080 * 2);
}

TEST_F(FormatsTest, CapabilitiesThatCannotBeDividedByAreLeftOut) {
  std::vector<FakeCapability> caps{
      VideoCapability(640, 480, MEDIASUBTYPE_YUY2, 0, 1000000, 147456000),         // no smallest
      VideoCapability(640, 480, MEDIASUBTYPE_YUY2, 333333, 0, 147456000),          // no largest
      VideoCapability(640, 480, MEDIASUBTYPE_YUY2, 20000000, 20000000, 4915200),   // maxFps 0
      VideoCapability(0, 480, MEDIASUBTYPE_YUY2, 333333, 1000000, 147456000),      // no width
      VideoCapability(640, 0, MEDIASUBTYPE_YUY2, 333333, 1000000, 147456000),      // no height
      VideoCapability(640, 480, MEDIASUBTYPE_YUY2, -333333, 1000000, 147456000),   // negative
      WorkedExample(),
  };
  config->capabilities = caps;
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 1u);
  EXPECT_EQ(device.formats[0].index, 0);
  EXPECT_EQ(device.formats[0].maxFps, 30);
}

TEST_F(FormatsTest, BitRatesBeyondThirtyTwoBitsGiveTheRightFrameSize) {
  // 4K Motion-JPEG at 30 fps: 16588800 bytes a frame, 3.98e9 bits a second.
  const std::int64_t frameBytes = 3840 * 2160 * 2;
  config->capabilities = {
      VideoCapability(3840, 2160, MEDIASUBTYPE_MJPG, 333333, 333333, frameBytes * 8 * 30)};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  ASSERT_EQ(device.formats.size(), 1u);
  EXPECT_EQ(device.formats[0].frameBytes, frameBytes);
  SetCurrentFormat();
  ASSERT_EQ(ApplyFormat(0, pin.get(), device, 30), media::kOk);
  EXPECT_EQ(config->formatsSet[0].videoInfo->dwBitRate,
            static_cast<std::uint64_t>(frameBytes) * 8 * 30);
}

TEST_F(FormatsTest, WrongStructureSizeGivesNoFormatsButSuccess) {
  config->capabilities = {WorkedExample()};
  config->structureSize = 136;
  EXPECT_EQ(EnumerateFormats(device), media::kOk);
  EXPECT_TRUE(device.formats.empty());
  EXPECT_EQ(std::count(platform->log->begin(), platform->log->end(), "GetStreamCaps 0"), 0);
}

TEST_F(FormatsTest, StatusIsTheLastCapabilityQuery) {
  FakeCapability failing = WorkedExample();
  failing.status = media::kFail;
  FakeCapability informational = WorkedExample();
  informational.status = media::kFalse;
  // A failure in the middle is skipped; the last query decides.
  config->capabilities = {WorkedExample(), failing, informational, WorkedExample()};
  EXPECT_EQ(EnumerateFormats(device), media::kOk);
  EXPECT_EQ(device.formats.size(), 2u);
  // A failing last query fails, but what was gathered stays.
  config->capabilities = {WorkedExample(), failing};
  EXPECT_EQ(EnumerateFormats(device), media::kFail);
  EXPECT_EQ(device.formats.size(), 1u);
  // No capabilities: the status of the count query.
  config->capabilities.clear();
  config->countStatus = media::kFalse;
  EXPECT_EQ(EnumerateFormats(device), media::kFalse);
  config->countStatus = media::StatusFromErrno(ENODEV);
  EXPECT_EQ(EnumerateFormats(device), media::StatusFromErrno(ENODEV));
}

TEST_F(FormatsTest, PinWithoutStreamConfiguration) {
  config->capabilities = {WorkedExample()};
  device.formats.resize(3);
  pin->config = nullptr;  // no interface, plain status
  EXPECT_EQ(EnumerateFormats(device), media::kOk);
  EXPECT_TRUE(device.formats.empty());
  pin->configStatus = media::kNoInterface;
  EXPECT_EQ(EnumerateFormats(device), media::kNoInterface);
  device.mainPin.reset();
  EXPECT_EQ(EnumerateFormats(device), media::kFalse);
}

TEST_F(FormatsTest, ApplyFormatRefusesMissingPinsAndIndexesWithoutTouchingThePin) {
  config->capabilities = {WorkedExample()};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  SetCurrentFormat();
  platform->log->clear();
  EXPECT_EQ(ApplyFormat(1, pin.get(), device, 25), media::kFalse);  // index == count
  EXPECT_EQ(ApplyFormat(-1, pin.get(), device, 25), media::kFalse);
  EXPECT_EQ(ApplyFormat(0, nullptr, device, 25), media::kFalse);
  EXPECT_TRUE(platform->log->empty());
}

TEST_F(FormatsTest, ApplyFormatPassesPlatformStatusesOn) {
  config->capabilities = {WorkedExample()};
  ASSERT_EQ(EnumerateFormats(device), media::kOk);
  SetCurrentFormat();

  config->getFormatStatus = media::kFalse;
  EXPECT_EQ(ApplyFormat(0, pin.get(), device, 25), media::kFalse);
  config->getFormatStatus = media::kOk;

  // A current format of another type: nothing changes, success.
  config->current.formattype = media::FORMAT_VideoInfo2;
  EXPECT_EQ(ApplyFormat(0, pin.get(), device, 25), media::kOk);
  EXPECT_TRUE(config->formatsSet.empty());
  SetCurrentFormat();

  config->setFormatStatus = media::StatusFromErrno(EBUSY);
  EXPECT_EQ(ApplyFormat(0, pin.get(), device, 25), media::StatusFromErrno(EBUSY));

  pin->configStatus = media::kNoInterface;
  EXPECT_EQ(ApplyFormat(0, pin.get(), device, 25), media::kNoInterface);
}

}  // namespace
}  // namespace kinovo
