// Tests on the virtual camera and the test PulseAudio daemon. The camera's
// event log and unplug triggers live in a private folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

// The virtual camera comes in through LD_PRELOAD; under AddressSanitizer it
// is loaded ahead of the sanitizer's runtime, which is fine here.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

// The PulseAudio client library hands its objects between its threads
// through atomics of its own, which ThreadSanitizer does not see.
extern "C" const char* __tsan_default_suppressions() { return "race:libpulse\n"; }

int main(int argc, char** argv) {
  if (!std::getenv("KINOVO_VCAM_PROFILE")) {
    // The camera reads its settings once, at the first look at a device
    // node or at /sys, and a library loaded before main() (libnuma, through
    // FFmpeg) already looks at /sys: so the settings have to be in the
    // environment from the start. Run again with them.
    char pattern[] = "/tmp/kinovo-stream-vcam.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (!dir) {
      std::perror("mkdtemp");
      return 1;
    }
    const std::filesystem::path root(dir);
    std::filesystem::create_directory(root / "control");
    ::setenv("KINOVO_VCAM_PROFILE", KINOVO_STREAM_PROFILE, 1);
    ::setenv("KINOVO_VCAM_LOG", (root / "vcam.log").c_str(), 1);
    ::setenv("KINOVO_VCAM_CONTROL_DIR", (root / "control").c_str(), 1);
    ::setenv("KINOVO_STREAM_TEST_DIR", dir, 1);
    ::execv("/proc/self/exe", argv);
    std::perror("execv");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  if (const char* dir = std::getenv("KINOVO_STREAM_TEST_DIR")) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  return result;
}
