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

std::string BusInfo(const v4l2_capability& cap) {
  const auto* bus = reinterpret_cast<const char*>(cap.bus_info);
  return std::string(bus, ::strnlen(bus, sizeof cap.bus_info));
}

UniqueFd OpenNode(const std::string& node) {
  return UniqueFd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
}

std::error_code Errno(int err) { return {err, std::generic_category()}; }

const std::error_code kUnsupported = std::make_error_code(std::errc::not_supported);

// How the engine's controls map onto V4L2 controls.
struct ControlMapping {
  CameraControl control;
  std::uint32_t cid;
  std::uint32_t autoCid;  // 0: no automatic mode
};

constexpr ControlMapping kControls[] = {
    {CameraControl::Brightness, V4L2_CID_BRIGHTNESS, 0},
    {CameraControl::Contrast, V4L2_CID_CONTRAST, 0},
    {CameraControl::Hue, V4L2_CID_HUE, V4L2_CID_HUE_AUTO},
    {CameraControl::Saturation, V4L2_CID_SATURATION, 0},
    {CameraControl::Sharpness, V4L2_CID_SHARPNESS, 0},
    {CameraControl::Gamma, V4L2_CID_GAMMA, 0},
    {CameraControl::ColorEnable, V4L2_CID_COLORFX, 0},
    {CameraControl::WhiteBalance, V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_AUTO_WHITE_BALANCE},
    {CameraControl::BacklightCompensation, V4L2_CID_BACKLIGHT_COMPENSATION, 0},
    {CameraControl::Gain, V4L2_CID_GAIN, V4L2_CID_AUTOGAIN},
};

const ControlMapping& MappingOf(CameraControl control) {
  for (const auto& m : kControls) {
    if (m.control == control) return m;
  }
  return kControls[0];
}

class V4l2Camera final : public Camera {
 public:
  V4l2Camera(UniqueFd fd, CameraInfo info) : fd_(std::move(fd)), info_(std::move(info)) {}

  const CameraInfo& info() const override { return info_; }

