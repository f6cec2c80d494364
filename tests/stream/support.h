#pragma once

// Helpers of the stream tests: synthetic camera frames and sound, a private
// temporary folder, and independent checks of written files through
// ffprobe and ffmpeg.

#include <QColor>
#include <QImage>
#include <QJsonObject>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/media/stream/frame.h"

namespace kinovo::streamtest {

namespace ms = kinovo::media::stream;

// Runs a shell command; its exit status and its output (stdout and stderr).
std::pair<int, std::string> RunCommand(const std::string& command);
std::string Quote(const std::string& text);

// A folder removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Runs Qt's event loop until `done` holds (true), or the time is up
// (false); then once more what is pending.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000);

// A small file system (tmpfs) of `bytes`, mounted in a mount namespace of
// the calling thread's own, so that it vanishes with the process; threads
// and programs started afterwards see it. Where it cannot be mounted
// (no privilege), ok() is false and why() says so.
class SmallDisk {
 public:
  explicit SmallDisk(std::size_t bytes);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool ok() const { return mounted_; }
  const std::string& why() const { return why_; }
  std::filesystem::path operator/(const std::string& name) const { return dir_.path() / name; }
  // Fills what is free with one file, leaving `keep` bytes.
  bool Fill(const std::string& name, std::size_t keep = 0) const;

 private:
  TempDir dir_;
  bool mounted_ = false;
  std::string why_;
};

// Four colours in the quadrants: top-left, top-right, bottom-left, bottom-right.
struct Quadrants {
  QColor topLeft{220, 40, 40};
  QColor topRight{40, 200, 60};
  QColor bottomLeft{40, 60, 220};
  QColor bottomRight{230, 220, 40};
  QColor At(int x, int y, int width, int height) const;
};

QImage QuadrantImage(int width, int height, const Quadrants& q = {});

// JPEG bytes of `image` (TurboJPEG, 4:2:2 like most webcams unless told).
std::vector<std::uint8_t> EncodeJpeg(const QImage& image, int quality = 90, int subsampling = -1);
// A JPEG decoded independently of the program's decoders: TurboJPEG with
// the accurate transform, at its own size; null when it cannot be read.
QImage AccurateJpeg(const std::uint8_t* jpeg, std::size_t size);

// A camera frame of `image` in a raw format (YUV as BT.601 video range),
// with rows `bytesPerLine` apart (0: packed tightly).
ms::VideoFramePtr RawFrame(const QImage& image, std::uint32_t pixelFormat, int bytesPerLine = 0,
                           std::int64_t timestampUs = 0, ms::Fraction interval = {1, 30});
ms::VideoFramePtr JpegFrame(const std::vector<std::uint8_t>& jpeg, int width, int height,
                            std::int64_t timestampUs = 0, ms::Fraction interval = {1, 30});
// The same frame data with another timestamp.
ms::VideoFramePtr Retimed(const ms::VideoFramePtr& frame, std::int64_t timestampUs,
                          std::uint32_t sequence);

// A chunk of a 440 Hz tone.
ms::AudioChunkPtr ToneChunk(std::int64_t timestampUs, std::uint64_t firstFrame, std::size_t frames,
                            int rate, int channels);

// What ffprobe says about a file's streams ("video", "audio") and format.
struct Probe {
  QJsonObject video;
  QJsonObject audio;
  QJsonObject format;
  int streams = 0;
  double Number(const QJsonObject& o, const char* key) const;
  std::string Text(const QJsonObject& o, const char* key) const;
};
std::optional<Probe> ProbeFile(const std::filesystem::path& file);

// What `ffmpeg -v error -i FILE -f null -` prints: nothing for a sound file.
std::string DecodeErrors(const std::filesystem::path& file);
// Sample frames of the first audio stream, counted by decoding it.
std::int64_t DecodedAudioFrames(const std::filesystem::path& file, int channels);
// Video packets that carry data (empty frames are skipped by the demuxer).
std::int64_t VideoPacketsWithData(const std::filesystem::path& file);
// The sizes of a file's chunks of one kind ("01wb": the second stream's
// sound) in the order of its idx1 index.
std::vector<std::uint32_t> IndexedChunkSizes(const std::filesystem::path& file, const char (&id)[5]);
// Lip sync, as a viewer would see it: the picture flashes and the sound
// clicks at the same instants (the virtual camera's sync_flash and the test
// microphone of scripts/with-services.sh, or synthetic ones). Times are
// seconds into the file, found by ffmpeg's decoding: a flash is a picture
// of mean brightness near white, at its frame's time; a click is the onset
// of sound far above the tone's level after a quiet spell.
std::vector<double> FlashTimes(const std::filesystem::path& file);
std::vector<double> ClickTimes(const std::filesystem::path& file);
// The sample value a click reaches: a tone of 1/8 full scale stays below.
inline constexpr int kClickLevel = 12000;
// For each flash, the click nearest to it less the flash's time.
std::vector<double> SyncErrors(const std::vector<double>& flashes, const std::vector<double>& clicks);
// The first decoded picture as RGB, decoded by ffmpeg.
QImage FirstPicture(const std::filesystem::path& file, int width, int height);

// A PulseAudio module loaded for as long as the object lives.
class PulseModule {
 public:
  explicit PulseModule(const std::string& arguments);
  ~PulseModule();
  PulseModule(const PulseModule&) = delete;
  PulseModule& operator=(const PulseModule&) = delete;
  bool loaded() const { return !index_.empty(); }
  const std::string& error() const { return error_; }

 private:
  std::string index_;
  std::string error_;
};

// Colours compare within a tolerance per channel.
bool Near(QColor a, QColor b, int tolerance = 12);

}  // namespace kinovo::streamtest
