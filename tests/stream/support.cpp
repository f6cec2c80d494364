#include "support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace kinovo::streamtest {

std::pair<int, std::string> RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, "popen failed"};
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

TempDir::TempDir() {
  char pattern[] = "/tmp/kinovo-stream-test.XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  QCoreApplication::processEvents();
  return true;
}

SmallDisk::SmallDisk(std::size_t bytes) {
  static const int shared = [] {
    // A namespace of our own, once, so that the mount is private and goes
    // with the process.
    if (::unshare(CLONE_NEWNS) != 0) return errno;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
    return 0;
  }();
  if (shared != 0) {
    why_ = std::string("no mount namespace of our own (unshare: ") + std::strerror(shared) +
           "); a small file system needs CAP_SYS_ADMIN";
    return;
  }
  const std::string options = "size=" + std::to_string(bytes);
  if (::mount("kinovo-small-disk", dir_.path().c_str(), "tmpfs", 0, options.c_str()) != 0) {
    why_ = std::string("a tmpfs cannot be mounted here (mount: ") + std::strerror(errno) + ")";
    return;
  }
  mounted_ = true;
}

SmallDisk::~SmallDisk() {
  if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
}

bool SmallDisk::Fill(const std::string& name, std::size_t keep) const {
  struct statvfs fs {};
  if (::statvfs(dir_.path().c_str(), &fs) != 0) return false;
  const std::size_t free = fs.f_bavail * fs.f_frsize;
  if (free <= keep) return true;
  const int fd = ::open((dir_.path() / name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const int err = ::posix_fallocate(fd, 0, static_cast<off_t>(free - keep));
  ::close(fd);
  return err == 0;
}

QColor Quadrants::At(int x, int y, int width, int height) const {
  const bool right = x >= width / 2;
  const bool bottom = y >= height / 2;
  return bottom ? (right ? bottomRight : bottomLeft) : (right ? topRight : topLeft);
}

QImage QuadrantImage(int width, int height, const Quadrants& q) {
  QImage image(width, height, QImage::Format_RGB888);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) image.setPixelColor(x, y, q.At(x, y, width, height));
  }
  return image;
}

QImage AccurateJpeg(const std::uint8_t* jpeg, std::size_t size) {
  std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (!tj ||
      tjDecompressHeader3(tj.get(), jpeg, size, &width, &height, &subsampling, &colorspace) != 0) {
    return {};
  }
  QImage picture(width, height, QImage::Format_RGB32);
  if (tjDecompress2(tj.get(), jpeg, size, picture.bits(), width,
                    static_cast<int>(picture.bytesPerLine()), height, TJPF_BGRX,
                    TJFLAG_ACCURATEDCT) != 0) {
    return {};
  }
  return picture;
}

std::vector<std::uint8_t> EncodeJpeg(const QImage& source, int quality, int subsampling) {
  const QImage image = source.convertToFormat(QImage::Format_RGB888);
  std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitCompress(), tjDestroy);
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompress2(tj.get(), image.constBits(), image.width(), static_cast<int>(image.bytesPerLine()),
                  image.height(), TJPF_RGB, &jpeg, &size, subsampling < 0 ? TJSAMP_422 : subsampling,
                  quality, 0) != 0) {
    throw std::runtime_error(tjGetErrorStr2(tj.get()));
  }
  std::vector<std::uint8_t> bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  return bytes;
}

namespace {

struct Yuv {
  std::uint8_t y, u, v;
};

std::uint8_t Clamp(double value) {
  return static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, value))));
}

// BT.601, video range.
Yuv ToYuv(QColor c) {
  const double r = c.red(), g = c.green(), b = c.blue();
  return {Clamp(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
          Clamp(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255),
          Clamp(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)};
}

}  // namespace