  UniqueFd StreamHandle() const override {
    if (!Reopen()) return {};
    return UniqueFd(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
  }

  void Release() override { fd_.Reset(); }

  std::error_code ListModes(std::vector<CameraMode>& modes) override {
    modes.clear();
    std::vector<v4l2_fmtdesc> formats;
    if (const int err = PixelFormats(formats)) return Errno(err);
    for (const auto& desc : formats) {
      for (const Size& size : FrameSizes(desc.pixelformat)) {
        if (size.cx <= 0 || size.cy <= 0) continue;
        const auto [smallest, largest] = FrameIntervals(desc.pixelformat, size);
        modes.push_back({desc.pixelformat, size.cx, size.cy, smallest, largest,
                         FrameBytes(desc.pixelformat, size)});
      }
    }
    return {};
  }

  std::error_code SetMode(std::uint32_t pixelFormat, std::int32_t width, std::int32_t height,
                          std::int64_t interval) override {
    if (width <= 0 || height <= 0 || interval < 0) return Errno(EINVAL);
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
    const int tryErr = Ioctl(VIDIOC_TRY_FMT, &trial);
    if (tryErr == 0 && !matches(trial)) return Errno(EINVAL);
    if (tryErr != 0 && tryErr != ENOTTY && tryErr != EINVAL) return Errno(tryErr);
    // Setting the format or rate makes this opening the owner of the
    // stream (the USB video class driver's rule) until it frees its
    // buffers; freeing them at once keeps the camera held only while it
    // streams.
    struct ReleaseStream {
      const V4l2Camera& camera;
      ~ReleaseStream() {
        v4l2_requestbuffers none{};
        none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        none.memory = V4L2_MEMORY_MMAP;
        camera.Ioctl(VIDIOC_REQBUFS, &none);
      }
    } release{*this};
    if (const int err = Ioctl(VIDIOC_S_FMT, &fmt)) return Errno(err);
    if (!matches(fmt)) return Errno(EINVAL);

    if (interval == 0) return {};
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (const int err = Ioctl(VIDIOC_G_PARM, &parm)) {
      // A driver without frame-rate control keeps its own rate.
      return (err == ENOTTY || err == EINVAL) ? std::error_code() : Errno(err);
    }
    if (!(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) return {};
    std::int64_t num = interval;
    std::int64_t den = kUnitsPerSecond;
    const std::int64_t divisor = std::gcd(num, den);
    num /= divisor;
    den /= divisor;
    while (num > UINT32_MAX) {  // intervals beyond 32 bits of units are coarsened
      num /= 10;
      den /= 10;
    }
    if (num == 0 || den == 0) return Errno(EINVAL);
    parm.parm.capture.timeperframe.numerator = static_cast<std::uint32_t>(num);
    parm.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(den);
    if (const int err = Ioctl(VIDIOC_S_PARM, &parm)) return Errno(err);
    return {};
  }

  std::error_code QueryControl(CameraControl control, ControlRange& range) override {
    const ControlMapping& m = MappingOf(control);
    v4l2_queryctrl qc{};
    if (const std::error_code error = Query(m.cid, qc)) return error;
    if (control == CameraControl::ColorEnable) {
      // Colour on is "no effect", colour off is "black and white".
      if (qc.minimum > V4L2_COLORFX_NONE || qc.maximum < V4L2_COLORFX_BW) return kUnsupported;
      range = {0, 1, 1, qc.default_value == V4L2_COLORFX_BW ? 0 : 1};
      return {};
    }
    range = {qc.minimum, qc.maximum, qc.step, qc.default_value};
    return {};
  }

  std::error_code ReadControl(CameraControl control, std::int32_t& value) override {
    const ControlMapping& m = MappingOf(control);
    v4l2_queryctrl qc{};
    if (const std::error_code error = Query(m.cid, qc)) return error;
    std::int32_t current = 0;
    if (const int err = GetControl(m.cid, current)) return Errno(err);
    value = control == CameraControl::ColorEnable ? (current == V4L2_COLORFX_BW ? 0 : 1) : current;
    return {};
  }

  std::error_code WriteControl(CameraControl control, std::int32_t value,
                               ControlMode mode) override {
    const ControlMapping& m = MappingOf(control);
    v4l2_queryctrl qc{};
    if (const std::error_code error = Query(m.cid, qc)) return error;
    if (control == CameraControl::ColorEnable) {
      value = value != 0 ? V4L2_COLORFX_NONE : V4L2_COLORFX_BW;
    }
    const bool hasAuto = HasAuto(m);
    if (mode == ControlMode::Manual) {
      // The camera ignores or refuses the value while its automatic mode is
      // on, so that goes off first.
      std::int32_t automatic = 1;
      if (hasAuto && (GetControl(m.autoCid, automatic) != 0 || automatic != 0)) {
        if (const int err = SetControl(m.autoCid, 0)) return Errno(err);
      }
      if (const int err = SetControl(m.cid, value)) return Errno(err);
      return {};
    }
    if (!hasAuto) {
      if (const int err = SetControl(m.cid, value)) return Errno(err);
      return {};
    }
    // Automatic: the value is kept as the one the control returns to in
    // manual mode; a camera already in automatic mode would refuse it.
    std::int32_t automatic = 0;
    if (GetControl(m.autoCid, automatic) == 0 && automatic == 0) SetControl(m.cid, value);
    if (const int err = SetControl(m.autoCid, 1)) return Errno(err);
    return {};
  }

 private:
  int Ioctl(unsigned long request, void* arg) const {
    return Reopen() ? Xioctl(fd_.get(), request, arg) : ENODEV;
  }

  // After a release: opens the node again when the same camera (card and
  // bus) is there; errno says why not.
  bool Reopen() const {
    if (fd_) return true;
    UniqueFd fd = OpenNode(info_.node);
    if (!fd) return false;
    v4l2_capability cap{};
    if (Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) != 0 || !IsCaptureNode(cap) ||
        CardName(cap) != info_.card || BusInfo(cap) != info_.busInfo) {
      errno = ENODEV;
      return false;
    }
    fd_ = std::move(fd);
    return true;
  }

  // Pixel formats of the driver, in its order; an errno on failure.
  int PixelFormats(std::vector<v4l2_fmtdesc>& formats) const {
    formats.clear();
    for (std::uint32_t i = 0;; ++i) {
      v4l2_fmtdesc desc{};
      desc.index = i;
      desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      const int err = Ioctl(VIDIOC_ENUM_FMT, &desc);
      if (err == EINVAL) return 0;  // end of the list
      if (err) return err;
      formats.push_back(desc);
    }
  }

  std::vector<Size> FrameSizes(std::uint32_t pixelFormat) const {
    std::vector<Size> sizes;
    for (std::uint32_t i = 0;; ++i) {
      v4l2_frmsizeenum fse{};
      fse.index = i;
      fse.pixel_format = pixelFormat;
      if (Ioctl(VIDIOC_ENUM_FRAMESIZES, &fse) != 0) break;
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
      if (Ioctl(VIDIOC_G_FMT, &fmt) == 0 && fmt.fmt.pix.pixelformat == pixelFormat) {
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
      if (Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &fie) != 0) break;
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
      if (Ioctl(VIDIOC_G_PARM, &parm) == 0) take(parm.parm.capture.timeperframe);
      if (smallest == 0) take(kNominalInterval);
    }
    return {smallest, largest};
  }

  std::int64_t FrameBytes(std::uint32_t pixelFormat, Size size) const {
    if (auto bytes = stream::FrameBytesByArithmetic(pixelFormat, size.cx, size.cy)) return *bytes;
    // Compressed formats: the driver's buffer size for the picture.
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(size.cx);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(size.cy);
    fmt.fmt.pix.pixelformat = pixelFormat;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (Ioctl(VIDIOC_TRY_FMT, &fmt) == 0 && fmt.fmt.pix.pixelformat == pixelFormat &&
        fmt.fmt.pix.width == static_cast<std::uint32_t>(size.cx) &&
        fmt.fmt.pix.height == static_cast<std::uint32_t>(size.cy) && fmt.fmt.pix.sizeimage > 0) {
      return fmt.fmt.pix.sizeimage;
    }
    return static_cast<std::int64_t>(size.cx) * size.cy * 2;
  }

  // The control's description, or why it cannot be used.
  std::error_code Query(std::uint32_t cid, v4l2_queryctrl& qc) const {
    qc = {};
    qc.id = cid;
    const int err = Ioctl(VIDIOC_QUERYCTRL, &qc);
    if (err == EINVAL || err == ENOTTY) return kUnsupported;
    if (err) return Errno(err);
    if (qc.flags & V4L2_CTRL_FLAG_DISABLED) return kUnsupported;
    switch (qc.type) {
      case V4L2_CTRL_TYPE_INTEGER:
      case V4L2_CTRL_TYPE_BOOLEAN:
      case V4L2_CTRL_TYPE_MENU:
      case V4L2_CTRL_TYPE_INTEGER_MENU: return {};
      default: return kUnsupported;
    }
  }

  bool HasAuto(const ControlMapping& m) const {
    if (m.autoCid == 0) return false;
    v4l2_queryctrl qc{};
    return !Query(m.autoCid, qc) && !(qc.flags & V4L2_CTRL_FLAG_READ_ONLY);
  }

  int GetControl(std::uint32_t cid, std::int32_t& value) const {
    v4l2_control ctrl{};
    ctrl.id = cid;
    const int err = Ioctl(VIDIOC_G_CTRL, &ctrl);
    if (err == 0) value = ctrl.value;
    return err;
  }

  int SetControl(std::uint32_t cid, std::int32_t value) const {
    v4l2_control ctrl{};
    ctrl.id = cid;
    ctrl.value = value;
    return Ioctl(VIDIOC_S_CTRL, &ctrl);
  }

  mutable UniqueFd fd_;
  CameraInfo info_;
};

}  // namespace

std::vector<CameraInfo> ListCaptureNodes() {
  std::vector<CameraInfo> nodes;
  // Node numbers can have gaps (a metadata node, an unplugged camera), so
  // every number is tried.
  for (int n = 0; n < kMaxVideoNodes; ++n) {
    std::string node = "/dev/video" + std::to_string(n);
    UniqueFd fd = OpenNode(node);
    if (!fd) continue;
    v4l2_capability cap{};
    if (Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) != 0 || !IsCaptureNode(cap)) continue;
    fd.Reset();
    CameraInfo info;
    info.card = CardName(cap);
    info.busInfo = BusInfo(cap);
    info.stablePath = StableDevicePath(node);
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

std::error_code OpenV4l2Camera(const CameraInfo& camera, std::shared_ptr<Camera>& opened) {
  UniqueFd fd = OpenNode(camera.node);
  if (!fd) return Errno(errno);
  v4l2_capability cap{};
  if (const int err = Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap)) return Errno(err);
  if (!IsCaptureNode(cap)) return Errno(ENODEV);
  opened = std::make_shared<V4l2Camera>(std::move(fd), camera);
  return {};
}

}  // namespace kinovo::media::linux_backend
