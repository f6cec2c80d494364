#include "platform/media/stream/avi_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/av_sync.h"
#include "platform/media/stream/avi_repair.h"
#include "platform/media/stream/media_log.h"

namespace kinovo::media::stream {
namespace {

class FfmpegErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "ffmpeg"; }
  std::string message(int code) const override {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
  }
  // AVERROR(errno) values compare equal to their errno conditions, so a
  // full disk reads as std::errc::no_space_on_device.
  std::error_condition default_error_condition(int code) const noexcept override {
    if (code < 0 && code > -4096) return std::generic_category().default_error_condition(-code);
    return {code, *this};
  }
};

class WriterErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "recording"; }
  std::string message(int code) const override {
    switch (code) {
      case writer_errc::kNoPicture: return "the camera delivered no picture";
      default: return "recording error " + std::to_string(code);
    }
  }
};

std::error_code AvError(int code) { return {code, FfmpegCategory()}; }

// What the trailer writes per packet (idx1 and OpenDML index entries), and
// for the headers and the last buffer besides.
constexpr std::int64_t kIndexBytesPerPacket = 16 + 8;
constexpr std::int64_t kTrailerBytes = std::int64_t{256} << 10;
constexpr int kIoBufferBytes = 64 << 10;
constexpr std::int64_t kReserveStep = std::int64_t{1} << 20;

}  // namespace

// Whether a Motion-JPEG frame is whole enough to be stored: it starts an
// image (SOI), its frame header (SOF) gives the stream's size, and it ends
// the image (EOI) somewhere (cameras may pad after it, up to the whole
// buffer; inside the coded data 0xFF is always followed by 0x00 or a
// restart marker, so 0xFF 0xD9 is the end). A frame cut short, noise or a
// header of another size would only give players a picture they cannot
// decode; its slot stays empty instead.
bool JpegLooksWhole(std::span<const std::uint8_t> b, int width, int height) {
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return false;
  bool ends = false;
  for (std::size_t i = b.size() - 1; i > 0; --i) {
    if (b[i - 1] == 0xFF && b[i] == 0xD9) {
      ends = true;
      break;
    }
  }
  if (!ends) return false;
  std::size_t i = 2;
  while (i + 4 <= b.size()) {
    if (b[i] != 0xFF) return false;
    const std::uint8_t marker = b[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      i += 2;
      continue;
    }
    const std::size_t length = (std::size_t{b[i + 2]} << 8) | b[i + 3];
    if (length < 2) return false;
    const bool frameHeader =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frameHeader) {
      if (length < 8 || i + 9 > b.size()) return false;
      const int h = (b[i + 5] << 8) | b[i + 6];
      const int w = (b[i + 7] << 8) | b[i + 8];
      return w == width && h == height;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // scan or end before any frame header
    i += 2 + length;
  }
  return false;
}

namespace {

// One plane of a raw picture: rows of `rowBytes` bytes, `stride` apart in
// the camera's buffer and packed tightly in the file.
struct Plane {
  std::int64_t rows;
  std::int64_t rowBytes;
  std::int64_t stride;
};

std::vector<Plane> RawPlanes(const StreamFormat& format) {
  const PixelFormat* pixels = FindPixelFormat(format.pixelFormat);
  if (!pixels) return {};
  const std::int64_t w = format.width;
  const std::int64_t h = format.height;
  auto stride = [&](std::int64_t tight) {
    return format.bytesPerLine >= tight ? static_cast<std::int64_t>(format.bytesPerLine) : tight;
  };
  switch (pixels->layout) {
    case Layout::Packed: {
      const std::int64_t row = pixels->bytesPerPixel * w;
      return {{h, row, stride(row)}};
    }
    case Layout::Planar420: {
      const std::int64_t luma = stride(w);
      const std::int64_t cw = (w + 1) / 2;
      const std::int64_t chroma = luma / 2 >= cw ? luma / 2 : cw;
      return {{h, w, luma}, {(h + 1) / 2, cw, chroma}, {(h + 1) / 2, cw, chroma}};
    }
    case Layout::SemiPlanar420: {
      const std::int64_t luma = stride(w);
      return {{h, w, luma}, {(h + 1) / 2, 2 * ((w + 1) / 2), luma}};
    }
    case Layout::Jpeg:
    case Layout::Coded: break;
  }
  return {};
}

// Timestamps further than this from the start are taken for broken ones
// (another clock, a driver fault) rather than filled up to with hours of
// empty frames and silence.
constexpr std::int64_t kSaneSpanUs = std::int64_t{24} * 3600 * 1000000;

// How long the sound waits for the camera's first frame, which lays the
// file's frame grid.
constexpr std::int64_t kGridWaitUs = 2000000;

struct Item {
  VideoFramePtr video;
  AudioChunkPtr audio;
  std::size_t bytes = 0;
};

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// The writers with an open file, for the exit hook, with the process that
// opened them: a forked child's exit() must not touch its parent's files.
std::mutex openWritersMutex;
std::vector<std::pair<AviWriter*, pid_t>>& OpenWriters() {
  static std::vector<std::pair<AviWriter*, pid_t>> writers;
  return writers;
}

}  // namespace

const std::error_category& FfmpegCategory() {
  static const FfmpegErrorCategory category;
  return category;
}