ms::VideoFramePtr RawFrame(const QImage& image, std::uint32_t pixelFormat, int bytesPerLine,
                           std::int64_t timestampUs, ms::Fraction interval) {
  namespace fc = ms::fourcc;
  const int w = image.width();
  const int h = image.height();
  int bpp = 1;  // bytes per pixel of the first plane
  bool planar420 = false, semiPlanar = false;
  switch (pixelFormat) {
    case fc::kYUYV:
    case fc::kUYVY: bpp = 2; break;
    case fc::kBGR24:
    case fc::kRGB24: bpp = 3; break;
    case fc::kBGR32:
    case fc::kXBGR32: bpp = 4; break;
    case fc::kGREY: break;
    case fc::kYUV420:
    case fc::kYVU420: planar420 = true; break;
    case fc::kNV12:
    case fc::kNV21: semiPlanar = true; break;
    default: throw std::runtime_error("format not made by the tests");
  }
  const int stride = bytesPerLine > 0 ? bytesPerLine : w * bpp;
  std::size_t size = static_cast<std::size_t>(stride) * h;
  if (planar420) size += 2 * static_cast<std::size_t>(stride / 2) * ((h + 1) / 2);
  if (semiPlanar) size += static_cast<std::size_t>(stride) * ((h + 1) / 2);
  auto frame = ms::VideoFrame::Create(size);
  std::uint8_t* data = frame->bytes().data();
  std::memset(data, 0x5A, size);  // padding that must never show
  auto px = [&](int x, int y) { return image.pixelColor(std::min(x, w - 1), std::min(y, h - 1)); };
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = data + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < w; ++x) {
      const QColor c = px(x, y);
      const Yuv yuv = ToYuv(c);
      switch (pixelFormat) {
        case fc::kYUYV:
        case fc::kUYVY: {
          // One chroma pair per two pixels, taken from the left one.
          const Yuv left = ToYuv(px(x - x % 2, y));
          const bool yuyv = pixelFormat == fc::kYUYV;
          row[2 * x + (yuyv ? 0 : 1)] = yuv.y;
          row[2 * x + (yuyv ? 1 : 0)] = x % 2 == 0 ? left.u : left.v;
          break;
        }
        case fc::kBGR24:
          row[3 * x] = c.blue(), row[3 * x + 1] = c.green(), row[3 * x + 2] = c.red();
          break;
        case fc::kRGB24:
          row[3 * x] = c.red(), row[3 * x + 1] = c.green(), row[3 * x + 2] = c.blue();
          break;
        case fc::kBGR32:
        case fc::kXBGR32:
          row[4 * x] = c.blue(), row[4 * x + 1] = c.green(), row[4 * x + 2] = c.red(), row[4 * x + 3] = 255;
          break;
        case fc::kGREY:
          row[x] = Clamp(0.299 * c.red() + 0.587 * c.green() + 0.114 * c.blue());
          break;
        default:
          row[x] = yuv.y;
          break;
      }
    }
  }
  if (planar420 || semiPlanar) {
    std::uint8_t* chroma = data + static_cast<std::size_t>(stride) * h;
    const int cstride = planar420 ? stride / 2 : stride;
    const std::size_t planeBytes = static_cast<std::size_t>(cstride) * ((h + 1) / 2);
    for (int y = 0; y < (h + 1) / 2; ++y) {
      for (int x = 0; x < (w + 1) / 2; ++x) {
        const Yuv yuv = ToYuv(px(2 * x, 2 * y));
        if (planar420) {
          const bool yv12 = pixelFormat == fc::kYVU420;
          chroma[(yv12 ? planeBytes : 0) + y * cstride + x] = yuv.u;
          chroma[(yv12 ? 0 : planeBytes) + y * cstride + x] = yuv.v;
        } else {
          const bool nv21 = pixelFormat == fc::kNV21;
          chroma[y * cstride + 2 * x] = nv21 ? yuv.v : yuv.u;
          chroma[y * cstride + 2 * x + 1] = nv21 ? yuv.u : yuv.v;
        }
      }
    }
  }
  frame->format = {pixelFormat, w, h, stride, interval};
  frame->timestampUs = timestampUs;
  return frame;
}

