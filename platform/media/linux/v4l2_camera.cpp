#include "platform/media/linux/v4l2_camera.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <optional>
#include <system_error>

#include "platform/media/linux/unique_fd.h"
#include "platform/media/linux/v4l2_formats.h"

namespace kinovo::media::linux_backend {

static_assert(pixfmt::kYUYV == V4L2_PIX_FMT_YUYV && pixfmt::kUYVY == V4L2_PIX_FMT_UYVY &&
              pixfmt::kYVU420 == V4L2_PIX_FMT_YVU420 && pixfmt::kYUV420 == V4L2_PIX_FMT_YUV420 &&
              pixfmt::kBGR24 == V4L2_PIX_FMT_BGR24 && pixfmt::kBGR32 == V4L2_PIX_FMT_BGR32 &&
              pixfmt::kXBGR32 == V4L2_PIX_FMT_XBGR32 && pixfmt::kXRGB32 == V4L2_PIX_FMT_XRGB32 &&
              pixfmt::kABGR32 == V4L2_PIX_FMT_ABGR32 && pixfmt::kARGB32 == V4L2_PIX_FMT_ARGB32 &&
              pixfmt::kMJPEG == V4L2_PIX_FMT_MJPEG && pixfmt::kJPEG == V4L2_PIX_FMT_JPEG &&
              pixfmt::kMPEG == V4L2_PIX_FMT_MPEG && pixfmt::kNV12 == V4L2_PIX_FMT_NV12 &&
              pixfmt::kGREY == V4L2_PIX_FMT_GREY && pixfmt::kY16 == V4L2_PIX_FMT_Y16 &&
              pixfmt::kRGB565 == V4L2_PIX_FMT_RGB565 && pixfmt::kH264 == V4L2_PIX_FMT_H264);

namespace {

constexpr int kMaxVideoNodes = 256;

// The frame interval assumed for a size whose driver names none.
constexpr v4l2_fract kNominalInterval{1, 30};

// ioctl that retries on EINTR; 0 or the errno.
int Xioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ::ioctl(fd, request, arg);
  } while (result < 0 && errno == EINTR);
  return result < 0 ? errno : 0;
}

std::uint32_t DeviceCaps(const v4l2_capability& cap) {
  return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
}

bool IsCaptureNode(const v4l2_capability& cap) {
  const std::uint32_t caps = DeviceCaps(cap);
  return (caps & V4L2_CAP_VIDEO_CAPTURE) && !(caps & (V4L2_CAP_VIDEO_M2M | V4L2_CAP_VIDEO_OUTPUT));
}

std::string CardName(const v4l2_capability& cap) {
  const auto* card = reinterpret_cast<const char*>(cap.card);
  return std::string(card, ::strnlen(card, sizeof cap.card));
}

UniqueFd OpenNode(const std::string& node) {
  return UniqueFd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
}

// One opened node, shared by the filter and everything it hands out.
class V4l2Device {
 public:
  V4l2Device(UniqueFd fd, std::string node) : fd_(std::move(fd)), node_(std::move(node)) {}
  int Ioctl(unsigned long request, void* arg) const { return Xioctl(fd_.get(), request, arg); }
  const std::string& node() const { return node_; }

 private:
  UniqueFd fd_;
  std::string node_;
};

struct Capability {
  std::uint32_t pixelFormat = 0;
  MediaType mediaType;
  VideoStreamConfigCaps caps;
};

bool IsCompressed(std::uint32_t pixelFormat) {
  return !FrameBytesByArithmetic(pixelFormat, 1, 1).has_value();
}

