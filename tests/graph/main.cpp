// The capture graph on the real back end: the virtual camera (preloaded),
// the test PulseAudio daemon and the X display of scripts/with-services.sh.
// The camera's event log and unplug triggers live in a private folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

// The virtual camera comes in through LD_PRELOAD, ahead of a sanitizer's
// runtime; that is fine here.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

int main(int argc, char** argv) {
  // The capture tests run on a display of their own where there is one, so
  // that they can run beside the tests that use the first display.
  if (const char* second = std::getenv("KINOVO_SECOND_DISPLAY"); second && *second) {
    ::setenv("DISPLAY", second, 1);
  }
  if (!std::getenv("KINOVO_VCAM_PROFILE")) {
    // The camera reads its settings at the first look at /dev or /sys,
    // which a library loaded before main() may already take: so they go
    // into the environment of a fresh start of this program.
    char pattern[] = "/tmp/kinovo-graph-test.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) {
      std::perror("mkdtemp");
      return 1;
    }
    const std::filesystem::path root(dir);
    std::filesystem::create_directory(root / "control");
    ::setenv("KINOVO_VCAM_PROFILE", KINOVO_GRAPH_PROFILE, 1);
    ::setenv("KINOVO_VCAM_LOG", (root / "vcam.log").c_str(), 1);
    ::setenv("KINOVO_VCAM_DROPS", (root / "vcam-drops.log").c_str(), 1);
    ::setenv("KINOVO_VCAM_CONTROL_DIR", (root / "control").c_str(), 1);
    ::setenv("KINOVO_GRAPH_TEST_DIR", dir, 1);
    ::execv("/proc/self/exe", argv);
    std::perror("execv");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  int result = 0;
  if (::testing::GTEST_FLAG(list_tests)) {
    result = RUN_ALL_TESTS();
  } else if (!std::getenv("DISPLAY") || !std::getenv("PULSE_SERVER")) {
    std::fprintf(stderr, "run inside scripts/with-services.sh: no display or sound server\n");
    result = 1;
  } else {
    QApplication app(argc, argv);
    result = RUN_ALL_TESTS();
  }
  if (const char* dir = std::getenv("KINOVO_GRAPH_TEST_DIR")) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return result;
}
