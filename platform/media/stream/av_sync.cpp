#include "platform/media/stream/av_sync.h"

#include <algorithm>
#include <cmath>

namespace kinovo::media::stream {

VideoTimeline::VideoTimeline(std::int64_t startUs, Fraction interval)
    : startUs_(startUs), interval_(interval.num > 0 && interval.den > 0 ? interval : Fraction{1, 30}) {}

std::int64_t VideoTimeline::SlotsUntil(std::int64_t timestampUs) const {
  return stream::SlotsUntil(startUs_, interval_, timestampUs);
}

std::int64_t SlotsUntil(std::int64_t startUs, Fraction interval, std::int64_t timestampUs) {
  if (interval.num == 0 || interval.den == 0) interval = {1, 30};
  // round(elapsed / interval) with elapsed in µs and interval num/den s.
  const std::int64_t elapsed = timestampUs - startUs;
  const std::int64_t unit = static_cast<std::int64_t>(interval.num) * 1000000;
  const std::int64_t scaled = elapsed * static_cast<std::int64_t>(interval.den);
  const std::int64_t twice = 2 * scaled + unit;
  const std::int64_t divisor = 2 * unit;
  // Floor division, also for negative spans.
  return twice >= 0 ? twice / divisor : -((-twice + divisor - 1) / divisor);
}

VideoTimeline::Placement VideoTimeline::Place(std::int64_t timestampUs) {
  const std::int64_t slot = SlotsUntil(timestampUs);
  // A camera running a little fast now and then brings two frames into one
  // slot; the later one goes, so the video keeps to the clock.
  if (slot < next_) return {};
  Placement placement{true, slot, slot - next_};
  next_ = slot + 1;
  return placement;
}

AudioAligner::AudioAligner(std::int64_t startUs, std::int32_t rate, std::int32_t channels)
    : AudioAligner(startUs, rate, channels, Options{}) {}

AudioAligner::AudioAligner(std::int64_t startUs, std::int32_t rate, std::int32_t channels,
                           Options options)
    : startUs_(startUs), rate_(rate > 0 ? rate : 1), channels_(channels > 0 ? channels : 1),
      options_(options) {}

void AudioAligner::Process(const AudioChunk& chunk, std::vector<std::int16_t>& out) {
  if (chunk.frames() == 0) return;
  const bool continuous = held_.empty()
                              ? anchored_ && !chunk.discontinuity && chunk.firstFrame == expectedFrame_
                              : !chunk.discontinuity && chunk.firstFrame == held_.back().firstFrame + held_.back().frames();
  if (continuous && held_.empty()) {
    Place(chunk, out);
    return;
  }
  // A start: held back until several chunks tell where it belongs.
  if (!continuous) Flush(out);
  held_.push_back(chunk);
  const double heldUs =
      static_cast<double>(chunk.firstFrame + chunk.frames() - held_.front().firstFrame) * 1e6 / rate_;
  if (heldUs >= options_.holdSeconds * 1e6) Flush(out);
}

void AudioAligner::Flush(std::vector<std::int16_t>& out) {
  if (held_.empty()) return;
  // The window starts with all of them, so that the first lands by their
  // lower edge, not by its own timestamp.
  window_.clear();
  for (const AudioChunk& chunk : held_) {
    const double sampleClockUs = static_cast<double>(chunk.firstFrame) * 1e6 / rate_;
    window_.emplace_back(sampleClockUs, static_cast<double>(chunk.timestampUs) - sampleClockUs);
  }
  seeded_ = held_.size();
  for (const AudioChunk& chunk : held_) Place(chunk, out);
  held_.clear();
}

void AudioAligner::Place(const AudioChunk& chunk, std::vector<std::int16_t>& out) {
  const auto n = static_cast<std::int64_t>(chunk.frames());
  const double rate = rate_;
  const double sampleClockUs = static_cast<double>(chunk.firstFrame) * 1e6 / rate;
  const double rawOffset = static_cast<double>(chunk.timestampUs) - sampleClockUs;
  const bool continuous = anchored_ && !chunk.discontinuity && chunk.firstFrame == expectedFrame_;
  if (!continuous) {
    if (seeded_ == 0) window_.clear();
    settledFromUs_ = sampleClockUs + options_.windowSeconds * 1e6;
  }
  if (seeded_ > 0) {
    --seeded_;  // already in the window
  } else {
    window_.emplace_back(sampleClockUs, rawOffset);
  }
  while (window_.front().first < sampleClockUs - options_.windowSeconds * 1e6) window_.pop_front();
  scratch_.clear();
  for (const auto& entry : window_) scratch_.push_back(entry.second);
  const auto rank = static_cast<std::ptrdiff_t>(std::min<std::size_t>(3, scratch_.size()) - 1);
  std::nth_element(scratch_.begin(), scratch_.begin() + rank, scratch_.end());
  const double edge = scratch_[static_cast<std::size_t>(rank)];
  if (sampleClockUs < settledFromUs_ || std::abs(edge - offsetUs_) > options_.jumpSeconds * 1e6) {
    offsetUs_ = edge;  // still learning, or a step: take what the edge says
  } else {
    const double alpha = std::min(1.0, (static_cast<double>(n) / rate) / options_.smoothingSeconds);
    offsetUs_ += alpha * (edge - offsetUs_);
  }
  anchored_ = true;
  expectedFrame_ = chunk.firstFrame + static_cast<std::uint64_t>(n);

  // Where the chunk's first sample belongs in the output, and where it
  // would land as things stand.
  const double captureUs = sampleClockUs + offsetUs_;
  const double ideal = (captureUs - static_cast<double>(startUs_)) * rate / 1e6;
  const double error = static_cast<double>(framesOut_) - ideal;
  lastError_ = error;

  const std::int16_t* samples = chunk.samples.data();
  const double deadband = options_.deadbandSeconds * rate;
  // Until the first sample is out, everything before the start goes and
  // the first one lands exactly.
  if (!continuous || framesOut_ == 0 || std::abs(error) >= options_.jumpSeconds * rate) {
    const auto frames = static_cast<std::int64_t>(std::llround(std::abs(error)));
    if (error < 0) {
      AppendSilence(std::min(frames, static_cast<std::int64_t>(options_.maxSilenceSeconds * rate)), out);
      Append(samples, n, out);
    } else {
      const std::int64_t skip = std::min(frames, n);
      dropped_ += skip;
      Append(samples + skip * channels_, n - skip, out);
    }
    return;
  }
  if (std::abs(error) <= deadband) {
    Append(samples, n, out);
    return;
  }
  const double share =
      std::abs(error) > 10 * deadband ? options_.fastCorrection : options_.slowCorrection;
  const std::int64_t limit = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(n * share)));
  const std::int64_t steps =
      std::min(limit, static_cast<std::int64_t>(std::llround(std::abs(error) - deadband / 2)));
  if (steps <= 0) {
    Append(samples, n, out);
    return;
  }
  // Drop or repeat `steps` single samples at even spacing over the chunk.
  std::int64_t from = 0;
  for (std::int64_t k = 0; k < steps; ++k) {
    const std::int64_t at = std::min(n - 1, (2 * k + 1) * n / (2 * steps));
    Append(samples + from * channels_, at - from, out);
    if (error > 0) {
      ++dropped_;
      from = at + 1;
    } else {
      Append(samples + at * channels_, 1, out);  // this sample twice
      ++inserted_;
      from = at;
    }
  }
  Append(samples + from * channels_, n - from, out);
}

void AudioAligner::Append(const std::int16_t* frames, std::int64_t count,
                          std::vector<std::int16_t>& out) {
  if (count <= 0) return;
  out.insert(out.end(), frames, frames + count * channels_);
  framesOut_ += count;
}

void AudioAligner::AppendSilence(std::int64_t count, std::vector<std::int16_t>& out) {
  if (count <= 0) return;
  out.insert(out.end(), static_cast<std::size_t>(count * channels_), std::int16_t{0});
  if (framesOut_ == 0) {
    leading_ += count;  // the source had not started yet
  } else {
    // Steps of one stall or one settling of the clock, as the edge's window
    // lets them through, are one gap.
    if (gaps_ == 0 || framesOut_ - silenceEnd_ > static_cast<std::int64_t>(options_.windowSeconds * rate_)) ++gaps_;
    silence_ += count;
  }
  framesOut_ += count;
  inserted_ += count;
  silenceEnd_ = framesOut_;
}

}  // namespace kinovo::media::stream