// The media type of a picture as the pin offers or holds it.
MediaType MakeVideoMediaType(std::uint32_t pixelFormat, std::int32_t width, std::int32_t height,
                             std::int64_t frameBytes, std::int64_t interval) {
  MediaType mt;
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = SubtypeForPixelFormat(pixelFormat);
  mt.bFixedSizeSamples = !IsCompressed(pixelFormat);
  mt.bTemporalCompression = false;
  mt.lSampleSize = static_cast<std::uint32_t>(frameBytes);
  mt.formattype = FORMAT_VideoInfo;
  VideoInfoHeader vih;
  const std::int64_t fps = FpsOfInterval(interval);
  vih.dwBitRate = static_cast<std::uint64_t>(frameBytes * 8 * fps);
  vih.AvgTimePerFrame = interval;
  vih.bmiHeader.biWidth = width;
  vih.bmiHeader.biHeight = height;
  vih.bmiHeader.biPlanes = 1;
  const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
  vih.bmiHeader.biBitCount = static_cast<std::uint16_t>(pixels > 0 ? frameBytes * 8 / pixels : 0);
  const bool rgb = mt.subtype == MEDIASUBTYPE_RGB24 || mt.subtype == MEDIASUBTYPE_RGB32;
  vih.bmiHeader.biCompression = rgb ? 0 : FourccOfSubtype(mt.subtype).value_or(pixelFormat);
  vih.bmiHeader.biSizeImage = static_cast<std::uint32_t>(frameBytes);
  mt.videoInfo = vih;
  return mt;
}

class V4l2StreamConfig final : public StreamConfig {
 public:
  explicit V4l2StreamConfig(std::shared_ptr<V4l2Device> device) : device_(std::move(device)) {}

  Status GetNumberOfCapabilities(std::int32_t& count, std::int32_t& size) override {
    const Status status = Refresh();
    if (Failed(status)) return status;
    count = static_cast<std::int32_t>(caps_.size());
    size = kVideoStreamConfigCapsSize;
    return kOk;
  }

  Status GetStreamCaps(std::int32_t index, MediaType& mediaType,
                       VideoStreamConfigCaps& caps) override {
    if (!refreshed_) {
      const Status status = Refresh();
      if (Failed(status)) return status;
    }
    if (index < 0) return kInvalidArg;
    if (static_cast<std::size_t>(index) >= caps_.size()) return kFalse;
    mediaType = caps_[static_cast<std::size_t>(index)].mediaType;
    caps = caps_[static_cast<std::size_t>(index)].caps;
    return kOk;
  }