const std::error_category& WriterCategory() {
  static const WriterErrorCategory category;
  return category;
}

struct AviWriter::Impl {
  // Set up by Open(); after that used only by the writer thread, and by
  // Close() once the thread has been joined.
  AVFormatContext* context = nullptr;
  AVStream* videoStream = nullptr;
  AVStream* audioStream = nullptr;
  std::unique_ptr<AVPacket, PacketDeleter> packet;
  StreamFormat video;
  std::optional<AudioFormat> audio;
  bool compressed = false;
  std::vector<Plane> planes;
  std::int64_t frameBytes = 0;  // raw formats: bytes of one tightly packed picture
  std::optional<VideoTimeline> timeline;
  std::optional<AudioAligner> aligner;
  std::vector<std::uint8_t> packed;
  std::vector<std::int16_t> sound;  // aligned sound not yet written, interleaved
  std::int64_t soundInFile = 0;     // sample frames written
  std::int64_t soundPackets = 0;    // whole packets written
  std::int64_t endPadding = 0;      // silence put in at the end for sound that never came
  // Sound after the recording's end is left out: its length in sample frames.
  std::atomic<std::int64_t> soundEnd{std::numeric_limits<std::int64_t>::max()};
  // Frames captured later are left out (EndVideoAt).
  std::atomic<std::int64_t> videoEnd{std::numeric_limits<std::int64_t>::max()};
  // The capture time of the latest frame taken into the queue.
  std::atomic<std::int64_t> lastVideoUs{std::numeric_limits<std::int64_t>::min()};
  bool anyPicture = false;
  std::int64_t startUs = 0;  // the file's time zero, once its grid is laid
  std::atomic<std::int64_t> gridStartUs{0};  // the same, for other threads
  bool gridLaid = false;
  std::deque<AudioChunkPtr> early;  // sound that came before the grid was laid
  std::filesystem::path path;

  // The file, written through our own I/O context so that a failed write
  // can be retried once the reserve is given back. Writer thread only
  // (after Open, until Close has joined it).
  int file = -1;
  dev_t fileDevice = 0;
  ino_t fileInode = 0;
  AVIOContext* io = nullptr;
  linux_backend::UniqueFd reserve;  // unnamed file holding room for the trailer
  std::atomic<std::int64_t> reserveHeld{0};  // written by the writer thread, read by any
  std::int64_t reserveBase = 0;  // what the reserve holds beyond the index
  std::int64_t fileLimit = 0;    // largest size the file may reach; 0: none
  bool watchFreeSpace = true;
  std::int64_t packets = 0;
  int ioError = 0;  // the first failed write's errno
  bool finalized = false;
  bool trailerWritten = false;
  RecordingMarker marker;
  std::mutex closeMutex;              // Close() against the exit hook
  std::atomic<bool> finished{false};  // finalized, for other threads

  std::thread writer;
  mutable std::mutex queueMutex;
  std::condition_variable queueChanged;
  std::deque<Item> queue;
  bool accepting = false;  // guarded by queueMutex
  bool closing = false;    // guarded by queueMutex
  std::size_t maxBytes = 0;
  std::size_t audioReserve = 0;
  std::size_t queueBytes = 0;  // guarded by queueMutex
  std::size_t highWater = 0;   // guarded by queueMutex

  mutable std::mutex errorMutex;
  std::error_code firstError;

  std::atomic<std::uint64_t> framesWritten{0}, framesRepeated{0}, emptyFrames{0}, discarded{0},
      unusable{0}, overflows{0}, audioWritten{0}, audioInserted{0}, audioLeading{0},
      audioSilence{0}, audioGaps{0}, audioDropped{0}, audioRejected{0};

  std::error_code Setup();
  std::error_code MakeReserve();
  int GrowReserve(std::int64_t bytes);
  // Whether a packet of `bytes` still fits, with room for the trailer;
  // stops the recording otherwise.
  bool Room(std::size_t bytes);
  void StopForSpace(int error, const char* why);
  static int WriteOut(void* opaque, std::uint8_t* data, int size);
  static std::int64_t SeekIo(void* opaque, std::int64_t offset, int whence);
  // Writes the index and the headers and closes the file.
  void Finalize();
  bool Push(Item item, bool isAudio);
  void Run();
  void WriteVideo(const VideoFrame& frame);
  void WriteAudio(const AudioChunkPtr& chunk);
  void AlignAudio(const AudioChunk& chunk);
  // Lays the file's frame grid: time zero moves by less than half a frame
  // so that the camera's frames fall on the grid (`firstFrameUs`), or
  // stays (none). Then the sound held back for it goes in.
  void LayGrid(std::optional<std::int64_t> firstFrameUs);
  // Sample frames from the start to the packet boundary `index`.
  std::int64_t SoundBoundary(std::int64_t index) const;
  // Writes the sound that fills whole packets up to sample frame `until`;
  // with `all`, the rest too.
  void WriteSound(bool all, std::int64_t until = std::numeric_limits<std::int64_t>::max());
  void UpdateSoundStats();
  // Leaves out the aligned sound past the recording's end.
  void KeepWithinEnd();
  // The bytes to store for a frame; empty when it cannot be stored.
  std::span<const std::uint8_t> Payload(const VideoFrame& frame);
  bool WriteVideoPacket(std::int64_t slot, std::span<const std::uint8_t> data);
  // False when the packet is not in the file.
  bool WritePacket(AVStream* stream, AVRational timeBase, std::int64_t pts, std::int64_t duration,
                   std::span<const std::uint8_t> data, bool key);
  void Fail(int averror, const char* call);
  bool failed() const {
    std::lock_guard lock(errorMutex);
    return static_cast<bool>(firstError);
  }
  void Release();
};

