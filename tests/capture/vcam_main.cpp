// Runs the virtual-camera tests with a private directory for the camera's
// event log and unplug triggers. The virtual camera reads its environment
// at the first access to a device node, so it is set before any test runs.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("KINOVO_VCAM_PROFILE") || !std::getenv("LD_PRELOAD")) {
    std::fprintf(stderr, "run through ctest: the virtual camera is not loaded\n");
    return 1;
  }
  char pattern[] = "/tmp/kinovo-capture-vcam.XXXXXX";
  const char* dir = ::mkdtemp(pattern);
  if (!dir) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path root(dir);
  std::filesystem::create_directory(root / "control");
  ::setenv("KINOVO_VCAM_LOG", (root / "vcam.log").c_str(), 1);
  ::setenv("KINOVO_VCAM_CONTROL_DIR", (root / "control").c_str(), 1);
  const int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return result;
}
