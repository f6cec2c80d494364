// Recordings whose writer process died: a child process records with the
// AVI writer and is killed (or exits) at a known point; the next start's
// repair must make the file playable, as ffprobe and ffmpeg see it, and
// must leave everything else alone.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/stream/avi_repair.h"
#include "platform/media/stream/avi_writer.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

namespace fs = std::filesystem;
using media::stream::AudioFormat;
using media::stream::AviWriter;
using media::stream::RecordingMarkerPath;
using media::stream::RepairInterruptedRecordings;

constexpr std::int64_t kStart = 10'000'000;
constexpr int kRate = 48000;
constexpr int kSamplesPerFrame = kRate / 30;
constexpr int kFrames = 45;  // with sound; then one more frame without

std::int64_t FrameTime(std::int64_t n) { return kStart + n * 1'000'000 / 30; }

enum class Ending { kKilled, kExit, kKeptRunning };

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    files[entry.path().filename().string()] = ReadAll(entry.path());
  }
  return files;
}

// A recording made by a child process: `frames` frames with sound, then
// one without, all on disk; then the child ends as told. kKeptRunning
// leaves it running, holding the file open, until the object goes.
class ChildRecording {
 public:
  ChildRecording(const fs::path& file, Ending ending, int frames = kFrames) : ending_(ending) {
    const std::vector<std::uint8_t> jpeg = EncodeJpeg(QuadrantImage(160, 120));
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      Record(file, jpeg, frames);
      const char done = 'x';
      if (::write(ready[1], &done, 1) != 1) ::_exit(3);
      if (ending == Ending::kExit) std::exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char done = 0;
    ready_ = pid_ > 0 && ::read(ready[0], &done, 1) == 1;
    ::close(ready[0]);
    if (ending != Ending::kKeptRunning) Stop();
  }
  ~ChildRecording() { Stop(); }
  bool ready() const { return ready_; }