AviWriter::AviWriter() : impl_(std::make_unique<Impl>()) {}

AviWriter::~AviWriter() { Close(); }

std::error_code AviWriter::Open(const std::filesystem::path& path, const StreamFormat& video,
                                std::optional<AudioFormat> audio, std::int64_t startUs,
                                const Options& options) {
  Impl& d = *impl_;
  if (d.context) return std::make_error_code(std::errc::device_or_resource_busy);
  if (video.width <= 0 || video.height <= 0 || video.interval.num == 0 || video.interval.den == 0) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  if (audio && (audio->rate <= 0 || audio->channels <= 0 || audio->channels > 8)) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  d.path = path;
  d.video = video;
  d.audio = audio;
  d.startUs = startUs;
  d.maxBytes = options.maxQueueBytes;
  d.watchFreeSpace = options.watchFreeSpace;
  d.reserveBase = static_cast<std::int64_t>(options.reserveBytes);
  // Sound is small and cannot be made up later: it may overdraw a little.
  d.audioReserve = std::max<std::size_t>(options.maxQueueBytes / 16, std::size_t{1} << 20);
  {
    std::lock_guard lock(d.errorMutex);
    d.firstError = {};
  }
  std::error_code ignored;
  const bool existed = std::filesystem::exists(path, ignored);
  if (const std::error_code error = d.Setup()) {
    d.marker.Remove();
    d.Release();
    // No half-made file is left behind; what was there before is not ours.
    if (!existed && std::filesystem::is_regular_file(path, ignored)) std::filesystem::remove(path, ignored);
    return error;
  }
  d.timeline.emplace(startUs, video.interval);
  if (audio) d.aligner.emplace(startUs, audio->rate, audio->channels);
  d.anyPicture = false;
  d.gridStartUs = startUs;
  d.gridLaid = false;
  d.early.clear();
  d.sound.clear();
  d.soundInFile = 0;
  d.soundPackets = 0;
  d.endPadding = 0;
  d.soundEnd = std::numeric_limits<std::int64_t>::max();
  d.lastVideoUs = std::numeric_limits<std::int64_t>::min();
  d.videoEnd = std::numeric_limits<std::int64_t>::max();
  for (auto* counter :
       {&d.framesWritten, &d.framesRepeated, &d.emptyFrames, &d.discarded, &d.unusable,
        &d.overflows, &d.audioWritten, &d.audioInserted, &d.audioLeading, &d.audioSilence,
        &d.audioGaps, &d.audioDropped, &d.audioRejected}) {
    *counter = 0;
  }
  {
    std::lock_guard lock(d.queueMutex);
    d.queue.clear();
    d.queueBytes = 0;
    d.highWater = 0;
    d.closing = false;
    d.accepting = true;
  }
  d.writer = std::thread([&d] { d.Run(); });
  {
    std::lock_guard lock(openWritersMutex);
    static const bool hooked = [] {
      // What the hook uses must outlive it: made before it is registered.
      lcMedia();
      FfmpegCategory();
      WriterCategory();
      OpenWriters();
      std::atexit(&AviWriter::CloseAllAtExit);
      std::at_quick_exit(&AviWriter::CloseAllAtExit);
      return true;
    }();
    (void)hooked;
    OpenWriters().emplace_back(this, ::getpid());
  }
  return {};
}

void AviWriter::CloseAllAtExit() {
  std::lock_guard lock(openWritersMutex);
  for (const auto& [writer, process] : OpenWriters()) {
    if (process != ::getpid()) continue;
    qCWarning(lcMedia) << "file" << writer->impl_->path.c_str()
                       << ": finished as the program exits";
    std::lock_guard closing(writer->impl_->closeMutex);
    writer->CloseLocked(std::nullopt);
  }
  OpenWriters().clear();
}