  Status GetFormat(MediaType& mediaType) override {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int err = device_->Ioctl(VIDIOC_G_FMT, &fmt)) return StatusFromErrno(err);
    const auto& pix = fmt.fmt.pix;
    const auto width = static_cast<std::int32_t>(pix.width);
    const auto height = static_cast<std::int32_t>(pix.height);
    std::int64_t frameBytes = pix.sizeimage;
    if (frameBytes == 0) {
      frameBytes = FrameBytesByArithmetic(pix.pixelformat, width, height)
                       .value_or(static_cast<std::int64_t>(width) * height * 2);
    }
    std::int64_t interval = 0;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (device_->Ioctl(VIDIOC_G_PARM, &parm) == 0) {
      const auto& tpf = parm.parm.capture.timeperframe;
      interval = IntervalToUnits(tpf.numerator, tpf.denominator);
    }
    mediaType = MakeVideoMediaType(pix.pixelformat, width, height, frameBytes, interval);
    return kOk;
  }

  Status SetFormat(const MediaType& mediaType) override {
    if (mediaType.majortype != MEDIATYPE_Video || mediaType.formattype != FORMAT_VideoInfo ||
        !mediaType.videoInfo) {
      return kInvalidMediaType;
    }
    const VideoInfoHeader& vih = *mediaType.videoInfo;
    const std::int32_t width = vih.bmiHeader.biWidth;
    const std::int32_t height = vih.bmiHeader.biHeight < 0 ? -vih.bmiHeader.biHeight
                                                            : vih.bmiHeader.biHeight;
    if (width <= 0 || height <= 0 || vih.AvgTimePerFrame < 0) return kInvalidMediaType;
    std::uint32_t pixelFormat = 0;
    if (const Status status = PixelFormatFor(mediaType.subtype, pixelFormat); status != kOk) {
      return status;
    }

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(width);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(height);
    fmt.fmt.pix.pixelformat = pixelFormat;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    auto matches = [&](const v4l2_format& f) {
      return f.fmt.pix.pixelformat == pixelFormat &&
             f.fmt.pix.width == static_cast<std::uint32_t>(width) &&
             f.fmt.pix.height == static_cast<std::uint32_t>(height);
    };
    // Refuse, without touching the camera, a picture the driver would adjust.
    v4l2_format trial = fmt;
    const int tryErr = device_->Ioctl(VIDIOC_TRY_FMT, &trial);
    if (tryErr == 0 && !matches(trial)) return kInvalidMediaType;
    if (tryErr != 0 && tryErr != ENOTTY && tryErr != EINVAL) return StatusFromErrno(tryErr);
    // Setting the format or rate makes this opening the owner of the stream
    // (the USB video class driver's rule) until it frees its buffers; it
    // never streams, so it hands that back for the opening that will.
    struct ReleaseStream {
      const V4l2Device& device;
      ~ReleaseStream() {
        v4l2_requestbuffers none{};
        none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        none.memory = V4L2_MEMORY_MMAP;
        device.Ioctl(VIDIOC_REQBUFS, &none);
      }
    } release{*device_};
    if (const int err = device_->Ioctl(VIDIOC_S_FMT, &fmt)) return StatusFromErrno(err);
    if (!matches(fmt)) return kInvalidMediaType;

    if (vih.AvgTimePerFrame == 0) return kOk;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int err = device_->Ioctl(VIDIOC_G_PARM, &parm)) {
      // A driver without frame-rate control keeps its own rate.
      return (err == ENOTTY || err == EINVAL) ? kOk : StatusFromErrno(err);
    }
    if (!(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) return kOk;
    std::int64_t num = vih.AvgTimePerFrame;
    std::int64_t den = kUnitsPerSecond;
    const std::int64_t divisor = std::gcd(num, den);
    num /= divisor;
    den /= divisor;
    while (num > UINT32_MAX) {  // intervals beyond 32 bits of units are coarsened
      num /= 10;
      den /= 10;
    }
    if (num == 0 || den == 0) return kInvalidMediaType;
    parm.parm.capture.timeperframe.numerator = static_cast<std::uint32_t>(num);
    parm.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(den);
    if (const int err = device_->Ioctl(VIDIOC_S_PARM, &parm)) return StatusFromErrno(err);
    return kOk;
  }

 private:
  // Pixel formats of the driver, in its order; an errno on failure.
  int PixelFormats(std::vector<v4l2_fmtdesc>& formats) const {
    formats.clear();
    for (std::uint32_t i = 0;; ++i) {
      v4l2_fmtdesc desc{};
      desc.index = i;
      desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      const int err = device_->Ioctl(VIDIOC_ENUM_FMT, &desc);
      if (err == EINVAL) return 0;  // end of the list
      if (err) return err;
      formats.push_back(desc);
    }
  }

  // The driver's pixel format for a subtype: the first of its formats that
  // maps to it (XBGR32 and BGR32 both map to RGB32, for instance).
  Status PixelFormatFor(const Guid& subtype, std::uint32_t& pixelFormat) const {
    std::vector<v4l2_fmtdesc> formats;
    if (const int err = PixelFormats(formats)) return StatusFromErrno(err);
    for (const auto& desc : formats) {
      if (SubtypeForPixelFormat(desc.pixelformat) == subtype) {
        pixelFormat = desc.pixelformat;
        return kOk;
      }
    }
    return kInvalidMediaType;
  }

  std::vector<Size> FrameSizes(std::uint32_t pixelFormat) const {
    std::vector<Size> sizes;
    for (std::uint32_t i = 0;; ++i) {
      v4l2_frmsizeenum fse{};
      fse.index = i;
      fse.pixel_format = pixelFormat;
      if (device_->Ioctl(VIDIOC_ENUM_FRAMESIZES, &fse) != 0) break;
      if (fse.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        sizes.push_back({static_cast<std::int32_t>(fse.discrete.width),
                         static_cast<std::int32_t>(fse.discrete.height)});
        continue;
      }
      const auto& sw = fse.stepwise;
      const bool continuous = fse.type == V4L2_FRMSIZE_TYPE_CONTINUOUS;
      return SizesInRange(
          {static_cast<std::int32_t>(sw.min_width), static_cast<std::int32_t>(sw.min_height)},
          {static_cast<std::int32_t>(sw.max_width), static_cast<std::int32_t>(sw.max_height)},
          {continuous ? 1 : static_cast<std::int32_t>(sw.step_width),
           continuous ? 1 : static_cast<std::int32_t>(sw.step_height)});
    }
    if (sizes.empty()) {
      // A driver that names no sizes: offer the size it is set to.
      v4l2_format fmt{};
      fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      if (device_->Ioctl(VIDIOC_G_FMT, &fmt) == 0 && fmt.fmt.pix.pixelformat == pixelFormat) {
        sizes.push_back({static_cast<std::int32_t>(fmt.fmt.pix.width),
                         static_cast<std::int32_t>(fmt.fmt.pix.height)});
      }
    }
    return sizes;
  }

  // Smallest and largest frame interval of one size, in 100 ns units.
  std::pair<std::int64_t, std::int64_t> FrameIntervals(std::uint32_t pixelFormat, Size size) const {
    std::int64_t smallest = 0;
    std::int64_t largest = 0;
    auto take = [&](const v4l2_fract& f) {
      const std::int64_t units = IntervalToUnits(f.numerator, f.denominator);
      if (units <= 0) return;
      smallest = smallest == 0 ? units : std::min(smallest, units);
      largest = std::max(largest, units);
    };
    for (std::uint32_t i = 0;; ++i) {
      v4l2_frmivalenum fie{};
      fie.index = i;
      fie.pixel_format = pixelFormat;
      fie.width = static_cast<std::uint32_t>(size.cx);
      fie.height = static_cast<std::uint32_t>(size.cy);
      if (device_->Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &fie) != 0) break;
      if (fie.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
        take(fie.discrete);
        continue;
      }
      take(fie.stepwise.min);
      take(fie.stepwise.max);
      break;
    }
    if (smallest == 0) {
      // No intervals named: the rate the driver is set to, else a nominal one.
      v4l2_streamparm parm{};
      parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      if (device_->Ioctl(VIDIOC_G_PARM, &parm) == 0) take(parm.parm.capture.timeperframe);
      if (smallest == 0) take(kNominalInterval);
    }
    return {smallest, largest};
  }

  std::int64_t FrameBytes(std::uint32_t pixelFormat, Size size) const {
    if (auto bytes = FrameBytesByArithmetic(pixelFormat, size.cx, size.cy)) return *bytes;
    // Compressed formats: the driver's buffer size for the picture.
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(size.cx);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(size.cy);
    fmt.fmt.pix.pixelformat = pixelFormat;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (device_->Ioctl(VIDIOC_TRY_FMT, &fmt) == 0 && fmt.fmt.pix.pixelformat == pixelFormat &&
        fmt.fmt.pix.width == static_cast<std::uint32_t>(size.cx) &&
        fmt.fmt.pix.height == static_cast<std::uint32_t>(size.cy) && fmt.fmt.pix.sizeimage > 0) {
      return fmt.fmt.pix.sizeimage;
    }
    return static_cast<std::int64_t>(size.cx) * size.cy * 2;
  }

  Status Refresh() {
    std::vector<v4l2_fmtdesc> formats;
    if (const int err = PixelFormats(formats)) return StatusFromErrno(err);
    std::vector<Capability> caps;
    for (const auto& desc : formats) {
      for (const Size& size : FrameSizes(desc.pixelformat)) {
        if (size.cx <= 0 || size.cy <= 0) continue;
        const auto [smallest, largest] = FrameIntervals(desc.pixelformat, size);
        const std::int64_t frameBytes = FrameBytes(desc.pixelformat, size);
        Capability cap;
        cap.pixelFormat = desc.pixelformat;
        cap.mediaType = MakeVideoMediaType(desc.pixelformat, size.cx, size.cy, frameBytes, smallest);
        VideoStreamConfigCaps& c = cap.caps;
        c.guid = FORMAT_VideoInfo;
        c.InputSize = c.MinCroppingSize = c.MaxCroppingSize = size;
        c.CropGranularityX = c.CropGranularityY = 1;
        c.CropAlignX = c.CropAlignY = 1;
        c.MinOutputSize = c.MaxOutputSize = size;
        c.MinFrameInterval = smallest;
        c.MaxFrameInterval = largest;
        // Bytes per frame times the engine's own rates, so that dividing the
        // largest rate by 8 and by the highest frame rate gives it back.
        c.MinBitsPerSecond = frameBytes * 8 * FpsOfInterval(largest);
        c.MaxBitsPerSecond = frameBytes * 8 * FpsOfInterval(smallest);
        caps.push_back(std::move(cap));
      }
    }
    caps_ = std::move(caps);
    refreshed_ = true;
    return kOk;
  }

  std::shared_ptr<V4l2Device> device_;
  std::vector<Capability> caps_;
  bool refreshed_ = false;
};

