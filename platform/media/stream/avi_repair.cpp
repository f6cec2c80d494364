#include "platform/media/stream/avi_repair.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/media_log.h"

namespace kinovo::media::stream {
namespace {

using linux_backend::UniqueFd;
namespace fs = std::filesystem;

constexpr std::string_view kMarkerSuffix = ".recording";
constexpr char kMarkerTag[] = "kinovo-recording";
constexpr int kIoBufferBytes = 64 << 10;

std::string AvText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

std::uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool Is(const unsigned char* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

bool ReadAt(int fd, void* data, std::size_t size, std::int64_t offset) {
  auto* at = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, at, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    offset += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A chunk the writer puts into the movie list: "00dc", "01wb", "ix00", ...
bool KnownChunk(const unsigned char* id) {
  const auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
  if (Is(id, "JUNK") || Is(id, "idx1") || Is(id, "indx")) return true;
  if (id[0] == 'i' && id[1] == 'x' && digit(id[2]) && digit(id[3])) return true;
  if (!digit(id[0]) || !digit(id[1])) return false;
  return (id[2] == 'd' && (id[3] == 'c' || id[3] == 'b')) || (id[2] == 'w' && id[3] == 'b') ||
         (id[2] == 'p' && id[3] == 'c');
}

// Where the file's whole chunks end: a chunk the process was writing when
// it died, or what a power loss left (zeros, garbage), is not read.
std::int64_t WholeChunksEnd(int fd, std::int64_t size) {
  std::int64_t pos = 12;  // after "RIFF" size "AVI "
  unsigned char h[12];
  while (pos + 8 <= size && ReadAt(fd, h, 8, pos)) {
    const std::int64_t length = Le32(h + 4);
    const std::int64_t end = pos + 8 + length + (length & 1);
    if (Is(h, "LIST") || Is(h, "RIFF")) {
      if (pos + 12 > size || !ReadAt(fd, h + 8, 4, pos + 8)) break;
      // The frames' lists are read into; their sizes may not be written yet.
      if (Is(h + 8, "movi") || Is(h + 8, "AVIX")) {
        pos += 12;
        continue;
      }
    } else if (!KnownChunk(h)) {
      break;
    }
    if (end - (length & 1) > size) break;
    pos = std::min(end, size);
  }
  return std::min(pos, size);
}

// Whether the writer's trailer went through: it closes the last RIFF list
// (one per gigabyte) last. The header's frame counts tell nothing, as
// they are written when the second RIFF list begins.
bool Finished(int fd, std::int64_t size) {
  std::int64_t pos = 0;
  unsigned char h[8];
  while (pos < size) {
    if (!ReadAt(fd, h, sizeof h, pos) || !Is(h, "RIFF")) return false;
    const std::int64_t length = Le32(h + 4);  // 0xffffffff while it is open
    pos += 8 + length + (length & 1);
  }
  return pos == size;
}

// Reads a file through its descriptor, as if it ended at `end`.
struct Source {
  int fd;
  std::int64_t end;
  std::int64_t pos = 0;

  static int Read(void* opaque, std::uint8_t* data, int size) {
    auto& s = *static_cast<Source*>(opaque);
    const std::int64_t n = std::min<std::int64_t>(size, s.end - s.pos);
    if (n <= 0) return AVERROR_EOF;
    const ssize_t got = ::pread(s.fd, data, static_cast<std::size_t>(n), static_cast<off_t>(s.pos));
    if (got < 0) return AVERROR(errno);
    if (got == 0) return AVERROR_EOF;
    s.pos += got;
    return static_cast<int>(got);
  }
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    auto& s = *static_cast<Source*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE: return s.end;
      case SEEK_SET: break;
      case SEEK_CUR: offset += s.pos; break;
      case SEEK_END: offset += s.end; break;
      default: return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    s.pos = offset;
    return offset;
  }
};

struct Sink {
  int fd;
  static int Write(void* opaque, std::uint8_t* data, int size) {
    auto& s = *static_cast<Sink*>(opaque);
    int left = size;
    while (left > 0) {
      const ssize_t n = ::write(s.fd, data, static_cast<std::size_t>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? AVERROR(errno) : AVERROR(EIO);
      data += n;
      left -= static_cast<int>(n);
    }
    return size;
  }
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence) {
    return SeekFileForAvio(static_cast<Sink*>(opaque)->fd, offset, whence);
  }
};

struct IoDeleter {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
using IoPtr = std::unique_ptr<AVIOContext, IoDeleter>;

IoPtr MakeIo(void* opaque, bool write, int (*read)(void*, std::uint8_t*, int),
             int (*writeOut)(void*, std::uint8_t*, int),
             std::int64_t (*seek)(void*, std::int64_t, int)) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  if (!buffer) return nullptr;
  AVIOContext* io =
      avio_alloc_context(buffer, kIoBufferBytes, write ? 1 : 0, opaque, read, writeOut, seek);
  if (!io) av_free(buffer);
  return IoPtr(io);
}

struct InputDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputDeleter {
  void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// A file in the recording's folder that goes again unless kept.
struct TempFile {
  std::string path;
  UniqueFd fd;
  bool keep = false;
  ~TempFile() {
    if (fd && !keep) ::unlink(path.c_str());
  }
};

struct MarkerIdentity {
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
};

std::optional<MarkerIdentity> ReadMarker(int fd) {
  char text[128] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;
  char tag[32] = {};
  MarkerIdentity id;
  if (std::sscanf(text, "%31s %ju %ju", tag, &id.device, &id.inode) != 3 ||
      std::strcmp(tag, kMarkerTag) != 0) {
    return std::nullopt;
  }
  return id;
}

void SyncFolder(const fs::path& folder) {
  UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir && ::fsync(dir.get()) != 0) {
    qCWarning(lcMedia) << "folder" << folder.c_str() << ": fsync failed:" << std::strerror(errno);
  }
}

bool Cancelled(const std::stop_token& stop, const fs::path& file) {
  if (!stop.stop_requested()) return false;
  qCDebug(lcMedia) << "file" << file.c_str() << ": repair put off until the next start";
  return true;
}

struct Lengths {
  std::int64_t videoSlots = 0;    // in frames
  std::int64_t audioSamples = 0;  // in sample frames
  std::int64_t videoPackets = 0;
};

// Copies the streams of `in` (read up to `end`) into `out`, then makes
// both streams equally long, as the writer's Close does: empty frames or
// silence after the shorter one.
bool Remux(const fs::path& file, int in, std::int64_t end, int out, const std::stop_token& stop) {
  Source source{in, end};
  IoPtr inIo = MakeIo(&source, false, &Source::Read, nullptr, &Source::Seek);
  Sink sink{out};
  IoPtr outIo = MakeIo(&sink, true, nullptr, &Sink::Write, &Sink::Seek);
  std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
  if (!inIo || !outIo || !pkt) {
    qCWarning(lcMedia) << "file" << file.c_str() << ": repair failed: out of memory";
    return false;
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return false;
  raw->pb = inIo.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  int ret = avformat_open_input(&raw, file.c_str(), av_find_input_format("avi"), nullptr);
  if (ret < 0) {  // `raw` is freed
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": avformat_open_input failed:" << AvText(ret).c_str();
    return false;
  }
  std::unique_ptr<AVFormatContext, InputDeleter> input(raw);

  raw = nullptr;
  ret = avformat_alloc_output_context2(&raw, nullptr, "avi", nullptr);
  if (ret < 0 || !raw) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": avformat_alloc_output_context2 failed:" << AvText(ret).c_str();
    return false;
  }
  std::unique_ptr<AVFormatContext, OutputDeleter> output(raw);
  output->pb = outIo.get();
  output->flags |= AVFMT_FLAG_CUSTOM_IO;

  int videoIn = -1, audioIn = -1;
  std::vector<int> map(input->nb_streams, -1);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* is = input->streams[i];
    const AVMediaType type = is->codecpar->codec_type;
    if ((type == AVMEDIA_TYPE_VIDEO && videoIn < 0) ||
        (type == AVMEDIA_TYPE_AUDIO && audioIn < 0)) {
      (type == AVMEDIA_TYPE_VIDEO ? videoIn : audioIn) = static_cast<int>(i);
    } else {
      continue;
    }
    AVStream* os = avformat_new_stream(output.get(), nullptr);
    if (!os || avcodec_parameters_copy(os->codecpar, is->codecpar) < 0) return false;
    os->time_base = is->time_base;
    os->avg_frame_rate = is->avg_frame_rate;
    os->r_frame_rate = is->r_frame_rate;
    map[i] = os->index;
  }
  if (videoIn < 0) {
    qCWarning(lcMedia) << "file" << file.c_str() << ": cannot be repaired: it has no video stream";
    return false;
  }
  const AVCodecParameters* audioPar = audioIn >= 0 ? input->streams[audioIn]->codecpar : nullptr;
  if (audioPar && (audioPar->codec_id != AV_CODEC_ID_PCM_S16LE || audioPar->block_align <= 0 ||
                   audioPar->sample_rate <= 0)) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": cannot be repaired: its sound is not 16-bit PCM";
    return false;
  }
  ret = avformat_write_header(output.get(), nullptr);
  if (ret < 0) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": avformat_write_header failed:" << AvText(ret).c_str();
    return false;
  }
  AVStream* videoOut = output->streams[map[static_cast<std::size_t>(videoIn)]];
  AVStream* audioOut =
      audioIn >= 0 ? output->streams[map[static_cast<std::size_t>(audioIn)]] : nullptr;
  const AVRational frameBase = input->streams[videoIn]->time_base;  // one frame per tick
  const int rate = audioPar ? audioPar->sample_rate : 1;
  const int blockAlign = audioPar ? audioPar->block_align : 1;

