#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/media/linux/camera_watch.h"

namespace kinovo::media::linux_backend {
namespace {

using namespace std::chrono_literals;

CameraInfo Cam(std::string node, std::string card, std::string bus) {
  return {std::move(node), std::move(card), std::move(bus), "/dev/v4l/by-id/any"};
}

TEST(CameraListChanged, SeesANodeCardOrBusThatDiffers) {
  const std::vector<CameraInfo> before = {Cam("/dev/video0", "Webcam", "usb-1"),
                                          Cam("/dev/video2", "Webcam", "usb-2")};
  struct Case {
    const char* what;
    std::vector<CameraInfo> now;
    bool changed;
  };
  const Case cases[] = {
      {"the same listing", before, false},
      {"another stable path only",
       {{"/dev/video0", "Webcam", "usb-1", "/dev/video0"},
        {"/dev/video2", "Webcam", "usb-2", "/dev/video2"}},
       false},
      {"one gone", {before[0]}, true},
      {"all gone", {}, true},
      {"one more", {before[0], before[1], Cam("/dev/video4", "Other", "usb-3")}, true},
      {"same camera at another node", {before[0], Cam("/dev/video4", "Webcam", "usb-2")}, true},
      {"another card at the same node and bus",
       {before[0], Cam("/dev/video2", "Other", "usb-2")},
       true},
      {"moved to another port", {before[0], Cam("/dev/video2", "Webcam", "usb-3")}, true},
      {"the same cameras in another order", {before[1], before[0]}, true},
  };
  for (const Case& c : cases) EXPECT_EQ(CameraListChanged(before, c.now), c.changed) << c.what;
  EXPECT_FALSE(CameraListChanged({}, {}));
  EXPECT_TRUE(CameraListChanged({}, before));
}

// A watch needs an event loop on its thread.
class CameraWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, argv_);
  }
  // Runs the event loop until `done` or a generous time is up.
  template <typename Done>
  bool RunUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

 private:
  int argc_ = 1;
  char name_[16] = "camera_watch";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QCoreApplication> app_;
};

TEST_F(CameraWatchTest, DeliversTheFirstListingAndThenOnlyChanges) {
  const std::vector<CameraInfo> one = {Cam("/dev/video0", "Webcam", "usb-1")};
  const std::vector<CameraInfo> two = {Cam("/dev/video0", "Webcam", "usb-1"),
                                       Cam("/dev/video2", "Other", "usb-2")};
  std::mutex mutex;
  std::vector<CameraInfo> present = one;
  std::atomic<int> listings{0};
  std::vector<std::vector<CameraInfo>> delivered;
  bool onWatchingThread = true;
  QThread* const watching = QThread::currentThread();
  auto watch = WatchCaptureNodes(
      [&](std::vector<CameraInfo> cameras) {
        onWatchingThread = onWatchingThread && QThread::currentThread() == watching;
        delivered.push_back(std::move(cameras));
      },
      [&] {
        std::lock_guard lock(mutex);
        ++listings;
        return present;
      },
      1ms);
  // Unchanged listings after the first are not delivered.
  ASSERT_TRUE(RunUntil([&] { return delivered.size() == 1 && listings >= 5; }));
  {
    std::lock_guard lock(mutex);
    present = two;
  }
  const int before = listings;
  ASSERT_TRUE(RunUntil([&] { return delivered.size() >= 2 && listings >= before + 5; }));
  watch.reset();
  QCoreApplication::processEvents();
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_FALSE(CameraListChanged(delivered[0], one));
  EXPECT_FALSE(CameraListChanged(delivered[1], two));
  EXPECT_TRUE(onWatchingThread);
}

TEST_F(CameraWatchTest, EndsWithoutWaitingOutItsPeriod) {
  // A period far longer than the test's timeout: the watch must end at once.
  std::atomic<int> listings{0};
  int delivered = 0;
  auto watch = WatchCaptureNodes([&](std::vector<CameraInfo>) { ++delivered; },
                                 [&] {
                                   ++listings;
                                   return std::vector<CameraInfo>{};
                                 },
                                 std::chrono::hours(1));
  ASSERT_TRUE(RunUntil([&] { return delivered == 1; }));
  watch.reset();
  EXPECT_EQ(listings, 1);
}

TEST_F(CameraWatchTest, ADeliveryPendingAtTheEndIsDropped) {
  int delivered = 0;
  auto watch = WatchCaptureNodes(
      [&](std::vector<CameraInfo>) { ++delivered; },
      [] { return std::vector<CameraInfo>{Cam("/dev/video0", "W", "b")}; }, std::chrono::hours(1));
  // The listing may be posted already; ending the watch drops it unrun.
  std::this_thread::sleep_for(50ms);
  watch.reset();
  QCoreApplication::processEvents();
  EXPECT_EQ(delivered, 0);
}

}  // namespace
}  // namespace kinovo::media::linux_backend