// How a property number of the amplifier maps onto V4L2 controls.
struct ControlMapping {
  std::int32_t property;
  std::uint32_t cid;
  std::uint32_t autoCid;  // 0: no automatic mode
};

constexpr ControlMapping kControls[] = {
    {procamp::kBrightness, V4L2_CID_BRIGHTNESS, 0},
    {procamp::kContrast, V4L2_CID_CONTRAST, 0},
    {procamp::kHue, V4L2_CID_HUE, V4L2_CID_HUE_AUTO},
    {procamp::kSaturation, V4L2_CID_SATURATION, 0},
    {procamp::kSharpness, V4L2_CID_SHARPNESS, 0},
    {procamp::kGamma, V4L2_CID_GAMMA, 0},
    {procamp::kColorEnable, V4L2_CID_COLORFX, 0},
    {procamp::kWhiteBalance, V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE},
    {procamp::kBacklightCompensation, V4L2_CID_BACKLIGHT_COMPENSATION, 0},
    {procamp::kGain, V4L2_CID_GAIN, V4L2_CID_AUTOGAIN},
};

const ControlMapping* MappingOf(std::int32_t property) {
  for (const auto& m : kControls) {
    if (m.property == property) return &m;
  }
  return nullptr;
}

class V4l2ProcAmp final : public VideoProcAmp {
 public:
  explicit V4l2ProcAmp(std::shared_ptr<V4l2Device> device) : device_(std::move(device)) {}