std::error_code AviWriter::Impl::Setup() {
  // Stream copy, under the tags that players know.
  const PixelFormat* codec = FindPixelFormat(video.pixelFormat);
  if (!codec || codec->avCodec == AV_CODEC_ID_NONE) {
    return std::make_error_code(std::errc::operation_not_supported);
  }
  compressed = codec->avCodec != AV_CODEC_ID_RAWVIDEO;
  planes = compressed ? std::vector<Plane>{} : RawPlanes(video);
  frameBytes = 0;
  for (const Plane& plane : planes) frameBytes += plane.rows * plane.rowBytes;

  if (reserveBase <= 0) {
    // Room to write the largest frame again after a failed write.
    const std::int64_t largest = frameBytes > 0 ? frameBytes
                                                : static_cast<std::int64_t>(video.width) * video.height;
    reserveBase = std::max<std::int64_t>(std::int64_t{1} << 20, 2 * largest);
  }
  packets = 0;
  ioError = 0;
  finalized = false;
  trailerWritten = false;
  finished = false;
  fileLimit = 0;
  if (rlimit limit{}; ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    fileLimit = static_cast<std::int64_t>(limit.rlim_cur);
  }

  int ret = avformat_alloc_output_context2(&context, nullptr, "avi", path.c_str());
  if (ret < 0 || !context) return AvError(ret < 0 ? ret : AVERROR(ENOMEM));

  videoStream = avformat_new_stream(context, nullptr);
  if (!videoStream) return AvError(AVERROR(ENOMEM));
  AVCodecParameters* vp = videoStream->codecpar;
  vp->codec_type = AVMEDIA_TYPE_VIDEO;
  vp->codec_id = static_cast<AVCodecID>(codec->avCodec);
  vp->codec_tag = codec->aviTag;
  vp->width = video.width;
  vp->height = video.height;
  vp->format = codec->avPixelFormat;
  vp->bits_per_coded_sample = codec->aviBits;
  videoStream->time_base = {static_cast<int>(video.interval.num), static_cast<int>(video.interval.den)};
  videoStream->avg_frame_rate = {static_cast<int>(video.interval.den), static_cast<int>(video.interval.num)};
  videoStream->r_frame_rate = videoStream->avg_frame_rate;

  if (audio) {
    audioStream = avformat_new_stream(context, nullptr);
    if (!audioStream) return AvError(AVERROR(ENOMEM));
    AVCodecParameters* ap = audioStream->codecpar;
    ap->codec_type = AVMEDIA_TYPE_AUDIO;
    ap->codec_id = AV_CODEC_ID_PCM_S16LE;
    ap->codec_tag = 0x0001;  // WAVE_FORMAT_PCM
    av_channel_layout_default(&ap->ch_layout, audio->channels);
    ap->sample_rate = audio->rate;
    ap->format = AV_SAMPLE_FMT_S16;
    ap->bits_per_coded_sample = 16;
    ap->block_align = 2 * audio->channels;
    ap->bit_rate = static_cast<std::int64_t>(audio->rate) * audio->channels * 16;
    audioStream->time_base = {1, audio->rate};
  }

  file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file < 0) {
    const int err = errno;
    qCWarning(lcMedia) << "file" << path.c_str() << ": open failed:" << std::strerror(err);
    return AvError(AVERROR(err));
  }
  struct stat st {};
  if (::fstat(file, &st) == 0) {
    fileDevice = st.st_dev;
    fileInode = st.st_ino;
  }
  // Without a marker the recording goes on; it is only not repaired after a crash.
  (void)marker.Create(path, file);
  if (struct statfs fs {}; ::fstatfs(file, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC) {
    const std::int64_t fat = (std::int64_t{1} << 32) - 1;
    fileLimit = fileLimit > 0 ? std::min(fileLimit, fat) : fat;
  }
  if (const std::error_code error = MakeReserve()) return error;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (!buffer) return AvError(AVERROR(ENOMEM));
  io = avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr, &Impl::WriteOut, &Impl::SeekIo);
  if (!io) {
    av_free(buffer);
    return AvError(AVERROR(ENOMEM));
  }
  context->pb = io;
  context->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
  // Every packet goes to the file whole before the next one is made: the
  // file never ends inside a frame, and the free space is known.
  context->flush_packets = 1;
  ret = avformat_write_header(context, nullptr);
  if (ret >= 0) avio_flush(io);
  if (ioError) return AvError(AVERROR(ioError));
  if (ret < 0) {
    qCWarning(lcMedia) << "file" << path.c_str() << ": avformat_write_header failed:"
                       << FfmpegCategory().message(ret).c_str();
    return AvError(ret);
  }
  packet.reset(av_packet_alloc());
  if (!packet) return AvError(AVERROR(ENOMEM));
  return {};
}

std::error_code AviWriter::Impl::MakeReserve() {
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Not every file system has unnamed files: a named one, gone at once.
    std::string name = (folder / ".kinovo-reserve-XXXXXX").string();
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) {
    qCWarning(lcMedia) << "file" << path.c_str()
                       << ": no room can be reserved for the index:" << std::strerror(errno);
    return {};  // records without a reserve
  }
  reserve = linux_backend::UniqueFd(fd);
  reserveHeld = 0;
  if (const int err = GrowReserve(reserveBase + kTrailerBytes)) {
    qCWarning(lcMedia) << "file" << path.c_str() << ": posix_fallocate of"
                       << (reserveBase + kTrailerBytes) << "bytes failed:" << std::strerror(err);
    reserve.Reset();
    // A disk full from the start: no recording at all.
    if (err == ENOSPC || err == EDQUOT) return AvError(AVERROR(err));
  }
  return {};
}

int AviWriter::Impl::GrowReserve(std::int64_t bytes) {
  if (!reserve || bytes <= reserveHeld) return 0;
  if (fileLimit > 0) bytes = std::min(bytes, fileLimit / 2);  // past the limit the kernel kills us
  if (bytes <= reserveHeld) return 0;
  const int err = ::posix_fallocate(reserve.get(), 0, static_cast<off_t>(bytes));
  if (err == 0) reserveHeld = bytes;
  return err;
}

