#include "platform/media/linux/graph_mux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/media_log.h"
#include "platform/media/stream/pulse_capture.h"

namespace kinovo::media::linux_backend {
namespace {

class NoPins final : public PinEnumerator {
 public:
  Status Next(std::shared_ptr<Pin>&) override { return kFalse; }
};

}  // namespace

Status StatusFromError(const std::error_code& error) {
  if (!error) return kOk;
  if (error.category() == stream::PulseCategory()) {
    switch (error.value()) {
      case stream::pulse_errc::kNoEntity:
      case stream::pulse_errc::kKilled:
        return StatusFromErrno(ENODEV);
      case stream::pulse_errc::kConnectionRefused:
        return StatusFromErrno(ECONNREFUSED);
      case stream::pulse_errc::kTimeout:
        return StatusFromErrno(ETIMEDOUT);
      default:
        return kFail;
    }
  }
  if (error.category() == stream::WriterCategory() && error.value() == stream::writer_errc::kNoPicture) {
    return StatusFromErrno(ENODATA);
  }
  const std::error_condition condition = error.default_error_condition();
  if (condition.category() == std::generic_category() && condition.value() > 0) {
    return StatusFromErrno(condition.value());
  }
  return kFail;
}

Status AviMuxFilter::Create(const std::filesystem::path& path, std::shared_ptr<AviMuxFilter>& mux) {
  mux.reset();
  if (path.empty()) return kInvalidArg;
  // O_EXCL: never someone else's file, not even one that appears meanwhile.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) {
    const int err = errno;
    qCWarning(lcMedia) << "file" << path.c_str() << ": open failed:" << std::strerror(err);
    return StatusFromErrno(err);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    ::unlink(path.c_str());
    return StatusFromErrno(err);
  }
  mux.reset(new AviMuxFilter(path, st.st_dev, st.st_ino));
  return kOk;
}

AviMuxFilter::~AviMuxFilter() {
  Finish(std::nullopt);
  if (state_ == State::Ready) RemovePlaceholder();
}

Status AviMuxFilter::EnumPins(std::unique_ptr<PinEnumerator>& pins) {
  pins = std::make_unique<NoPins>();
  return kOk;
}

Status AviMuxFilter::QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& procAmp) {
  procAmp.reset();
  return kNoInterface;
}

Status AviMuxFilter::Stop() {
  if (state_ == State::Writing) Finish(stream::MonotonicNowUs());
  return kOk;
}

Status AviMuxFilter::GetError(QString& reason) {
  std::error_code error = error_;
  if (!error && state_ == State::Writing) error = writer_.error();
  if (!error) {
    reason.clear();
    return kOk;
  }
  reason = QString::fromStdString(error.message());
  return StatusFromError(error);
}

std::uint64_t AviMuxFilter::SpaceHeld() {
  return state_ == State::Writing ? writer_.spaceHeld() : 0;
}

void AviMuxFilter::Break() {
  broken_ = true;
  if (state_ == State::Ready) RemovePlaceholder();
}

void AviMuxFilter::Abandon(const std::error_code& cause) {
  if (!error_) error_ = cause;
  if (state_ == State::Writing) {
    Finish(std::nullopt);  // without a picture the writer leaves no file
  } else {
    Break();
  }
}

bool AviMuxFilter::PlaceholderIntact() const {
  struct stat st {};
  return ::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device_ &&
         st.st_ino == inode_ && st.st_size == 0;
}

void AviMuxFilter::RemovePlaceholder() {
  if (PlaceholderIntact()) ::unlink(path_.c_str());
}

Status AviMuxFilter::Begin(const stream::VideoFormat& video, std::optional<stream::AudioFormat> audio,
                           std::int64_t startUs) {
  if (!ready()) return kUnexpected;
  if (!PlaceholderIntact()) {
    // Replaced or written by someone else since: not ours to write over.
    state_ = State::Finished;
    error_ = std::make_error_code(std::errc::file_exists);
    return StatusFromErrno(EEXIST);
  }
  error_ = writer_.Open(path_, video, audio, startUs);
  if (error_) {
    state_ = State::Finished;
    RemovePlaceholder();
    return StatusFromError(error_);
  }
  state_ = State::Writing;
  startUs_ = startUs;
  withSound_ = audio.has_value();
  level_.emplace(startUs);
  return kOk;
}

void AviMuxFilter::Finish(std::optional<std::int64_t> endUs) {
  if (state_ != State::Writing) return;
  state_ = State::Finished;
  endUs_ = endUs.value_or(stream::MonotonicNowUs());
  const std::error_code error = writer_.Close(endUs);
  if (!error_) error_ = error;
}

void AviMuxFilter::EndVideoAt(std::int64_t endUs) {
  if (state_ == State::Writing) writer_.EndVideoAt(endUs);
}

std::int64_t AviMuxFilter::EndSoundAt(std::int64_t endUs) {
  return state_ == State::Writing ? writer_.EndSoundAt(endUs) : endUs;
}

void AviMuxFilter::PushVideo(const stream::VideoFramePtr& frame) {
  ++captured_;
  if (!writer_.PushVideo(frame)) ++refused_;
}

void AviMuxFilter::PushAudio(const stream::AudioChunkPtr& chunk) {
  level_->Feed(chunk->samples, chunk->channels, chunk->rate, chunk->timestampUs);
  writer_.PushAudio(chunk);
}

void AviMuxFilter::SoundEnded(std::int64_t atUs) { soundEndedUs_ = atUs; }

SoundReport AviMuxFilter::Sound() {
  SoundReport report;
  if (!withSound_) return report;
  report.recorded = true;
  report.heard = level_->heard();
  if (const std::int64_t endedUs = soundEndedUs_; endedUs != 0) {
    report.stoppedAt =
        std::chrono::milliseconds(std::max<std::int64_t>(0, endedUs - startUs_) / 1000);
  }
  report.silentNow = report.stoppedAt || stream::ShowsNoSound(level_->silence());
  return report;
}

void AviMuxFilter::AddStats(GraphStats& stats) const {
  const stream::AviWriter::Stats s = writer_.stats();
  stats.recording = state_ == State::Writing;
  stats.recordedFramesCaptured = captured_;
  stats.framesWritten = s.framesWritten;
  stats.framesRepeated = s.framesRepeated;
  stats.framesDiscarded = s.framesDiscarded;
  stats.framesUnusable = s.framesUnusable;
  stats.emptyFramesWritten = s.emptyFramesWritten;
  stats.framesRefused = refused_;
  stats.audioSamplesWritten = s.audioFramesWritten;
  stats.audioSamplesInserted = s.audioFramesInserted;
  stats.audioLeadingSilence = s.audioLeadingSilence;
  stats.audioSilenceInserted = s.audioSilenceInserted;
  stats.audioGaps = s.audioGaps;
  stats.audioSamplesDropped = s.audioFramesDropped;
  const std::error_code error = error_ ? error_ : writer_.error();
  stats.recordingError = error ? error.message() : std::string();
  stats.recordingStartUs = startUs_;
  stats.recordingEndUs = endUs_;
  stats.recordingZeroUs = s.zeroUs;
}

}  // namespace kinovo::media::linux_backend
