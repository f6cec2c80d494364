#pragma once

// One recording's AVI file, around the stream library's AviWriter. The file
// is created empty when the recording is asked for, so that an existing
// file is never written over and a folder that cannot take it fails at
// once; the recording begins with Begin() and ends (index and headers
// written) with Finish(). A recording file is written once.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/media/stream/avi_writer.h"
#include "platform/media/stream/frame.h"
#include "platform/media/stream/sound_level.h"

namespace kinovo::media {

struct RecordingCounters;

// How the sound of a recording stands.
struct SoundReport {
  bool recorded = false;   // the file takes a microphone's sound
  bool heard = false;      // something louder than silence came
  bool silentNow = false;  // long enough silent, or stopped, to be shown
  // The microphone stopped this far into the recording; the rest is silence.
  std::optional<std::chrono::milliseconds> stoppedAt;
};

namespace linux_backend {

class RecordingFile {
 public:
  // Creates the empty file at `path`; refuses a path that exists.
  static std::error_code Create(const std::filesystem::path& path,
                                std::unique_ptr<RecordingFile>& file);
  ~RecordingFile();
  RecordingFile(const RecordingFile&) = delete;
  RecordingFile& operator=(const RecordingFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Why the file failed or ended before it was finished (a full disk, a
  // camera that gave no picture); none while all is well.
  std::error_code error() const;
  // Bytes of its disk it keeps aside while writing and gives back when it
  // is finished.
  std::uint64_t SpaceHeld() const;
  SoundReport Sound() const;

  // The controlling thread's side.
  // Its camera failed as the recording began: no file is made or kept, and
  // `cause` is its error.
  void Abandon(const std::error_code& cause);
  bool writing() const { return state_ == State::Writing; }
  std::error_code Begin(const stream::StreamFormat& video, std::optional<stream::AudioFormat> audio,
                        std::int64_t startUs);
  // See AviWriter::EndVideoAt.
  void EndVideoAt(std::int64_t endUs);
  // See AviWriter::EndSoundAt: the capture time up to which sound is wanted.
  std::int64_t EndSoundAt(std::int64_t endUs);
  // `endUs`: the wall-clock end of the recording, to which the file is
  // filled; none: as long as what was captured. Waits for the writer.
  void Finish(std::optional<std::int64_t> endUs);
  void AddStats(RecordingCounters& stats) const;

  // The capture threads' side.
  void PushVideo(const stream::VideoFramePtr& frame);
  void PushAudio(const stream::AudioChunkPtr& chunk);
  // Its microphone stopped; sound came up to `atUs` (CLOCK_MONOTONIC).
  void SoundEnded(std::int64_t atUs);

 private:
  enum class State { Ready, Writing, Finished };

  RecordingFile(std::filesystem::path path, dev_t device, ino_t inode)
      : path_(std::move(path)), device_(device), inode_(inode) {}
  // True while `path_` is still the empty file this object created.
  bool PlaceholderIntact() const;
  void RemovePlaceholder();

  std::filesystem::path path_;
  dev_t device_;
  ino_t inode_;
  State state_ = State::Ready;
  std::error_code error_;
  stream::AviWriter writer_;
  std::atomic<std::uint64_t> captured_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::int64_t startUs_ = 0;
  bool withSound_ = false;
  // Made when the recording begins, before the first sound is pushed.
  std::optional<stream::SoundLevel> level_;
  std::atomic<std::int64_t> soundEndedUs_{0};
  std::int64_t endUs_ = 0;
};

}  // namespace linux_backend
}  // namespace kinovo::media