bool AviWriter::Impl::Room(std::size_t bytes) {
  const std::int64_t chunk = static_cast<std::int64_t>(bytes) + 9;  // header and padding
  const std::int64_t trailer = kIndexBytesPerPacket * (packets + 1) + kTrailerBytes;
  if (reserve && reserveBase + trailer > reserveHeld) {
    if (const int err = GrowReserve(reserveBase + trailer + kReserveStep)) {
      StopForSpace(err, "the reserve for the index cannot grow");
      return false;
    }
  }
  if (watchFreeSpace) {
    struct statvfs fs {};
    if (::fstatvfs(file, &fs) == 0) {
      const auto free = static_cast<std::int64_t>(fs.f_bavail) * static_cast<std::int64_t>(fs.f_frsize);
      if (free < chunk + kIoBufferBytes) {
        StopForSpace(ENOSPC, "the disk is full");
        return false;
      }
    }
  }
  if (fileLimit > 0 && avio_tell(io) + chunk + trailer + kIoBufferBytes > fileLimit) {
    StopForSpace(EFBIG, "the file has reached the largest size allowed");
    return false;
  }
  return true;
}

void AviWriter::Impl::StopForSpace(int error, const char* why) {
  qCWarning(lcMedia) << "file" << path.c_str() << ": recording stopped:" << why << "("
                     << std::strerror(error) << ")";
  reserve.Reset();  // its room is the trailer's now
  reserveHeld = 0;
  Fail(AVERROR(error), nullptr);
}

int AviWriter::Impl::WriteOut(void* opaque, std::uint8_t* data, int size) {
  auto& d = *static_cast<Impl*>(opaque);
  const std::uint8_t* at = data;
  std::size_t left = static_cast<std::size_t>(size);
  while (left > 0) {
    const ssize_t n = ::write(d.file, at, left);
    if (n > 0) {
      at += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    const int err = n < 0 ? errno : EIO;
    if (err == EINTR) continue;
    if (!d.ioError) {
      d.ioError = err;
      qCWarning(lcMedia) << "file" << d.path.c_str() << ": write failed:" << std::strerror(err);
    }
    if (d.reserve) {
      // The reserve's room lets this write and the trailer through.
      d.reserve.Reset();
      d.reserveHeld = 0;
      continue;
    }
    return AVERROR(err);
  }
  return size;
}

std::int64_t AviWriter::Impl::SeekIo(void* opaque, std::int64_t offset, int whence) {
  return SeekFileForAvio(static_cast<Impl*>(opaque)->file, offset, whence);
}

bool AviWriter::PushVideo(VideoFramePtr frame) {
  if (!frame) return false;
  const std::size_t bytes = frame->size();
  const std::int64_t timestampUs = frame->timestampUs;
  if (!impl_->Push({std::move(frame), nullptr, bytes}, false)) return false;
  std::int64_t last = impl_->lastVideoUs.load();
  while (timestampUs > last && !impl_->lastVideoUs.compare_exchange_weak(last, timestampUs)) {
  }
  return true;
}

bool AviWriter::PushAudio(AudioChunkPtr chunk) {
  if (!chunk) return false;
  const std::size_t bytes = chunk->samples.size() * sizeof(std::int16_t);
  return impl_->Push({nullptr, std::move(chunk), bytes}, true);
}

bool AviWriter::Impl::Push(Item item, bool isAudio) {
  {
    std::lock_guard lock(queueMutex);
    if (!accepting) return false;
    const std::size_t limit = isAudio ? maxBytes + audioReserve : maxBytes;
    // An empty queue takes anything, so that one outsized frame still goes through.
    if (!queue.empty() && queueBytes + item.bytes > limit) {
      ++overflows;
      return false;
    }
    queueBytes += item.bytes;
    highWater = std::max(highWater, queueBytes);
    queue.push_back(std::move(item));
  }
  queueChanged.notify_one();
  return true;
}

void AviWriter::Impl::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock lock(queueMutex);
      queueChanged.wait(lock, [this] { return !queue.empty() || closing; });
      if (queue.empty()) return;  // closing and drained
      item = std::move(queue.front());
      queue.pop_front();
      queueBytes -= item.bytes;
    }
    if (failed()) continue;  // after a write error the rest is only drained
    if (item.video) WriteVideo(*item.video);
    if (item.audio) WriteAudio(item.audio);
    // A failed write ends the file now, not when the recording is stopped.
    if (failed()) Finalize();
  }
}

std::span<const std::uint8_t> AviWriter::Impl::Payload(const VideoFrame& frame) {
  const StreamFormat& f = frame.format;
  if (f.pixelFormat != video.pixelFormat || f.width != video.width || f.height != video.height) {
    return {};
  }
  const std::span<const std::uint8_t> bytes = frame.bytes();
  if (IsJpeg(video.pixelFormat)) {
    return JpegLooksWhole(bytes, video.width, video.height) ? bytes
                                                            : std::span<const std::uint8_t>{};
  }
  if (compressed) return bytes;
  // Raw pictures must be complete, or decoders reject them; rows padded
  // by the driver are packed, as the container has no stride.
  std::int64_t needed = 0;
  for (const Plane& plane : planes) needed += plane.rows * plane.stride;
  // The last row of a plane need not carry its padding.
  if (!planes.empty()) needed -= planes.back().stride - planes.back().rowBytes;
  if (static_cast<std::int64_t>(bytes.size()) < needed) return {};
  const bool tight = std::all_of(planes.begin(), planes.end(),
                                 [](const Plane& p) { return p.stride == p.rowBytes; });
  if (tight) return bytes.first(static_cast<std::size_t>(frameBytes));
  packed.resize(static_cast<std::size_t>(frameBytes));
  std::uint8_t* out = packed.data();
  const std::uint8_t* in = bytes.data();
  for (const Plane& plane : planes) {
    for (std::int64_t row = 0; row < plane.rows; ++row) {
      std::memcpy(out, in + row * plane.stride, static_cast<std::size_t>(plane.rowBytes));
      out += plane.rowBytes;
    }
    in += plane.rows * plane.stride;
  }
  return packed;
}