  auto write = [&](AVPacket* p, const char* what) {
    const int r = av_write_frame(output.get(), p);
    if (r < 0) {
      qCWarning(lcMedia) << "file" << file.c_str() << ": av_write_frame of" << what
                         << "failed:" << AvText(r).c_str();
    }
    return r >= 0;
  };

  Lengths lengths;
  while ((ret = av_read_frame(input.get(), pkt.get())) >= 0) {
    const auto index = static_cast<std::size_t>(pkt->stream_index);
    if (index >= map.size() || map[index] < 0 || pkt->pts == AV_NOPTS_VALUE) {
      av_packet_unref(pkt.get());
      continue;
    }
    if (Cancelled(stop, file)) return false;
    const AVStream* is = input->streams[index];
    AVStream* os = output->streams[map[index]];
    if (static_cast<int>(index) == videoIn) {
      const std::int64_t slot = av_rescale_q(pkt->pts, is->time_base, frameBase);
      lengths.videoSlots = std::max(lengths.videoSlots, slot + 1);
      ++lengths.videoPackets;
    } else {
      const std::int64_t first = av_rescale_q(pkt->pts, is->time_base, {1, rate});
      lengths.audioSamples = std::max(lengths.audioSamples, first + pkt->size / blockAlign);
    }
    av_packet_rescale_ts(pkt.get(), is->time_base, os->time_base);
    pkt->stream_index = os->index;
    pkt->pos = -1;
    const bool ok = write(pkt.get(), "a packet");
    av_packet_unref(pkt.get());
    if (!ok) return false;
  }
  if (ret != AVERROR_EOF) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": av_read_frame failed:" << AvText(ret).c_str();
    return false;
  }
  if (lengths.videoPackets == 0) {
    qCWarning(lcMedia) << "file" << file.c_str() << ": cannot be repaired: it holds no picture";
    return false;
  }

  // Both streams as long as the longer one.
  std::int64_t fileFrames = lengths.videoSlots;
  if (audioOut) {
    fileFrames = std::max(
        fileFrames, av_rescale_rnd(lengths.audioSamples, frameBase.den,
                                   static_cast<std::int64_t>(rate) * frameBase.num, AV_ROUND_UP));
  }
  for (std::int64_t slot = lengths.videoSlots; slot < fileFrames; ++slot) {
    pkt->data = nullptr;
    pkt->size = 0;
    pkt->stream_index = videoOut->index;
    pkt->pts = pkt->dts = av_rescale_q(slot, frameBase, videoOut->time_base);
    pkt->duration = av_rescale_q(1, frameBase, videoOut->time_base);
    pkt->flags = 0;
    if (!write(pkt.get(), "an empty frame")) return false;
  }
  if (audioOut) {
    const std::int64_t target =
        av_rescale_rnd(fileFrames, static_cast<std::int64_t>(rate) * frameBase.num, frameBase.den,
                       AV_ROUND_NEAR_INF);
    std::vector<std::uint8_t> silence;
    for (std::int64_t at = lengths.audioSamples; at < target;) {
      const std::int64_t n = std::min<std::int64_t>(target - at, rate / 10 + 1);
      silence.assign(static_cast<std::size_t>(n * blockAlign), 0);
      pkt->data = silence.data();
      pkt->size = static_cast<int>(silence.size());
      pkt->stream_index = audioOut->index;
      pkt->pts = pkt->dts = av_rescale_q(at, {1, rate}, audioOut->time_base);
      pkt->duration = av_rescale_q(n, {1, rate}, audioOut->time_base);
      pkt->flags = AV_PKT_FLAG_KEY;
      const bool ok = write(pkt.get(), "silence");
      pkt->data = nullptr;
      pkt->size = 0;
      if (!ok) return false;
      at += n;
    }
  }
  ret = av_write_trailer(output.get());
  if (ret < 0) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": av_write_trailer failed:" << AvText(ret).c_str();
    return false;
  }
  avio_flush(outIo.get());
  if (outIo->error < 0) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": writing the repaired copy failed:" << AvText(outIo->error).c_str();
    return false;
  }
  return true;
}

}  // namespace

