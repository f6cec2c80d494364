#pragma once

// The graph's AVI multiplexer and file writer in one filter, around the
// stream library's AviWriter. The file is created empty when the output is
// set up, so that an existing file is never written over and a folder that
// cannot take it fails at once; the recording itself begins when the graph
// runs, and ends (index and headers written) when the graph or the
// multiplexer stops. A multiplexer writes one file once.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/media/linux/graph.h"
#include "platform/media/stream/avi_writer.h"
#include "platform/media/stream/frame.h"
#include "platform/media/stream/sound_level.h"

namespace kinovo::media::linux_backend {

// The status of an error of the stream library (errno, FFmpeg, PulseAudio,
// the file writer's own).
Status StatusFromError(const std::error_code& error);

class AviMuxFilter final : public Filter {
 public:
  // Creates the empty file at `path`; refuses a path that exists.
  static Status Create(const std::filesystem::path& path, std::shared_ptr<AviMuxFilter>& mux);
  ~AviMuxFilter() override;
  AviMuxFilter(const AviMuxFilter&) = delete;
  AviMuxFilter& operator=(const AviMuxFilter&) = delete;

  Status EnumPins(std::unique_ptr<PinEnumerator>& pins) override;
  Status QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& procAmp) override;
  // Finishes the file of a recording in progress; nothing otherwise.
  Status Stop() override;
  Status GetError(QString& reason) override;
  std::uint64_t SpaceHeld() override;
  SoundReport Sound() override;

  // The graph's side, on the user-interface thread.
  // A connection into it failed: it will not write, and its empty file goes.
  void Break();
  // Its camera failed as the recording began: no file is made or kept, and
  // `cause` is its error.
  void Abandon(const std::error_code& cause);
  bool ready() const { return state_ == State::Ready && !broken_; }
  bool writing() const { return state_ == State::Writing; }
  Status Begin(const stream::VideoFormat& video, std::optional<stream::AudioFormat> audio,
               std::int64_t startUs);
  // See AviWriter::EndVideoAt.
  void EndVideoAt(std::int64_t endUs);
  // See AviWriter::EndSoundAt: the capture time up to which sound is wanted.
  std::int64_t EndSoundAt(std::int64_t endUs);
  // `endUs`: the wall-clock end of the recording, to which the file is
  // filled; none: as long as what was captured.
  void Finish(std::optional<std::int64_t> endUs);
  void AddStats(GraphStats& stats) const;

  // The capture threads' side.
  void PushVideo(const stream::VideoFramePtr& frame);
  void PushAudio(const stream::AudioChunkPtr& chunk);
  // Its microphone stopped; sound came up to `atUs` (CLOCK_MONOTONIC).
  void SoundEnded(std::int64_t atUs);

 private:
  enum class State { Ready, Writing, Finished };

  AviMuxFilter(std::filesystem::path path, dev_t device, ino_t inode)
      : path_(std::move(path)), device_(device), inode_(inode) {}
  // True while `path_` is still the empty file this filter created.
  bool PlaceholderIntact() const;
  void RemovePlaceholder();

  std::filesystem::path path_;
  dev_t device_;
  ino_t inode_;
  State state_ = State::Ready;
  bool broken_ = false;
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

}  // namespace kinovo::media::linux_backend
