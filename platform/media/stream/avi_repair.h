#pragma once

// Recordings cut short (the process killed, a crash, the session or the X
// server gone, a power loss) keep their frames but lack the index and the
// headers' lengths. While a recording is written, a marker beside it says
// so; the next start finds the markers and rebuilds such files.
//
// The marker is the hidden file ".NAME.recording" in the recording's own
// folder: it moves and goes with the folder, needs no state elsewhere, and
// it names its recording by the file's device and inode, so that a file
// put in its place later is never taken for it. The writer holds a lock on
// it for as long as it writes, so a recording that is still being made
// (by another Kinovo) is never touched.

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <system_error>
#include <vector>

#include "platform/media/linux/unique_fd.h"

namespace kinovo::media::stream {

std::filesystem::path RecordingMarkerPath(const std::filesystem::path& recording);

// libavformat's seek callback on a file written through its descriptor
// (AVSEEK_SIZE included), for the writer and the repair alike.
std::int64_t SeekFileForAvio(int fd, std::int64_t offset, int whence);

// The marker of one recording while it is written. Going out of scope
// releases the lock, and the marker stays unless Remove()d: the recording
// was not finished.
class RecordingMarker {
 public:
  // Marks `recording`, open as `fd`, as being written.
  std::error_code Create(const std::filesystem::path& recording, int fd);
  // The recording is finished (or gone): the marker goes.
  void Remove();
  explicit operator bool() const { return static_cast<bool>(fd_); }

 private:
  std::filesystem::path path_;
  linux_backend::UniqueFd fd_;
};

enum class RepairResult {
  kRepaired,   // the file is playable now, the marker is gone
  kNotNeeded,  // the file was finished after all: only the marker went
  kLeftAlone,  // no file, another file, or one still being written
  kFailed,     // could not be repaired; file and marker are as they were
};

// Repairs the recording of one marker. Stream copy into a new file beside
// it, which then takes the recording's place: the original's bytes stay as
// they are until the repaired copy is complete on disk, so the disk needs
// room for the copy. `stop` ends the work early (kFailed, nothing changed).
RepairResult RepairRecording(const std::filesystem::path& marker, std::stop_token stop = {});

// Repairs every marked recording of `folder`; the files repaired.
std::vector<std::filesystem::path> RepairInterruptedRecordings(const std::filesystem::path& folder,
                                                               std::stop_token stop = {});

}  // namespace kinovo::media::stream