ms::VideoFramePtr JpegFrame(const std::vector<std::uint8_t>& jpeg, int width, int height,
                            std::int64_t timestampUs, ms::Fraction interval) {
  auto frame = ms::VideoFrame::Create(jpeg.size());
  std::memcpy(frame->bytes().data(), jpeg.data(), jpeg.size());
  frame->format = {ms::fourcc::kMJPEG, width, height, 0, interval};
  frame->timestampUs = timestampUs;
  return frame;
}

ms::VideoFramePtr Retimed(const ms::VideoFramePtr& source, std::int64_t timestampUs,
                          std::uint32_t sequence) {
  auto frame = ms::VideoFrame::Create(source->size());
  std::memcpy(frame->bytes().data(), source->bytes().data(), source->size());
  frame->format = source->format;
  frame->timestampUs = timestampUs;
  frame->sequence = sequence;
  return frame;
}

ms::AudioChunkPtr ToneChunk(std::int64_t timestampUs, std::uint64_t firstFrame, std::size_t frames,
                            int rate, int channels) {
  auto chunk = std::make_shared<ms::AudioChunk>();
  chunk->timestampUs = timestampUs;
  chunk->firstFrame = firstFrame;
  chunk->rate = rate;
  chunk->channels = channels;
  chunk->samples.resize(frames * static_cast<std::size_t>(channels));
  for (std::size_t i = 0; i < frames; ++i) {
    const double phase = 2 * M_PI * 440.0 * static_cast<double>(firstFrame + i) / rate;
    const auto value = static_cast<std::int16_t>(std::lround(8000 * std::sin(phase)));
    for (int c = 0; c < channels; ++c) chunk->samples[i * channels + c] = value;
  }
  return chunk;
}

double Probe::Number(const QJsonObject& o, const char* key) const {
  const QJsonValue value = o.value(QLatin1String(key));
  if (value.isDouble()) return value.toDouble();
  bool ok = false;
  const double number = value.toString().toDouble(&ok);
  return ok ? number : std::nan("");
}

std::string Probe::Text(const QJsonObject& o, const char* key) const {
  return o.value(QLatin1String(key)).toString().toStdString();
}

std::optional<Probe> ProbeFile(const std::filesystem::path& file) {
  const auto [status, output] =
      RunCommand("ffprobe -v error -of json -show_streams -show_format " + Quote(file.string()));
  if (status != 0) return std::nullopt;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(output));
  if (!doc.isObject()) return std::nullopt;
  Probe probe;
  const QJsonArray streams = doc.object().value("streams").toArray();
  probe.streams = static_cast<int>(streams.size());
  for (const QJsonValue& s : streams) {
    const QJsonObject stream = s.toObject();
    const QString type = stream.value("codec_type").toString();
    if (type == "video" && probe.video.isEmpty()) probe.video = stream;
    if (type == "audio" && probe.audio.isEmpty()) probe.audio = stream;
  }
  probe.format = doc.object().value("format").toObject();
  return probe;
}

std::string DecodeErrors(const std::filesystem::path& file) {
  return RunCommand("ffmpeg -nostdin -v error -i " + Quote(file.string()) + " -f null -").second;
}

std::int64_t DecodedAudioFrames(const std::filesystem::path& file, int channels) {
  const auto [status, output] = RunCommand("ffmpeg -nostdin -v error -i " + Quote(file.string()) +
                                    " -map 0:a:0 -f s16le -acodec pcm_s16le - | wc -c");
  if (status != 0) return -1;
  return std::stoll(output) / 2 / channels;
}

std::int64_t VideoPacketsWithData(const std::filesystem::path& file) {
  const auto [status, output] =
      RunCommand("ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets "
          "-of csv=p=0 " + Quote(file.string()));
  if (status != 0) return -1;
  return std::stoll(output);
}

std::vector<std::uint32_t> IndexedChunkSizes(const std::filesystem::path& file, const char (&id)[5]) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
  };
  std::vector<std::uint32_t> sizes;
  const std::size_t index = bytes.rfind("idx1");
  if (index == std::string::npos || index + 8 > bytes.size()) return sizes;
  const std::size_t end = std::min<std::size_t>(bytes.size(), index + 8 + u32(index + 4));
  // Entries of 16 bytes: id, flags, offset, size.
  for (std::size_t at = index + 8; at + 16 <= end; at += 16) {
    if (bytes.compare(at, 4, id, 4) == 0) sizes.push_back(u32(at + 12));
  }
  return sizes;
}