  Status GetRange(std::int32_t property, std::int32_t& min, std::int32_t& max, std::int32_t& step,
                  std::int32_t& defaultValue, std::int32_t& capsFlags) override {
    const ControlMapping* m = MappingOf(property);
    if (!m) return kPropertyUnsupported;
    v4l2_queryctrl qc{};
    if (const Status status = Query(m->cid, qc); status != kOk) return status;
    if (property == procamp::kColorEnable) {
      // Colour on is "no effect", colour off is "black and white".
      if (qc.minimum > V4L2_COLORFX_NONE || qc.maximum < V4L2_COLORFX_BW) {
        return kPropertyUnsupported;
      }
      min = 0;
      max = 1;
      step = 1;
      defaultValue = qc.default_value == V4L2_COLORFX_BW ? 0 : 1;
      capsFlags = procamp::kFlagsManual;
      return kOk;
    }
    min = qc.minimum;
    max = qc.maximum;
    step = qc.step;
    defaultValue = qc.default_value;
    capsFlags = procamp::kFlagsManual | (HasAuto(*m) ? procamp::kFlagsAuto : 0);
    return kOk;
  }

  Status Get(std::int32_t property, std::int32_t& value, std::int32_t& flags) override {
    const ControlMapping* m = MappingOf(property);
    if (!m) return kPropertyUnsupported;
    v4l2_queryctrl qc{};
    if (const Status status = Query(m->cid, qc); status != kOk) return status;
    std::int32_t current = 0;
    if (const int err = GetControl(m->cid, current)) return StatusFromErrno(err);
    value = property == procamp::kColorEnable ? (current == V4L2_COLORFX_BW ? 0 : 1) : current;
    std::int32_t automatic = 0;
    flags = (HasAuto(*m) && GetControl(m->autoCid, automatic) == 0 && automatic != 0)
                ? procamp::kFlagsAuto
                : procamp::kFlagsManual;
    return kOk;
  }