void AviWriter::Impl::WriteVideo(const VideoFrame& frame) {
  if (frame.timestampUs - startUs > kSaneSpanUs || frame.timestampUs > videoEnd.load()) {
    ++discarded;
    return;
  }
  if (!gridLaid) {
    // A frame captured before the start, but delivered after it (a
    // recording that begins while the camera streams), shows the moment
    // before the click: the file begins with the first frame after it.
    if (frame.timestampUs < startUs) {
      ++discarded;
      return;
    }
    LayGrid(frame.timestampUs);
  }
  const VideoTimeline::Placement placement = timeline->Place(frame.timestampUs);
  if (!placement.keep) {
    ++discarded;
    return;
  }
  const std::span<const std::uint8_t> payload = Payload(frame);
  if (payload.empty()) ++unusable;
  // Slots before the very first picture repeat it: a file must not begin
  // with an empty frame, which a player could not show.
  const bool lead = !anyPicture && !payload.empty();
  for (std::int64_t k = placement.emptyBefore; k > 0 && !failed(); --k) {
    if (WriteVideoPacket(placement.slot - k, lead ? payload : std::span<const std::uint8_t>{}) &&
        lead) {
      ++framesRepeated;
    }
  }
  WriteVideoPacket(placement.slot, payload);
}

bool AviWriter::Impl::WriteVideoPacket(std::int64_t slot, std::span<const std::uint8_t> data) {
  const AVRational timeBase{static_cast<int>(video.interval.num), static_cast<int>(video.interval.den)};
  if (!WritePacket(videoStream, timeBase, slot, 1, data, !data.empty())) return false;
  if (data.empty()) {
    ++emptyFrames;
  } else {
    ++framesWritten;
    anyPicture = true;
  }
  return true;
}

void AviWriter::Impl::WriteAudio(const AudioChunkPtr& chunk) {
  if (!aligner || chunk->rate != audio->rate || chunk->channels != audio->channels ||
      std::abs(chunk->timestampUs - startUs) > kSaneSpanUs) {
    ++audioRejected;
    return;
  }
  if (gridLaid) {
    AlignAudio(*chunk);
    return;
  }
  early.push_back(chunk);
  // A camera that takes this long for its first frame does not hold up the sound.
  if (chunk->timestampUs - startUs > kGridWaitUs) LayGrid(std::nullopt);
}

void AviWriter::Impl::LayGrid(std::optional<std::int64_t> firstFrameUs) {
  gridLaid = true;
  const bool ending = soundEnd.load() != std::numeric_limits<std::int64_t>::max();
  if (firstFrameUs && !ending) {
    const double interval = 1e6 * video.interval.num / video.interval.den;
    double phase = std::fmod(static_cast<double>(*firstFrameUs - startUs), interval);
    if (phase > interval / 2) phase -= interval;
    const std::int64_t zeroUs = startUs + std::llround(phase);
    if (zeroUs != startUs) {
      startUs = zeroUs;
      gridStartUs = zeroUs;
      timeline.emplace(zeroUs, video.interval);
      if (audio) aligner.emplace(zeroUs, audio->rate, audio->channels);
    }
  }
  for (const AudioChunkPtr& chunk : early) AlignAudio(*chunk);
  early.clear();
}

void AviWriter::Impl::AlignAudio(const AudioChunk& chunk) {
  aligner->Process(chunk, sound);
  KeepWithinEnd();
  UpdateSoundStats();
  // Sound placed past the present, or past the stop, came with a late
  // timestamp (a starved machine at the start); it waits, so that the end
  // of the recording can still leave it out and the file ends at the stop.
  const std::int64_t untilUs = std::min(MonotonicNowUs(), videoEnd.load());
  WriteSound(false, (untilUs - startUs) * audio->rate / 1'000'000);
}

void AviWriter::Impl::KeepWithinEnd() {
  const std::int64_t room = soundEnd.load() - soundInFile;
  const auto channels = static_cast<std::size_t>(audio->channels);
  if (static_cast<std::int64_t>(sound.size() / channels) > room) {
    sound.resize(static_cast<std::size_t>(std::max<std::int64_t>(room, 0)) * channels);
  }
}

std::int64_t AviWriter::Impl::SoundBoundary(std::int64_t index) const {
  // round(index * rate * interval)
  const std::int64_t num = 2 * index * audio->rate * video.interval.num + video.interval.den;
  return num / (2 * static_cast<std::int64_t>(video.interval.den));
}