std::vector<double> FlashTimes(const std::filesystem::path& file) {
  const auto [status, output] =
      RunCommand("ffmpeg -nostdin -hide_banner -v info -i " + Quote(file.string()) +
                 " -map 0:v:0 -fps_mode passthrough -vf scale=32:18,format=gray,showinfo -f null - 2>&1"
                 " | grep -o 'pts_time:[^ ]* .*mean:\\[[0-9]*'");
  std::vector<double> times;
  if (status != 0) return times;
  std::size_t at = 0;
  while ((at = output.find("pts_time:", at)) != std::string::npos) {
    const double time = std::strtod(output.c_str() + at + 9, nullptr);
    const std::size_t mean = output.find("mean:[", at);
    if (mean == std::string::npos) break;
    if (std::strtod(output.c_str() + mean + 6, nullptr) > 220) times.push_back(time);
    at = mean;
  }
  return times;
}

std::vector<double> ClickTimes(const std::filesystem::path& file) {
  const std::filesystem::path pcm = file.string() + ".pcm";
  const auto probe = ProbeFile(file);
  std::vector<double> times;
  if (!probe) return times;
  const double rate = probe->Number(probe->audio, "sample_rate");
  const auto [status, output] = RunCommand("ffmpeg -nostdin -v error -y -i " + Quote(file.string()) +
                                           " -map 0:a:0 -ac 1 -f s16le -acodec pcm_s16le " + Quote(pcm.string()));
  std::ifstream in(pcm, std::ios::binary);
  std::vector<std::int16_t> samples;
  std::int16_t sample;
  while (in.read(reinterpret_cast<char*>(&sample), sizeof sample)) samples.push_back(sample);
  std::filesystem::remove(pcm);
  if (status != 0 || rate <= 0) return times;
  const auto quiet = static_cast<std::size_t>(rate / 20);  // 50 ms
  std::size_t last = 0;
  bool any = false;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (samples[i] < kClickLevel) continue;
    if (!any || i - last > quiet) times.push_back(static_cast<double>(i) / rate);
    last = i;
    any = true;
  }
  return times;
}

std::vector<double> SyncErrors(const std::vector<double>& flashes, const std::vector<double>& clicks) {
  std::vector<double> errors;
  if (clicks.empty()) return errors;
  for (const double flash : flashes) {
    double best = clicks.front();
    for (const double click : clicks) {
      if (std::abs(click - flash) < std::abs(best - flash)) best = click;
    }
    errors.push_back(best - flash);
  }
  return errors;
}

QImage FirstPicture(const std::filesystem::path& file, int width, int height) {
  const std::filesystem::path out = file.string() + ".rgb";
  const auto [status, output] = RunCommand("ffmpeg -nostdin -v error -y -i " + Quote(file.string()) +
                                    " -frames:v 1 -f rawvideo -pix_fmt rgb24 " + Quote(out.string()));
  if (status != 0) return {};
  std::ifstream in(out, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(out);
  if (bytes.size() != static_cast<std::size_t>(width) * height * 3) return {};
  QImage image(width, height, QImage::Format_RGB888);
  for (int y = 0; y < height; ++y) {
    std::memcpy(image.scanLine(y), bytes.data() + static_cast<std::size_t>(y) * width * 3,
                static_cast<std::size_t>(width) * 3);
  }
  return image;
}

PulseModule::PulseModule(const std::string& arguments) {
  const auto [status, output] = RunCommand("pactl load-module " + arguments);
  if (status == 0) {
    index_ = output.substr(0, output.find_first_of("\r\n"));
  } else {
    error_ = output;
  }
}

PulseModule::~PulseModule() {
  if (loaded()) RunCommand("pactl unload-module " + index_);
}

bool Near(QColor a, QColor b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

}  // namespace kinovo::streamtest