  Status Set(std::int32_t property, std::int32_t value, std::int32_t flags) override {
    const ControlMapping* m = MappingOf(property);
    if (!m) return kPropertyUnsupported;
    if (flags != procamp::kFlagsManual && flags != procamp::kFlagsAuto) return kInvalidArg;
    v4l2_queryctrl qc{};
    if (const Status status = Query(m->cid, qc); status != kOk) return status;
    if (property == procamp::kColorEnable) {
      value = value != 0 ? V4L2_COLORFX_NONE : V4L2_COLORFX_BW;
    }
    const bool hasAuto = HasAuto(*m);
    if (flags == procamp::kFlagsManual) {
      // The camera ignores or refuses the value while its automatic mode is
      // on, so that goes off first.
      std::int32_t automatic = 1;
      if (hasAuto && (GetControl(m->autoCid, automatic) != 0 || automatic != 0)) {
        if (const int err = SetControl(m->autoCid, 0)) return StatusFromErrno(err);
      }
      if (const int err = SetControl(m->cid, value)) return StatusFromErrno(err);
      return kOk;
    }
    if (!hasAuto) {
      if (const int err = SetControl(m->cid, value)) return StatusFromErrno(err);
      return kOk;
    }
    // Automatic: the value is kept as the one the control returns to in
    // manual mode; a camera already in automatic mode would refuse it.
    std::int32_t automatic = 0;
    if (GetControl(m->autoCid, automatic) == 0 && automatic == 0) SetControl(m->cid, value);
    if (const int err = SetControl(m->autoCid, 1)) return StatusFromErrno(err);
    return kOk;
  }

 private:
  // kOk with the control's description, or the reason it cannot be used.
  Status Query(std::uint32_t cid, v4l2_queryctrl& qc) const {
    qc = {};
    qc.id = cid;
    const int err = device_->Ioctl(VIDIOC_QUERYCTRL, &qc);
    if (err == EINVAL || err == ENOTTY) return kPropertyUnsupported;
    if (err) return StatusFromErrno(err);
    if (qc.flags & V4L2_CTRL_FLAG_DISABLED) return kPropertyUnsupported;
    switch (qc.type) {
      case V4L2_CTRL_TYPE_INTEGER:
      case V4L2_CTRL_TYPE_BOOLEAN:
      case V4L2_CTRL_TYPE_MENU:
      case V4L2_CTRL_TYPE_INTEGER_MENU:
        return kOk;
      default:
        return kPropertyUnsupported;
    }
  }

  bool HasAuto(const ControlMapping& m) const {
    if (m.autoCid == 0) return false;
    v4l2_queryctrl qc{};
    return Query(m.autoCid, qc) == kOk && !(qc.flags & V4L2_CTRL_FLAG_READ_ONLY);
  }

  int GetControl(std::uint32_t cid, std::int32_t& value) const {
    v4l2_control ctrl{};
    ctrl.id = cid;
    const int err = device_->Ioctl(VIDIOC_G_CTRL, &ctrl);
    if (err == 0) value = ctrl.value;
    return err;
  }