// Sound goes out in packets of one video frame's length: players expect
// the two interleaved that way, and the demuxer's index keeps an entry per
// packet in memory, which for 20 ms packets would grow by 13 MB an hour.
void AviWriter::Impl::WriteSound(bool all, std::int64_t until) {
  const auto channels = static_cast<std::size_t>(audio->channels);
  const auto pending = static_cast<std::int64_t>(sound.size() / channels);
  std::int64_t used = 0;
  while (used < pending && !failed()) {
    const std::int64_t want = SoundBoundary(soundPackets + 1) - soundInFile;
    const std::int64_t frames = std::min(want, pending - used);
    if ((frames < want || soundInFile + want > until) && !all) break;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(sound.data() + used * channels);
    if (!WritePacket(audioStream, {1, audio->rate}, soundInFile, frames,
                     {bytes, static_cast<std::size_t>(frames) * channels * sizeof(std::int16_t)}, true)) {
      break;
    }
    soundInFile += frames;
    audioWritten += static_cast<std::uint64_t>(frames);
    if (frames == want) ++soundPackets;
    used += frames;
  }
  sound.erase(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(used * channels));
}

void AviWriter::Impl::UpdateSoundStats() {
  audioInserted = static_cast<std::uint64_t>(aligner->framesInserted() + endPadding);
  audioSilence = static_cast<std::uint64_t>(aligner->framesOfSilence() + endPadding);
  audioLeading = static_cast<std::uint64_t>(aligner->framesLeading());
  audioGaps = static_cast<std::uint64_t>(aligner->gaps() + (endPadding > 0 ? 1 : 0));
  audioDropped = static_cast<std::uint64_t>(aligner->framesDropped());
}

bool AviWriter::Impl::WritePacket(AVStream* stream, AVRational timeBase, std::int64_t pts,
                                  std::int64_t duration, std::span<const std::uint8_t> data,
                                  bool key) {
  if (!Room(data.size())) return false;
  AVPacket* pkt = packet.get();
  av_packet_unref(pkt);
  pkt->data = const_cast<std::uint8_t*>(data.data());
  pkt->size = static_cast<int>(data.size());
  pkt->stream_index = stream->index;
  pkt->pts = pkt->dts = av_rescale_q(pts, timeBase, stream->time_base);
  pkt->duration = av_rescale_q(duration, timeBase, stream->time_base);
  pkt->flags = key ? AV_PKT_FLAG_KEY : 0;
  const int ret = av_write_frame(context, pkt);
  pkt->data = nullptr;
  pkt->size = 0;
  ++packets;
  if (ioError) {
    Fail(AVERROR(ioError), nullptr);  // written after all, from the reserve's room
  } else if (ret < 0) {
    Fail(ret, "av_write_frame");
  }
  return ret >= 0;
}

void AviWriter::Impl::Fail(int averror, const char* call) {
  if (call) {
    qCWarning(lcMedia) << "file" << path.c_str() << ":" << call
                       << "failed:" << FfmpegCategory().message(averror).c_str();
  }
  std::lock_guard lock(errorMutex);
  if (!firstError) firstError = AvError(averror);
}

void AviWriter::Impl::Finalize() {
  if (finalized || !context) return;
  finalized = true;
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = true; }
  } done{finished};
  reserve.Reset();  // room for the index
  reserveHeld = 0;
  const int trailer = av_write_trailer(context);
  trailerWritten = trailer >= 0;
  if (trailer < 0) Fail(trailer, "av_write_trailer");
  if (io) {
    avio_flush(io);
    if (io->error < 0) {
      trailerWritten = false;
      Fail(io->error, "avio_flush");
    }
  }
  if (file >= 0) {
    if (::close(file) != 0) {
      trailerWritten = false;
      Fail(AVERROR(errno), "close");
    }
    file = -1;
  }
}

std::error_code AviWriter::Close(std::optional<std::int64_t> endUs) {
  {
    std::lock_guard lock(openWritersMutex);
    std::erase_if(OpenWriters(), [this](const auto& open) { return open.first == this; });
  }
  std::lock_guard closing(impl_->closeMutex);
  return CloseLocked(endUs);
}