std::int64_t SeekFileForAvio(int fd, std::int64_t offset, int whence) {
  if (whence == AVSEEK_SIZE) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_size : AVERROR(errno);
  }
  const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

fs::path RecordingMarkerPath(const fs::path& recording) {
  return recording.parent_path() /
         ("." + recording.filename().string() + std::string(kMarkerSuffix));
}

std::error_code RecordingMarker::Create(const fs::path& recording, int fd) {
  fd_.Reset();
  path_ = RecordingMarkerPath(recording);
  const auto failed = [this](const char* call) {
    const int err = errno;
    qCWarning(lcMedia) << "file" << path_.c_str() << ":" << call << "failed:" << std::strerror(err);
    return std::error_code(err, std::generic_category());
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed("fstat");
  // Not synced: a power loss in the first seconds may lose the marker (and
  // the repair), but the start of a recording never waits for the disk.
  // A marker left by an earlier file of this name, which is gone, is reused.
  UniqueFd marker(::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!marker) return failed("open");
  if (::flock(marker.get(), LOCK_EX | LOCK_NB) != 0) return failed("flock");
  char text[96];
  const int n =
      std::snprintf(text, sizeof text, "%s %ju %ju\n", kMarkerTag,
                    static_cast<std::uintmax_t>(st.st_dev), static_cast<std::uintmax_t>(st.st_ino));
  if (::ftruncate(marker.get(), 0) != 0 ||
      ::pwrite(marker.get(), text, static_cast<std::size_t>(n), 0) != static_cast<ssize_t>(n)) {
    const std::error_code error = failed("write");
    ::unlink(path_.c_str());  // locked, so ours: no marker that names nothing
    return error;
  }
  fd_ = std::move(marker);
  return {};
}

void RecordingMarker::Remove() {
  if (!fd_) return;
  struct stat mine {
  }, named{};
  // Only the marker this object made.
  if (::fstat(fd_.get(), &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
      mine.st_dev == named.st_dev && mine.st_ino == named.st_ino && ::unlink(path_.c_str()) != 0) {
    qCWarning(lcMedia) << "file" << path_.c_str() << ": unlink failed:" << std::strerror(errno);
  }
  fd_.Reset();
}

RepairResult RepairRecording(const fs::path& marker, std::stop_token stop) {
  const std::string name = marker.filename().string();
  if (name.size() <= 1 + kMarkerSuffix.size() || name.front() != '.' ||
      !name.ends_with(kMarkerSuffix)) {
    return RepairResult::kLeftAlone;
  }
  const fs::path file =
      marker.parent_path() / name.substr(1, name.size() - 1 - kMarkerSuffix.size());

  UniqueFd lock(::open(marker.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!lock) {
    qCWarning(lcMedia) << "file" << marker.c_str() << ": open failed:" << std::strerror(errno);
    return RepairResult::kLeftAlone;
  }
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    qCDebug(lcMedia) << "file" << file.c_str() << ": still being recorded";
    return RepairResult::kLeftAlone;
  }
  const std::optional<MarkerIdentity> identity = ReadMarker(lock.get());
  if (!identity) {
    qCDebug(lcMedia) << "file" << marker.c_str() << ": not a marker of ours";
    return RepairResult::kLeftAlone;
  }
  UniqueFd in(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!in || ::fstat(in.get(), &st) != 0) {
    qCDebug(lcMedia) << "file" << file.c_str() << ": not there to repair:" << std::strerror(errno);
    return RepairResult::kLeftAlone;
  }
  if (!S_ISREG(st.st_mode) || st.st_dev != identity->device || st.st_ino != identity->inode) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": left alone: it is not the recording its marker names";
    return RepairResult::kLeftAlone;
  }
  std::array<unsigned char, 28> head{};  // "RIFF" size "AVI " "LIST" size "hdrl" "avih"
  if (!ReadAt(in.get(), head.data(), head.size(), 0) || !Is(&head[0], "RIFF") ||
      !Is(&head[8], "AVI ") || !Is(&head[12], "LIST") || !Is(&head[20], "hdrl") ||
      !Is(&head[24], "avih")) {
    qCWarning(lcMedia) << "file" << file.c_str() << ": left alone: it is not an AVI file";
    return RepairResult::kLeftAlone;
  }
  if (Finished(in.get(), st.st_size)) {
    qCDebug(lcMedia) << "file" << file.c_str() << ": was finished; its marker goes";
    if (::unlink(marker.c_str()) != 0) {
      qCWarning(lcMedia) << "file" << marker.c_str() << ": unlink failed:" << std::strerror(errno);
    }
    return RepairResult::kNotNeeded;
  }
  if (Cancelled(stop, file)) return RepairResult::kFailed;

  const std::int64_t end = WholeChunksEnd(in.get(), st.st_size);
  TempFile temp;
  temp.path = (file.parent_path() / ("." + file.filename().string() + ".repair-XXXXXX")).string();
  temp.fd = UniqueFd(::mkostemp(temp.path.data(), O_CLOEXEC));
  if (!temp.fd) {
    qCWarning(lcMedia) << "file" << temp.path.c_str()
                       << ": mkostemp failed:" << std::strerror(errno);
    return RepairResult::kFailed;
  }
  if (::fchmod(temp.fd.get(), st.st_mode & 07777) != 0) {
    qCWarning(lcMedia) << "file" << temp.path.c_str() << ": fchmod failed:" << std::strerror(errno);
  }
  if (!Remux(file, in.get(), end, temp.fd.get(), stop)) return RepairResult::kFailed;
  if (::fsync(temp.fd.get()) != 0) {
    qCWarning(lcMedia) << "file" << temp.path.c_str() << ": fsync failed:" << std::strerror(errno);
    return RepairResult::kFailed;
  }
  struct stat now {};
  if (::lstat(file.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": left alone: it was replaced during the repair";
    return RepairResult::kFailed;
  }
  if (::rename(temp.path.c_str(), file.c_str()) != 0) {
    qCWarning(lcMedia) << "file" << file.c_str()
                       << ": rename of the repaired copy failed:" << std::strerror(errno);
    return RepairResult::kFailed;
  }
  temp.keep = true;
  SyncFolder(file.parent_path());
  if (::unlink(marker.c_str()) != 0) {
    qCWarning(lcMedia) << "file" << marker.c_str() << ": unlink failed:" << std::strerror(errno);
  }
  qCWarning(lcMedia) << "file" << file.c_str()
                     << ": the recording was interrupted and has been repaired";
  return RepairResult::kRepaired;
}

std::vector<fs::path> RepairInterruptedRecordings(const fs::path& folder, std::stop_token stop) {
  std::vector<fs::path> markers;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), last; !error && it != last; it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (name.starts_with('.') && name.ends_with(kMarkerSuffix) && it->is_regular_file(ignored)) {
      markers.push_back(it->path());
    }
  }
  if (error && error != std::errc::no_such_file_or_directory) {
    qCWarning(lcMedia) << "folder" << folder.c_str()
                       << ": reading it failed:" << error.message().c_str();
  }
  std::vector<fs::path> repaired;
  for (const fs::path& marker : markers) {
    if (stop.stop_requested()) break;
    const std::string name = marker.filename().string();
    if (RepairRecording(marker, stop) == RepairResult::kRepaired) {
      repaired.push_back(folder / name.substr(1, name.size() - 1 - kMarkerSuffix.size()));
    }
  }
  return repaired;
}

}  // namespace kinovo::media::stream