  int SetControl(std::uint32_t cid, std::int32_t value) const {
    v4l2_control ctrl{};
    ctrl.id = cid;
    ctrl.value = value;
    return device_->Ioctl(VIDIOC_S_CTRL, &ctrl);
  }

  std::shared_ptr<V4l2Device> device_;
};

class V4l2CapturePin final : public Pin {
 public:
  explicit V4l2CapturePin(std::shared_ptr<V4l2Device> device)
      : config_(std::make_shared<V4l2StreamConfig>(std::move(device))) {}

  Status QueryDirection(PinDirection& direction) override {
    direction = PinDirection::Output;
    return kOk;
  }
  Status QueryCategory(Guid& category) override {
    category = PIN_CATEGORY_CAPTURE;
    return kOk;
  }
  Status QueryStreamConfig(std::shared_ptr<StreamConfig>& config) override {
    config = config_;
    return kOk;
  }

 private:
  std::shared_ptr<V4l2StreamConfig> config_;
};

class SinglePinEnumerator final : public PinEnumerator {
 public:
  explicit SinglePinEnumerator(std::shared_ptr<Pin> pin) : pin_(std::move(pin)) {}
  Status Next(std::shared_ptr<Pin>& pin) override {
    if (!pin_) return kFalse;
    pin = std::move(pin_);
    pin_.reset();
    return kOk;
  }

 private:
  std::shared_ptr<Pin> pin_;
};

class V4l2SourceFilter final : public Filter {
 public:
  explicit V4l2SourceFilter(std::shared_ptr<V4l2Device> device)
      : pin_(std::make_shared<V4l2CapturePin>(device)),
        procAmp_(std::make_shared<V4l2ProcAmp>(device)) {}

  Status EnumPins(std::unique_ptr<PinEnumerator>& pins) override {
    pins = std::make_unique<SinglePinEnumerator>(pin_);
    return kOk;
  }
  Status QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& procAmp) override {
    procAmp = procAmp_;
    return kOk;
  }

 private:
  std::shared_ptr<Pin> pin_;
  std::shared_ptr<VideoProcAmp> procAmp_;
};

}  // namespace

std::vector<VideoNodeInfo> ListCaptureNodes() {
  std::vector<VideoNodeInfo> nodes;
  // Node numbers can have gaps (a metadata node, an unplugged camera), so
  // every number is tried.
  for (int n = 0; n < kMaxVideoNodes; ++n) {
    std::string node = "/dev/video" + std::to_string(n);
    UniqueFd fd = OpenNode(node);
    if (!fd) continue;
    v4l2_capability cap{};
    if (Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) != 0 || !IsCaptureNode(cap)) continue;
    fd.Reset();
    VideoNodeInfo info;
    info.card = CardName(cap);
    info.devicePath = StableDevicePath(node);
    info.node = std::move(node);
    nodes.push_back(std::move(info));
  }
  return nodes;
}

std::string StableDevicePath(const std::string& node) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target = fs::canonical(node, ec);
  if (ec) return node;
  for (const char* dir : {"/dev/v4l/by-id", "/dev/v4l/by-path"}) {
    std::vector<fs::path> links;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      links.push_back(it->path());
    }
    ec.clear();
    std::sort(links.begin(), links.end());
    for (const auto& link : links) {
      std::error_code linkEc;
      if (fs::canonical(link, linkEc) == target && !linkEc) return link.string();
    }
  }
  return node;
}

Status OpenV4l2SourceFilter(const std::string& node, std::shared_ptr<Filter>& filter) {
  UniqueFd fd = OpenNode(node);
  if (!fd) return StatusFromErrno(errno);
  v4l2_capability cap{};
  if (const int err = Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap)) return StatusFromErrno(err);
  if (!IsCaptureNode(cap)) return StatusFromErrno(ENODEV);
  filter = std::make_shared<V4l2SourceFilter>(std::make_shared<V4l2Device>(std::move(fd), node));
  return kOk;
}

}  // namespace kinovo::media::linux_backend