std::error_code AviWriter::CloseLocked(std::optional<std::int64_t> endUs) {
  Impl& d = *impl_;
  if (!d.context) return {};
  if (endUs) EndSoundAt(*endUs);
  {
    std::lock_guard lock(d.queueMutex);
    d.accepting = false;
    d.closing = true;
  }
  d.queueChanged.notify_all();
  if (d.writer.joinable()) d.writer.join();

  if (!d.gridLaid) d.LayGrid(std::nullopt);
  if (!d.finalized && !d.failed()) {
    // Both streams as long as the longer one, and at least up to the end.
    const Fraction interval = d.video.interval;
    double durationUs = static_cast<double>(d.timeline->length()) * interval.num * 1e6 / interval.den;
    if (d.aligner) {
      d.aligner->Flush(d.sound);
      d.KeepWithinEnd();
      const auto sound = d.soundInFile + static_cast<std::int64_t>(d.sound.size()) / d.audio->channels;
      durationUs = std::max(durationUs, static_cast<double>(sound) * 1e6 / d.audio->rate);
    }
    if (endUs && *endUs - d.startUs <= kSaneSpanUs) {
      durationUs = std::max(durationUs, static_cast<double>(*endUs - d.startUs));
    }
    const std::int64_t slotCount = std::max(
        d.timeline->length(), d.timeline->SlotsUntil(d.startUs + static_cast<std::int64_t>(durationUs)));
    for (std::int64_t slot = d.timeline->length(); slot < slotCount && !d.failed(); ++slot) {
      d.WriteVideoPacket(slot, {});
    }
    d.timeline->ExtendTo(slotCount);
    if (d.aligner) {
      // A second at a time: the microphone may have been gone for hours.
      const std::int64_t target = std::llround(durationUs * d.audio->rate / 1e6);
      const auto channels = static_cast<std::size_t>(d.audio->channels);
      for (;;) {
        const std::int64_t have = d.soundInFile + static_cast<std::int64_t>(d.sound.size() / channels);
        if (have >= target || d.failed()) break;
        const std::int64_t silence = std::min<std::int64_t>(target - have, d.audio->rate);
        d.sound.insert(d.sound.end(), static_cast<std::size_t>(silence) * channels, std::int16_t{0});
        d.endPadding += silence;
        d.WriteSound(false);
      }
      d.UpdateSoundStats();
      d.WriteSound(true);
    }
  }
  d.Finalize();
  const bool noPicture = !d.anyPicture;
  // An index that could not be written is made at the next start.
  if (d.trailerWritten || noPicture) d.marker.Remove();
  d.Release();
  if (noPicture) {
    // Nothing to watch: no file, and the failure is told.
    struct stat st {};
    if (::lstat(d.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == d.fileDevice &&
        st.st_ino == d.fileInode) {
      ::unlink(d.path.c_str());
    }
    qCWarning(lcMedia) << "file" << d.path.c_str() << ": the camera delivered no picture; no file is left";
    std::lock_guard lock(d.errorMutex);
    if (!d.firstError) d.firstError = {writer_errc::kNoPicture, WriterCategory()};
  }
  return error();
}

void AviWriter::Impl::Release() {
  if (io) {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
  if (context) {
    context->pb = nullptr;
    avformat_free_context(context);
  }
  context = nullptr;
  if (file >= 0) ::close(file);
  file = -1;
  marker = {};
  reserve.Reset();
  reserveHeld = 0;
  videoStream = audioStream = nullptr;
  packet.reset();
  timeline.reset();
  aligner.reset();
  std::vector<std::uint8_t>().swap(packed);
  std::vector<std::int16_t>().swap(sound);
}

void AviWriter::EndVideoAt(std::int64_t endUs) { impl_->videoEnd = endUs; }

std::int64_t AviWriter::EndSoundAt(std::int64_t endUs) {
  Impl& d = *impl_;
  const std::int64_t zeroUs = d.gridStartUs.load();
  if (!d.context || !d.audio || endUs - zeroUs > kSaneSpanUs) return endUs;
  // The file ends where the picture does: at the end rounded to the frame
  // grid, or after the slot of a frame captured just before it.
  std::int64_t fileSlots = SlotsUntil(zeroUs, d.video.interval, endUs);
  const std::int64_t lastVideoUs = d.lastVideoUs.load();
  if (lastVideoUs > std::numeric_limits<std::int64_t>::min() && lastVideoUs <= endUs) {
    fileSlots = std::max(fileSlots, SlotsUntil(zeroUs, d.video.interval, lastVideoUs) + 1);
  }
  fileSlots = std::max<std::int64_t>(fileSlots, 0);
  const std::int64_t frames = d.SoundBoundary(fileSlots);
  // Only ever earlier: a second call cannot bring back what was left out.
  std::int64_t current = d.soundEnd.load();
  while (frames < current && !d.soundEnd.compare_exchange_weak(current, frames)) {
  }
  return zeroUs + frames * 1000000 / d.audio->rate;
}

bool AviWriter::isOpen() const { return impl_->context != nullptr; }

std::error_code AviWriter::error() const {
  std::lock_guard lock(impl_->errorMutex);
  return impl_->firstError;
}

std::uint64_t AviWriter::spaceHeld() const {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(impl_->reserveHeld, 0));
}

AviWriter::Stats AviWriter::stats() const {
  const Impl& d = *impl_;
  Stats s;
  s.framesWritten = d.framesWritten;
  s.framesRepeated = d.framesRepeated;
  s.emptyFramesWritten = d.emptyFrames;
  s.framesDiscarded = d.discarded;
  s.framesUnusable = d.unusable;
  s.queueOverflows = d.overflows;
  s.audioFramesWritten = d.audioWritten;
  s.audioFramesInserted = d.audioInserted;
  s.audioLeadingSilence = d.audioLeading;
  s.audioSilenceInserted = d.audioSilence;
  s.audioGaps = d.audioGaps;
  s.audioFramesDropped = d.audioDropped;
  s.audioChunksRejected = d.audioRejected;
  {
    std::lock_guard lock(d.queueMutex);
    s.queueBytes = d.queueBytes;
    s.queueHighWater = d.highWater;
  }
  s.finished = d.finished;
  s.zeroUs = d.gridStartUs;
  return s;
}

}  // namespace kinovo::media::stream