 private:
  static void Record(const fs::path& file, const std::vector<std::uint8_t>& jpeg, int frames) {
    auto* writer = new AviWriter;  // never closed: the process dies with it open
    if (writer->Open(file, JpegFrame(jpeg, 160, 120)->format, AudioFormat{kRate, 2}, kStart))
      ::_exit(2);
    const auto frame = JpegFrame(jpeg, 160, 120);
    for (int i = 0; i < frames; ++i) {
      writer->PushVideo(Retimed(frame, FrameTime(i), static_cast<std::uint32_t>(i)));
      writer->PushAudio(ToneChunk(FrameTime(i), static_cast<std::uint64_t>(i) * kSamplesPerFrame,
                                  kSamplesPerFrame, kRate, 2));
    }
    if (frames > 0)
      writer->PushVideo(Retimed(frame, FrameTime(frames), static_cast<std::uint32_t>(frames)));
    const auto wanted = static_cast<std::uint64_t>(frames > 0 ? frames + 1 : 0);
    for (int i = 0; i < 2000; ++i) {
      const AviWriter::Stats s = writer->stats();
      if (s.framesWritten == wanted && s.queueBytes == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::_exit(4);
  }

  void Stop() {
    if (pid_ <= 0) return;
    if (ending_ != Ending::kExit) ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  Ending ending_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

class AviRepair : public ::testing::Test {
 protected:
  fs::path File(const std::string& name = "video_11.12.2026_0001.avi") const { return dir_ / name; }
  TempDir dir_;
};

struct Interruption {
  const char* name;
  std::size_t cutBytes;   // taken off the end: the last frame was being written
  std::size_t zeroBytes;  // zeros after the end, as a power loss may leave
  int framesLeft;
};

TEST_F(AviRepair, KilledRecordingBecomesPlayable) {
  for (const Interruption& c : {Interruption{"killed", 0, 0, kFrames + 1},
                                Interruption{"killed inside the last frame", 100, 0, kFrames},
                                Interruption{"zeros after the end", 0, 65536, kFrames + 1}}) {
    SCOPED_TRACE(c.name);
    const fs::path file = File();
    ASSERT_TRUE(ChildRecording(file, Ending::kKilled).ready());
    ASSERT_TRUE(fs::exists(RecordingMarkerPath(file)));
    const auto before = ProbeFile(file);
    ASSERT_TRUE(before);
    EXPECT_TRUE(std::isnan(before->Number(before->format, "duration")));  // what is to be repaired
    if (c.cutBytes) fs::resize_file(file, fs::file_size(file) - c.cutBytes);
    if (c.zeroBytes) fs::resize_file(file, fs::file_size(file) + c.zeroBytes);

    EXPECT_EQ(RepairInterruptedRecordings(dir_.path()), std::vector<fs::path>{file});

    EXPECT_FALSE(fs::exists(RecordingMarkerPath(file)));
    EXPECT_EQ(Snapshot(dir_.path()).size(), 1u) << "a left-over file";
    const auto probe = ProbeFile(file);
    ASSERT_TRUE(probe);
    const double frameS = 1.0 / 30;
    EXPECT_EQ(probe->Number(probe->video, "nb_frames"), c.framesLeft);
    EXPECT_NEAR(probe->Number(probe->format, "duration"), c.framesLeft * frameS, frameS);
    // The sound made as long as the picture.
    EXPECT_EQ(DecodedAudioFrames(file, 2), c.framesLeft * kSamplesPerFrame);
    EXPECT_EQ(VideoPacketsWithData(file), c.framesLeft);
    EXPECT_EQ(DecodeErrors(file), "");
    fs::remove(file);
  }
}

TEST_F(AviRepair, ExitFinishesTheOpenFile) {
  // Qt ends the program with exit() when the X connection breaks.
  const fs::path file = File();
  ASSERT_TRUE(ChildRecording(file, Ending::kExit).ready());
  EXPECT_FALSE(fs::exists(RecordingMarkerPath(file)));
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), kFrames + 1);
  EXPECT_NEAR(probe->Number(probe->format, "duration"), (kFrames + 1) / 30.0, 1 / 30.0);
  EXPECT_EQ(DecodeErrors(file), "");

  // A marker left behind by a finished file goes; the file stays as it is.
  {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    media::stream::RecordingMarker stale;
    EXPECT_FALSE(stale.Create(file, fd));
    ::close(fd);
  }
  const std::string bytes = ReadAll(file);
  EXPECT_TRUE(RepairInterruptedRecordings(dir_.path()).empty());
  EXPECT_FALSE(fs::exists(RecordingMarkerPath(file)));
  EXPECT_EQ(ReadAll(file), bytes);
}

TEST_F(AviRepair, LeavesAloneWhatIsNotAnInterruptedRecording) {
  const fs::path file = File();
  const fs::path marker = RecordingMarkerPath(file);
  auto killed = [&] { ASSERT_TRUE(ChildRecording(file, Ending::kKilled).ready()); };
  auto write = [](const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  };
  struct Case {
    const char* name;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"no marker",
       [&] {
         killed();
         fs::remove(marker);
       }},
      {"a marker without its file", [&] { write(marker, "kinovo-recording 1 2\n"); }},
      {"a marker beside a file that is no AVI",
       [&] {
         killed();
         write(file, "not a video");  // the same inode, other bytes
       }},
      {"a marker naming another file",
       [&] {
         killed();
         fs::copy_file(file, dir_ / "copy");
         fs::rename(dir_ / "copy", file);  // the same bytes under a new inode
       }},
      {"a marker that is not ours",
       [&] {
         killed();
         write(marker, "something else\n");
       }},
      {"nothing to repair: no picture yet",
       [&] { ASSERT_TRUE(ChildRecording(file, Ending::kKilled, 0).ready()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make();
    const auto before = Snapshot(dir_.path());
    EXPECT_TRUE(RepairInterruptedRecordings(dir_.path()).empty());
    EXPECT_EQ(Snapshot(dir_.path()), before);
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove(entry.path());
  }
}

TEST_F(AviRepair, RecordingStillBeingWrittenIsLeftAlone) {
  const fs::path file = File();
  ChildRecording live(file, Ending::kKeptRunning);
  ASSERT_TRUE(live.ready());
  const auto before = Snapshot(dir_.path());
  EXPECT_TRUE(RepairInterruptedRecordings(dir_.path()).empty());
  EXPECT_EQ(Snapshot(dir_.path()), before);
}

}  // namespace
}  // namespace kinovo::streamtest
