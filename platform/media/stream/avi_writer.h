#pragma once

// Writes a recording into an AVI file: the camera's video in its own format
// (stream copy: Motion-JPEG as MJPG, YUYV as YUY2, ...) and optionally the
// microphone's sound as 16-bit PCM. Files grow past 1 GB with an OpenDML
// index.
//
// Push*() only put the sample into a queue bounded by bytes and return; a
// writer thread does the timing and the disk writes, so a slow disk never
// holds up a capture thread. If the queue is ever full, the sample is
// refused and counted (and a refused frame's slot becomes an empty frame).
//
// Timing: see av_sync.h. Video slot n is start + n * interval; missing
// frames become empty frames; sound is kept on the same clock. Timestamps
// more than a day from the start (another clock, a driver fault) are left
// out rather than filled up to.
//
// Faults: a write that fails (a full disk, a quota, an I/O error), or a
// frame that would not fit into the free space left, stops the recording
// at once. Nothing more is written; the index and the headers are written
// for what is in the file, which then plays up to its last frame, and
// error() tells why. Room for them is kept in a hidden reserve file on the
// same disk, given back when the disk is full. A recording that got no
// picture at all leaves no file: Close() removes it and reports
// writer_errc::kNoPicture.
//
// A recording is marked as unfinished while it is written (avi_repair.h).
// A process that ends through exit() (Qt does on a broken X connection)
// still finishes its open files first.
//
// Open and Close are called from one controlling thread; Push* and the
// getters from any thread.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <system_error>

#include "platform/media/stream/frame.h"

namespace kinovo::media::stream {

// Error codes of FFmpeg (AVERROR values), with its messages.
const std::error_category& FfmpegCategory();

namespace writer_errc {
inline constexpr int kNoPicture = 1;  // the camera gave the file no picture
}
const std::error_category& WriterCategory();

// Whether a Motion-JPEG frame of a width x height mode is whole enough to
// be stored; the writer leaves any other frame's slot empty.
bool JpegLooksWhole(std::span<const std::uint8_t> bytes, int width, int height);

struct AudioFormat {
  std::int32_t rate = 0;
  std::int32_t channels = 0;
};

class AviWriter {
 public:
  struct Options {
    // Bound of the queue between the capture threads and the disk: about
    // 15 s of 1080p Motion-JPEG or of 640x480 YUYV at 30 frames per second.
    std::size_t maxQueueBytes = std::size_t{256} << 20;
    // Room kept for the index and the headers; 0: two of the largest
    // frames, at least 1 MB. It grows with the index.
    std::size_t reserveBytes = 0;
    // Stop before a frame that would not fit into the free space.
    bool watchFreeSpace = true;
  };

  struct Stats {
    // Slots with a picture: every frame that found a slot and could be
    // used, plus the slots before the first picture, which repeat it.
    // Without a write error, framesWritten == framesRepeated + frames
    // accepted by PushVideo - framesDiscarded - framesUnusable.
    std::uint64_t framesWritten = 0;
    std::uint64_t framesRepeated = 0;      // of these, the slots before the first picture
    std::uint64_t emptyFramesWritten = 0;  // slots without one (camera gaps, padding, unusable frames)
    std::uint64_t framesDiscarded = 0;     // before the start, after the end, or a second one for a slot
    std::uint64_t framesUnusable =
        0;  // raw frames of the wrong size, damaged Motion-JPEG (written as empty)
    std::uint64_t queueOverflows = 0;      // frames or chunks refused because the queue was full
    std::uint64_t audioFramesWritten = 0;  // sample frames in the file
    std::uint64_t audioFramesInserted = 0;  // of these, repeated samples and silence
    std::uint64_t audioLeadingSilence = 0;   // of these, silence before the microphone's first sample
    std::uint64_t audioSilenceInserted = 0;  // and silence where it gave nothing later on
    std::uint64_t audioGaps = 0;             // places such silence went in
    std::uint64_t audioFramesDropped = 0;   // input sample frames left out to keep in step
    std::uint64_t audioChunksRejected = 0;  // chunks in another rate or channel count
    std::size_t queueBytes = 0;
    std::size_t queueHighWater = 0;
    // The file's time zero on CLOCK_MONOTONIC, the capture time its first
    // slot stands for: the start moved by less than half a frame onto the
    // camera's frame times.
    std::int64_t zeroUs = 0;
    // The index and headers are written: after a failure at once, else by Close().
    bool finished = false;
  };

  AviWriter();
  ~AviWriter();  // Close()
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  // Creates the file and writes its header. `startUs` (CLOCK_MONOTONIC) is
  // the recording's time zero. Formats the AVI container cannot carry are
  // refused with operation_not_supported.
  std::error_code Open(const std::filesystem::path& path, const StreamFormat& video,
                       std::optional<AudioFormat> audio, std::int64_t startUs,
                       const Options& options);
  std::error_code Open(const std::filesystem::path& path, const StreamFormat& video,
                       std::optional<AudioFormat> audio, std::int64_t startUs) {
    return Open(path, video, audio, startUs, Options{});
  }

  // False when the sample was refused (not open, closing, or queue full).
  bool PushVideo(VideoFramePtr frame);
  bool PushAudio(AudioChunkPtr chunk);

  // No frame captured after `endUs` goes into the file: frames still queued
  // or pushed later are left out and counted as discarded. Called as the
  // recording is stopped, before its camera is disconnected, whose frames
  // of the moments after the stop may still be on their way.
  void EndVideoAt(std::int64_t endUs);

  // The recording ends at `endUs`, and no frame comes any more: sound that
  // would run past the file's end (the end rounded to the frame grid, or
  // the end of the last frame's slot) is left out, also what is still
  // queued or comes later. Returns the capture time up to which sound is
  // still wanted, so that the caller can wait for the microphone's last
  // chunks, which arrive after the end, before it closes.
  std::int64_t EndSoundAt(std::int64_t endUs);
  // Writes what is queued, then makes both streams equally long: up to
  // `endUs` when given (the wall-clock end of the recording, as in
  // EndSoundAt), else up to the longer of the two; then the index and
  // trailer, and closes the file. Works whatever became of the sources.
  // Returns the first error of the whole recording.
  std::error_code Close(std::optional<std::int64_t> endUs = std::nullopt);

  bool isOpen() const;
  // The first write error so far (the writer stops writing after one).
  std::error_code error() const;
  // Bytes of the disk kept aside for the index and the headers (the
  // reserve), which the disk gets back when the file is finished.
  std::uint64_t spaceHeld() const;
  Stats stats() const;

 private:
  struct Impl;
  std::error_code CloseLocked(std::optional<std::int64_t> endUs);
  static void CloseAllAtExit();
  std::unique_ptr<Impl> impl_;
};

}  // namespace kinovo::media::stream
