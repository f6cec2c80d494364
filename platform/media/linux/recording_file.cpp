#include "platform/media/linux/recording_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/media/linux/capture_session.h"
#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/media_log.h"

namespace kinovo::media::linux_backend {

std::error_code RecordingFile::Create(const std::filesystem::path& path,
                                      std::unique_ptr<RecordingFile>& file) {
  file.reset();
  if (path.empty()) return std::make_error_code(std::errc::invalid_argument);
  // O_EXCL: never someone else's file, not even one that appears meanwhile.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd) {
    const std::error_code error(errno, std::generic_category());
    qCWarning(lcMedia) << "file" << path.c_str() << ": open failed:" << error.message().c_str();
    return error;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const std::error_code error(errno, std::generic_category());
    qCWarning(lcMedia) << "file" << path.c_str() << ": fstat failed:" << error.message().c_str();
    ::unlink(path.c_str());
    return error;
  }
  file.reset(new RecordingFile(path, st.st_dev, st.st_ino));
  return {};
}

RecordingFile::~RecordingFile() {
  Finish(std::nullopt);
  if (state_ == State::Ready) RemovePlaceholder();
}

std::error_code RecordingFile::error() const {
  if (error_) return error_;
  return state_ == State::Writing ? writer_.error() : std::error_code();
}

std::uint64_t RecordingFile::SpaceHeld() const {
  return state_ == State::Writing ? writer_.spaceHeld() : 0;
}

void RecordingFile::Abandon(const std::error_code& cause) {
  if (!error_) error_ = cause;
  if (state_ == State::Writing) {
    Finish(std::nullopt);  // without a picture the writer leaves no file
  } else {
    state_ = State::Finished;
    RemovePlaceholder();
  }
}

bool RecordingFile::PlaceholderIntact() const {
  struct stat st {};
  return ::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device_ &&
         st.st_ino == inode_ && st.st_size == 0;
}

void RecordingFile::RemovePlaceholder() {
  if (PlaceholderIntact()) ::unlink(path_.c_str());
}

std::error_code RecordingFile::Begin(const stream::StreamFormat& video,
                                     std::optional<stream::AudioFormat> audio,
                                     std::int64_t startUs) {
  if (state_ != State::Ready) return std::make_error_code(std::errc::operation_not_permitted);
  if (!PlaceholderIntact()) {
    // Replaced or written by someone else since: not ours to write over.
    state_ = State::Finished;
    error_ = std::make_error_code(std::errc::file_exists);
    qCWarning(lcMedia) << "file" << path_.c_str() << ": replaced by another since it was made";
    return error_;
  }
  error_ = writer_.Open(path_, video, audio, startUs);
  if (error_) {
    state_ = State::Finished;
    RemovePlaceholder();
    return error_;
  }
  state_ = State::Writing;
  startUs_ = startUs;
  withSound_ = audio.has_value();
  level_.emplace(startUs);
  return {};
}

void RecordingFile::Finish(std::optional<std::int64_t> endUs) {
  if (state_ != State::Writing) return;
  state_ = State::Finished;
  endUs_ = endUs.value_or(stream::MonotonicNowUs());
  const std::error_code error = writer_.Close(endUs);
  if (!error_) error_ = error;
}

void RecordingFile::EndVideoAt(std::int64_t endUs) {
  if (state_ == State::Writing) writer_.EndVideoAt(endUs);
}

std::int64_t RecordingFile::EndSoundAt(std::int64_t endUs) {
  return state_ == State::Writing ? writer_.EndSoundAt(endUs) : endUs;
}

void RecordingFile::PushVideo(const stream::VideoFramePtr& frame) {
  ++captured_;
  if (!writer_.PushVideo(frame)) ++refused_;
}

void RecordingFile::PushAudio(const stream::AudioChunkPtr& chunk) {
  level_->Feed(chunk->samples, chunk->channels, chunk->rate, chunk->timestampUs);
  writer_.PushAudio(chunk);
}

void RecordingFile::SoundEnded(std::int64_t atUs) { soundEndedUs_ = atUs; }

SoundReport RecordingFile::Sound() const {
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

void RecordingFile::AddStats(RecordingCounters& stats) const {
  static_cast<stream::AviWriter::Stats&>(stats) = writer_.stats();
  stats.recording = state_ == State::Writing;
  stats.recordedFramesCaptured = captured_;
  stats.framesRefused = refused_;
  const std::error_code error = error_ ? error_ : writer_.error();
  stats.recordingError = error ? error.message() : std::string();
  stats.recordingStartUs = startUs_;
  stats.recordingEndUs = endUs_;
}

}  // namespace kinovo::media::linux_backend
