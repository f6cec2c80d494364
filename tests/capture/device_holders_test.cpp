// Who else has a file open, as a busy camera's holder is found: real files
// held by child processes stand in for a device node.

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/media/linux/device_holders.h"
#include "platform/media/linux/unique_fd.h"

namespace kinovo::media::linux_backend {

void PrintTo(const DeviceHolder& holder, std::ostream* out) {
  *out << holder.name << " (pid " << holder.pid << ")";
}

namespace {

namespace fs = std::filesystem;

// A child process named `name` that holds each of `paths` open until the
// object goes.
class Holder {
 public:
  Holder(const char* name, const std::vector<std::string>& paths) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) std::abort();
    const UniqueFd readyIn(ready[0]);
    UniqueFd readyOut(ready[1]);
    std::vector<const char*> files;
    for (const std::string& path : paths) files.push_back(path.c_str());
    pid_ = ::fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here on
      ::prctl(PR_SET_NAME, name);
      for (const char* file : files) {
        if (::open(file, O_RDONLY) < 0) ::_exit(1);
      }
      const char c = 'r';
      if (::write(readyOut.get(), &c, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    readyOut.Reset();
    char c;
    held_ = pid_ > 0 && ::read(readyIn.get(), &c, 1) == 1;
  }
  ~Holder() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  int pid() const { return pid_; }
  // It has opened every file.
  bool held() const { return held_; }

 private:
  int pid_ = -1;
  bool held_ = false;
};

class DeviceHoldersTest : public ::testing::Test {
 protected:
  DeviceHoldersTest() {
    std::string pattern = (fs::temp_directory_path() / "kinovo-holders.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    dir_ = fs::canonical(pattern);  // as the links name it
    for (const char* name : {"video0", "video01"}) std::ofstream(dir_ / name).put('x');
  }
  ~DeviceHoldersTest() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Path(const char* name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(DeviceHoldersTest, NamesEveryOtherProcessThatHoldsTheFileOnce) {
  const std::string node = Path("video0");
  // Twice under two spellings of the same path: the link is the file's own.
  const Holder twice("holder-twice", {node, (dir_ / "." / "video0").string()});
  // A name that begins like it is another file.
  const Holder other("holder-other", {Path("video01")});
  const Holder once("holder-once", {node});
  ASSERT_TRUE(twice.held() && other.held() && once.held());
  // This process holds it too (opened after the children, so that they do
  // not inherit it), and is no other program.
  const UniqueFd ours(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(ours);

  std::vector<DeviceHolder> expected{{twice.pid(), "holder-twice"}, {once.pid(), "holder-once"}};
  if (once.pid() < twice.pid()) std::swap(expected.front(), expected.back());  // pids wrapped
  EXPECT_EQ(FindDeviceHolders(node), expected);
  EXPECT_EQ(DescribeHolders(expected),
            expected[0].name + " (pid " + std::to_string(expected[0].pid) + "), " +
                expected[1].name + " (pid " + std::to_string(expected[1].pid) + ")");
  // Only as many as asked for: the lowest pids.
  EXPECT_EQ(FindDeviceHolders(node, 1), std::vector<DeviceHolder>{expected.front()});
}

TEST_F(DeviceHoldersTest, AFileNoOtherProcessHoldsHasNoneAndIsAnotherProgram) {
  const std::string node = Path("video0");
  {
    const Holder gone("holder-gone", {node});
    ASSERT_TRUE(gone.held());
    ASSERT_EQ(FindDeviceHolders(node).size(), 1u);
  }
  const UniqueFd ours(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(FindDeviceHolders(node).empty()) << "a holder that has ended is no holder";
  EXPECT_EQ(DescribeHolders({}), "another program");
}

}  // namespace
}  // namespace kinovo::media::linux_backend
