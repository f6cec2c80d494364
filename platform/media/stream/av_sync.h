#pragma once

// Timing of a recording: where each captured frame and each block of sound
// goes in a file whose video runs on a fixed frame grid and whose sound runs
// at a fixed sample rate, both measured from the recording's start on
// CLOCK_MONOTONIC. Pure arithmetic on timestamps, so that an hour of
// recording can be played through it without waiting an hour.

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "platform/media/stream/frame.h"

namespace kinovo::media::stream {

// Slots of a frame grid from `startUs` to `timestampUs`, rounded to the
// nearest.
std::int64_t SlotsUntil(std::int64_t startUs, Fraction interval, std::int64_t timestampUs);

// Slot n of the video holds the frame captured nearest to
// start + n * interval. Slots without a frame become empty frames (the
// player shows the previous picture), so the video's length follows the
// clock, not the number of frames the camera managed to deliver.
class VideoTimeline {
 public:
  VideoTimeline(std::int64_t startUs, Fraction interval);

  struct Placement {
    bool keep = false;             // false: before the start, or its slot is already filled
    std::int64_t slot = 0;         // the frame's slot
    std::int64_t emptyBefore = 0;  // unfilled slots between the previous frame and this one
  };
  // Claims the slot of a frame captured at `timestampUs`.
  Placement Place(std::int64_t timestampUs);

  // Slots of a span from the start to `timestampUs`, rounded to the nearest.
  std::int64_t SlotsUntil(std::int64_t timestampUs) const;
  // Slots filled or skipped so far: the last claimed slot + 1.
  std::int64_t length() const { return next_; }
  void ExtendTo(std::int64_t count) {
    if (count > next_) next_ = count;
  }

  std::int64_t startUs() const { return startUs_; }
  Fraction interval() const { return interval_; }

 private:
  std::int64_t startUs_;
  Fraction interval_;
  std::int64_t next_ = 0;
};

// Keeps a microphone's samples on the recording's clock. The sound card's
// clock runs a little fast or slow against CLOCK_MONOTONIC (by up to a few
// hundredths of a percent), which after an hour would put sound and
// picture seconds apart. Each chunk says when its first sample was captured
// (roughly) and which sample it is (exactly, on the card's clock). Capture
// time less stream position is the card clock's offset, and it changes
// only by the drift; the timestamps err late, hardly ever early (the
// scheduler, a stale timing snapshot, a source that delivers in bursts all
// add delay), so the estimate follows the lower edge of the last second's
// offsets (the third lowest, so that one early outlier does not count),
// smoothed. Output sample n belongs at start + n / rate; when the output
// runs ahead or behind that by more than a dead band, single samples are
// dropped or repeated, spread over the chunk and at most a small share of
// it, which is inaudible. A lower edge that moves by more than a jump at
// once (a source that stalled without a word, a server whose latency
// figure settled after the start) is taken as it is, and large errors (such
// a step, samples lost by the server, the first chunks, a stream that
// started before the recording) are fixed at once with silence or by
// skipping samples. The estimate starts afresh where the sample count
// breaks.
class AudioAligner {
 public:
  struct Options {
    double smoothingSeconds = 2.0;    // time constant of the clock estimate
    double windowSeconds = 1.0;       // span whose lower edge it follows
    double deadbandSeconds = 0.002;   // errors below this are left alone
    double jumpSeconds = 0.02;        // steps and errors above this are taken at once
    double slowCorrection = 0.002;    // at most this share of a chunk's samples ...
    double fastCorrection = 0.01;     // ... or this share, above ten dead bands
    double maxSilenceSeconds = 10;    // silence put in at once; the rest follows with the next chunks
    double holdSeconds = 0.2;         // sound held back at a start
  };

  AudioAligner(std::int64_t startUs, std::int32_t rate, std::int32_t channels);
  AudioAligner(std::int64_t startUs, std::int32_t rate, std::int32_t channels, Options options);

  // Appends the chunk's samples, corrected, to `out` (interleaved). The
  // first chunks of a stream (and after a break in the sample count) are
  // held back until they span holdSeconds, so that the first sample lands
  // by their lower edge rather than by its own timestamp, which may err
  // late by a chunk or more.
  void Process(const AudioChunk& chunk, std::vector<std::int16_t>& out);
  // Appends what is held back.
  void Flush(std::vector<std::int16_t>& out);

  std::int64_t framesOut() const { return framesOut_; }
  std::int64_t framesInserted() const { return inserted_; }  // repeated samples and silence
  std::int64_t framesLeading() const { return leading_; }    // of these, silence before the first sample
  std::int64_t framesOfSilence() const { return silence_; }  // and silence for gaps after it
  std::int64_t gaps() const { return gaps_; }                 // places such silence went in
  std::int64_t framesDropped() const { return dropped_; }
  // How far the output ran ahead of the clock (negative: behind) before the
  // last chunk's correction, in sample frames.
  double lastError() const { return lastError_; }

 private:
  void Place(const AudioChunk& chunk, std::vector<std::int16_t>& out);
  void Append(const std::int16_t* frames, std::int64_t count, std::vector<std::int16_t>& out);
  void AppendSilence(std::int64_t count, std::vector<std::int16_t>& out);

  std::int64_t startUs_;
  std::int32_t rate_;
  std::int32_t channels_;
  Options options_;
  bool anchored_ = false;
  std::uint64_t expectedFrame_ = 0;
  double offsetUs_ = 0;  // smoothed capture time minus sample-clock time
  double settledFromUs_ = 0;  // sample-clock time after which a whole window has been seen
  std::deque<std::pair<double, double>> window_;  // (sample-clock time, raw offset)
  std::size_t seeded_ = 0;  // chunks about to be placed whose offsets are in the window already
  std::vector<AudioChunk> held_;
  std::vector<double> scratch_;
  std::int64_t framesOut_ = 0;
  std::int64_t inserted_ = 0;
  std::int64_t silence_ = 0;
  std::int64_t leading_ = 0;
  std::int64_t gaps_ = 0;
  std::int64_t silenceEnd_ = 0;  // output frame after the last silence
  std::int64_t dropped_ = 0;
  double lastError_ = 0;
};

}  // namespace kinovo::media::stream
