// A plain V4L2 client, written against the kernel interface, run against the
// virtual camera (loaded with LD_PRELOAD): it must see a UVC driver.
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <tuple>

using namespace vcamtest;

namespace {

Fd openNode(int n, int flags = O_RDWR) { return Fd(::open(("/dev/video" + std::to_string(n)).c_str(), flags)); }

v4l2_format setFormat(int fd, std::uint32_t fourcc, std::uint32_t w, std::uint32_t h, int* err = nullptr) {
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.pixelformat = fourcc;
    f.fmt.pix.width = w;
    f.fmt.pix.height = h;
    const int e = xioctl(fd, VIDIOC_S_FMT, &f);
    if (err) *err = e;
    else EXPECT_EQ(e, 0) << std::strerror(e);
    return f;
}

std::int64_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

std::int64_t usOf(const v4l2_buffer& b) { return b.timestamp.tv_sec * 1000000LL + b.timestamp.tv_usec; }

// Memory-mapped buffers of one open file; unmaps them and frees them on the way out.
class Buffers {
public:
    Buffers(int fd, std::uint32_t count) : fd_(fd) {
        v4l2_requestbuffers rb{};
        rb.count = count;
        rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        rb.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(xioctl(fd, VIDIOC_REQBUFS, &rb), 0);
        for (std::uint32_t i = 0; i < rb.count; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            EXPECT_EQ(xioctl(fd, VIDIOC_QUERYBUF, &b), 0);
            void* p = ::mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            EXPECT_NE(p, MAP_FAILED);
            maps_.emplace_back(static_cast<std::uint8_t*>(p), b.length);
        }
    }
    ~Buffers() {
        for (auto& [p, len] : maps_)
            if (p != MAP_FAILED) ::munmap(p, len);
        v4l2_requestbuffers rb{};
        rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        rb.memory = V4L2_MEMORY_MMAP;
        xioctl(fd_, VIDIOC_REQBUFS, &rb);  // may fail after an unplug; nothing to do then
    }
    std::size_t size() const { return maps_.size(); }
    const std::uint8_t* data(std::uint32_t i) const { return maps_[i].first; }
    int queue(std::uint32_t i) const {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        return xioctl(fd_, VIDIOC_QBUF, &b);
    }
    void queueAll() const {
        for (std::uint32_t i = 0; i < size(); ++i) EXPECT_EQ(queue(i), 0);
    }

private:
    int fd_;
    std::vector<std::pair<std::uint8_t*, std::size_t>> maps_;
};

int streamOn(int fd) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return xioctl(fd, VIDIOC_STREAMON, &type);
}
int streamOff(int fd) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return xioctl(fd, VIDIOC_STREAMOFF, &type);
}
int dequeue(int fd, v4l2_buffer& b) {
    b = {};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    return xioctl(fd, VIDIOC_DQBUF, &b);
}

int setCtrl(int fd, std::uint32_t id, std::int32_t value, std::int32_t* applied = nullptr) {
    v4l2_control c{id, value};
    const int e = xioctl(fd, VIDIOC_S_CTRL, &c);
    if (applied) *applied = c.value;
    return e;
}
std::int32_t getCtrl(int fd, std::uint32_t id) {
    v4l2_control c{id, 0};
    EXPECT_EQ(xioctl(fd, VIDIOC_G_CTRL, &c), 0);
    return c.value;
}

// The first frame after STREAMON with the current controls, as bytes.
std::vector<std::uint8_t> firstFrame(int fd) {
    Buffers bufs(fd, 2);
    bufs.queueAll();
    EXPECT_EQ(streamOn(fd), 0);
    v4l2_buffer b{};
    EXPECT_EQ(dequeue(fd, b), 0);
    std::vector<std::uint8_t> out(bufs.data(b.index), bufs.data(b.index) + b.bytesused);
    EXPECT_EQ(streamOff(fd), 0);
    return out;
}

struct YuyvStats {
    double meanY = 0;
    int maxChromaOffset = 0;  // largest |U-128| or |V-128|
};
YuyvStats yuyvStats(const std::vector<std::uint8_t>& f) {
    YuyvStats s;
    double sum = 0;
    for (std::size_t i = 0; i + 3 < f.size(); i += 4) {
        sum += f[i] + f[i + 2];
        s.maxChromaOffset = std::max({s.maxChromaOffset, std::abs(f[i + 1] - 128), std::abs(f[i + 3] - 128)});
    }
    s.meanY = sum / (f.size() / 2.0);
    return s;
}

v4l2_queryctrl queryCtrl(int fd, std::uint32_t id) {
    v4l2_queryctrl q{};
    q.id = id;
    EXPECT_EQ(xioctl(fd, VIDIOC_QUERYCTRL, &q), 0);
    return q;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

// --- what each node is --------------------------------------------------------

struct CapsCase {
    int node;
    std::uint32_t deviceCaps;
    bool metaInCapabilities;
    const char* card;
    const char* bus;
};

class NodeCaps : public ::testing::TestWithParam<CapsCase> {};

TEST_P(NodeCaps, QuerycapReportsTheNodesKind) {
    const CapsCase& c = GetParam();
    Fd fd = openNode(c.node);
    ASSERT_TRUE(fd) << std::strerror(errno);
    v4l2_capability cap{};
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cap.device_caps, c.deviceCaps);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
    EXPECT_EQ((cap.capabilities & cap.device_caps), cap.device_caps);
    EXPECT_EQ((cap.capabilities & V4L2_CAP_META_CAPTURE) != 0, c.metaInCapabilities);
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.card), c.card);
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.bus_info), c.bus);
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, NodeCaps,
    ::testing::Values(
        CapsCase{0, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, true, "Test Camera A", "usb-0000:00:14.0-1"},
        CapsCase{1, V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING, true, "Test Camera A", "usb-0000:00:14.0-1"},
        CapsCase{2, V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, false, "Test Output", "platform:vout-1"},
        CapsCase{3, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, false, "Stepwise Camera", "usb-0000:00:14.0-2"}));

TEST(NodeKinds, MetadataNodeOffersOnlyUvcMetadata) {
    Fd fd = openNode(1);
    ASSERT_TRUE(fd);
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_ENUM_FMT, &d), EINVAL);
    d.type = V4L2_BUF_TYPE_META_CAPTURE;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_ENUM_FMT, &d), 0);
    EXPECT_EQ(d.pixelformat, V4L2_META_FMT_UVC);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_META_CAPTURE;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_G_FMT, &f), 0);
    EXPECT_EQ(f.fmt.meta.dataformat, V4L2_META_FMT_UVC);
    v4l2_queryctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_QUERYCTRL, &q), ENOTTY);
}

TEST(NodeKinds, OutputNodeIsNoCaptureDevice) {
    Fd fd = openNode(2);
    ASSERT_TRUE(fd);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_G_FMT, &f), EINVAL);
    f.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_G_FMT, &f), 0);
}

TEST(NodeKinds, NodesAreCharacterDevicesInDevListing) {
    struct stat st {};
    ASSERT_EQ(::stat("/dev/video3", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 81u);
    EXPECT_EQ(minor(st.st_rdev), 3u);
    EXPECT_EQ(::access("/dev/video0", R_OK | W_OK), 0);
    EXPECT_NE(::stat("/dev/video9", &st), 0);  // not in the profile

    std::set<std::string> listed;
    for (const auto& e : std::filesystem::directory_iterator("/dev"))
        if (e.path().filename().string().rfind("video", 0) == 0) listed.insert(e.path().filename().string());
    EXPECT_EQ(listed, (std::set<std::string>{"video0", "video1", "video2", "video3", "video4"}));

    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    ASSERT_EQ(::fstat(fd.get(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(readText("/sys/class/video4linux/video0/name"), "Test Camera A\n");
}

// A shell that holds /dev/video3 open as its descriptor 3 until the object
// goes; it runs with the library preloaded, as this process does.
class OtherHolder {
  public:
    OtherHolder() : pipe_(::popen("exec 3<>/dev/video3 && echo $$ && exec sleep 60", "r")) {
        char line[32] = {};
        if (pipe_ && std::fgets(line, sizeof line, pipe_)) pid_ = std::atoi(line);
    }
    ~OtherHolder() {
        if (pid_ > 0) ::kill(pid_, SIGKILL);
        if (pipe_) ::pclose(pipe_);
    }
    OtherHolder(const OtherHolder&) = delete;
    OtherHolder& operator=(const OtherHolder&) = delete;
    int pid() const { return pid_; }

  private:
    FILE* pipe_;
    int pid_ = 0;
};

// The link of a node's descriptor under /proc names the node, as the
// kernel's does, however it is read and in whichever process the node was
// opened: that is how one finds which program holds a camera.
TEST(NodeKinds, DescriptorLinksNameTheNodeInEveryProcess) {
    const OtherHolder other;
    ASSERT_GT(other.pid(), 0);
    Fd video0 = openNode(0), video3 = openNode(3);
    ASSERT_TRUE(video0 && video3);
    const Fd copy(::dup(video0.get()));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const Fd plain(pair[0]), plainPeer(pair[1]);
    struct stat st {};
    ASSERT_EQ(::fstat(plain.get(), &st), 0);
    const Fd fdDir(::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fdDir);

    auto n = [](const Fd& fd) { return std::to_string(fd.get()); };
    const std::string self = "/proc/self/fd/", mine = "/proc/" + std::to_string(::getpid()) + "/fd/";
    const struct {
        const char* label;
        int dirfd;
        std::string path;
        std::size_t size;
        std::string link;
    } cases[] = {
        {"own, through /proc/self", AT_FDCWD, self + n(video0), 64, "/dev/video0"},
        {"own, through the pid", AT_FDCWD, mine + n(video3), 64, "/dev/video3"},
        {"a duplicate", AT_FDCWD, self + n(copy), 64, "/dev/video0"},
        {"relative to an open /proc/self/fd", fdDir.get(), n(video0), 64, "/dev/video0"},
        {"cut short, without a NUL, like the kernel's", AT_FDCWD, self + n(video3), 7, "/dev/vi"},
        {"another process's", AT_FDCWD, "/proc/" + std::to_string(other.pid()) + "/fd/3", 64, "/dev/video3"},
        {"a socket of no node", AT_FDCWD, self + n(plain), 64, "socket:[" + std::to_string(st.st_ino) + "]"},
    };
    for (const auto& c : cases) {
        std::string buf(c.size + 1, '#');
        const ssize_t r = ::readlinkat(c.dirfd, c.path.c_str(), buf.data(), c.size);
        ASSERT_GE(r, 0) << c.label << ": " << std::strerror(errno);
        EXPECT_EQ(buf.substr(0, static_cast<std::size_t>(r)), c.link) << c.label;
        EXPECT_EQ(buf[static_cast<std::size_t>(r)], '#') << c.label << ": wrote past the link";
        if (c.dirfd == AT_FDCWD && c.size == 64) {
            EXPECT_EQ(std::filesystem::read_symlink(c.path).string(), c.link) << c.label << ", by readlink";
        }
    }
}

// --- formats ------------------------------------------------------------------

TEST(Formats, EnumerationListsExactlyTheProfile) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    std::vector<std::tuple<std::string, std::uint32_t, std::uint32_t, std::uint32_t>> seen;  // fourcc w h fps
    v4l2_fmtdesc d{};
    d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; xioctl(fd.get(), VIDIOC_ENUM_FMT, &d) == 0; ++d.index) {
        EXPECT_EQ((d.flags & V4L2_FMT_FLAG_COMPRESSED) != 0, d.pixelformat == V4L2_PIX_FMT_MJPEG);
        v4l2_frmsizeenum s{};
        s.pixel_format = d.pixelformat;
        for (; xioctl(fd.get(), VIDIOC_ENUM_FRAMESIZES, &s) == 0; ++s.index) {
            ASSERT_EQ(s.type, V4L2_FRMSIZE_TYPE_DISCRETE);
            v4l2_frmivalenum iv{};
            iv.pixel_format = d.pixelformat;
            iv.width = s.discrete.width;
            iv.height = s.discrete.height;
            for (; xioctl(fd.get(), VIDIOC_ENUM_FRAMEINTERVALS, &iv) == 0; ++iv.index) {
                ASSERT_EQ(iv.type, V4L2_FRMIVAL_TYPE_DISCRETE);
                ASSERT_EQ(iv.discrete.numerator, 1u);
                seen.emplace_back(std::string(reinterpret_cast<const char*>(&d.pixelformat), 4), s.discrete.width,
                                  s.discrete.height, iv.discrete.denominator);
            }
        }
    }
    const decltype(seen) expected{{"MJPG", 1280, 720, 30}, {"MJPG", 1280, 720, 15}, {"MJPG", 640, 480, 30},
                                  {"YUYV", 640, 480, 30},  {"YUYV", 640, 480, 15},  {"YUYV", 640, 480, 5},
                                  {"YUYV", 320, 240, 30},  {"NV12", 320, 240, 30}};
    EXPECT_EQ(seen, expected);
}

TEST(Formats, StepwiseSizesEnumerateAsStepwise) {
    Fd fd = openNode(3);
    ASSERT_TRUE(fd);
    v4l2_frmsizeenum s{};
    s.pixel_format = V4L2_PIX_FMT_YUYV;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_ENUM_FRAMESIZES, &s), 0);
    EXPECT_EQ(s.type, V4L2_FRMSIZE_TYPE_STEPWISE);
    EXPECT_EQ(std::tie(s.stepwise.min_width, s.stepwise.max_width, s.stepwise.step_width),
              std::make_tuple(160u, 640u, 16u));
    EXPECT_EQ(std::tie(s.stepwise.min_height, s.stepwise.max_height, s.stepwise.step_height),
              std::make_tuple(120u, 480u, 8u));
    s.index = 1;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_ENUM_FRAMESIZES, &s), EINVAL);

    v4l2_frmivalenum iv{};
    iv.pixel_format = V4L2_PIX_FMT_YUYV;
    iv.width = 176;  // on the grid
    iv.height = 144;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_ENUM_FRAMEINTERVALS, &iv), 0);
    EXPECT_EQ(iv.discrete.denominator, 30u);
    iv.width = 170;  // off the grid
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_ENUM_FRAMEINTERVALS, &iv), EINVAL);
}

struct TryCase {
    int node;
    const char* fourcc;
    std::uint32_t w, h;
    const char* wantFourcc;
    std::uint32_t wantW, wantH, bytesPerLine, sizeImage;
};

class TryFormat : public ::testing::TestWithParam<TryCase> {};

TEST_P(TryFormat, SnapsToWhatTheCameraOffers) {
    const TryCase& c = GetParam();
    Fd fd = openNode(c.node);
    ASSERT_TRUE(fd);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    std::memcpy(&f.fmt.pix.pixelformat, c.fourcc, 4);
    f.fmt.pix.width = c.w;
    f.fmt.pix.height = c.h;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_TRY_FMT, &f), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f.fmt.pix.pixelformat), 4), c.wantFourcc);
    EXPECT_EQ(f.fmt.pix.width, c.wantW);
    EXPECT_EQ(f.fmt.pix.height, c.wantH);
    EXPECT_EQ(f.fmt.pix.bytesperline, c.bytesPerLine);
    EXPECT_EQ(f.fmt.pix.sizeimage, c.sizeImage);
    EXPECT_EQ(f.fmt.pix.field, V4L2_FIELD_NONE);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TryFormat,
    ::testing::Values(TryCase{0, "MJPG", 1000, 700, "MJPG", 1280, 720, 0, 1280 * 720 * 2},
                      TryCase{0, "MJPG", 600, 400, "MJPG", 640, 480, 0, 640 * 480 * 2},
                      TryCase{0, "XXXX", 320, 240, "MJPG", 640, 480, 0, 640 * 480 * 2},  // unknown: the first format
                      TryCase{0, "YUYV", 330, 250, "YUYV", 320, 240, 640, 320 * 240 * 2},
                      TryCase{0, "NV12", 4000, 3000, "NV12", 320, 240, 320, 320 * 240 * 3 / 2},
                      TryCase{3, "YUYV", 333, 222, "YUYV", 336, 224, 672, 336 * 224 * 2},
                      TryCase{3, "YUYV", 10, 10, "YUYV", 160, 120, 320, 160 * 120 * 2},
                      TryCase{3, "YUYV", 9999, 9999, "YUYV", 640, 480, 1280, 640 * 480 * 2}));

TEST(Formats, SetParmPicksTheClosestOfferedInterval) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 640, 480);
    struct Step {
        std::uint32_t num, den, wantDen;
    };
    for (const Step s : {Step{1, 12, 15}, Step{1, 1, 5}, Step{1, 1000, 30}, Step{1, 0, 5}}) {
        v4l2_streamparm p{};
        p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        p.parm.capture.timeperframe = {s.num, s.den};
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_S_PARM, &p), 0);
        EXPECT_TRUE(p.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
        EXPECT_EQ(p.parm.capture.timeperframe.numerator, 1u);
        EXPECT_EQ(p.parm.capture.timeperframe.denominator, s.wantDen) << s.num << "/" << s.den;
    }
    // A new format starts at its first rate again.
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 640, 480);
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_G_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 30u);
}

// --- streaming ----------------------------------------------------------------

TEST(Streaming, FramesCarrySequenceAndMonotonicTimestampsAtTheInterval) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    const v4l2_format f = setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    Buffers bufs(fd.get(), 4);
    ASSERT_EQ(bufs.size(), 4u);
    bufs.queueAll();
    const std::int64_t before = monotonicUs();
    ASSERT_EQ(streamOn(fd.get()), 0);
    std::vector<v4l2_buffer> got;
    for (int i = 0; i < 20; ++i) {
        v4l2_buffer b{};
        ASSERT_EQ(dequeue(fd.get(), b), 0);
        EXPECT_LE(usOf(b), monotonicUs());  // a frame is never from the future
        got.push_back(b);
        ASSERT_EQ(bufs.queue(b.index), 0);
    }
    ASSERT_EQ(streamOff(fd.get()), 0);

    EXPECT_GT(usOf(got.front()), before);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const v4l2_buffer& b = got[i];
        EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
        EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_DONE);
        EXPECT_FALSE(b.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_ERROR));
        EXPECT_EQ(b.field, V4L2_FIELD_NONE);
        EXPECT_EQ(b.bytesused, f.fmt.pix.sizeimage);
        if (i == 0) continue;
        const v4l2_buffer& a = got[i - 1];
        ASSERT_GT(b.sequence, a.sequence);
        // Frame times are the interval apart (microsecond rounding aside), counting dropped ones.
        const double expected = (b.sequence - a.sequence) * 1e6 / 30;
        EXPECT_NEAR(double(usOf(b) - usOf(a)), expected, 1.0) << "frames " << a.sequence << ", " << b.sequence;
    }
}

TEST(Streaming, MjpegFramesAreWholeJpegImages) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_MJPEG, 640, 480);
    const auto frame = firstFrame(fd.get());
    ASSERT_GT(frame.size(), 4u);
    EXPECT_LT(frame.size(), 640u * 480 * 2);
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[1], 0xD8);
    EXPECT_EQ(frame[frame.size() - 2], 0xFF);
    EXPECT_EQ(frame[frame.size() - 1], 0xD9);
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    EXPECT_EQ(tjDecompressHeader3(tj, frame.data(), frame.size(), &w, &h, &sub, &cs), 0);
    tjDestroy(tj);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
}

TEST(Streaming, FramesWithoutAQueuedBufferAreDroppedAndCounted) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    Buffers bufs(fd.get(), 1);
    bufs.queueAll();
    ASSERT_EQ(streamOn(fd.get()), 0);
    v4l2_buffer a{}, b{};
    ASSERT_EQ(dequeue(fd.get(), a), 0);
    // Several frame times pass with no buffer queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(bufs.queue(a.index), 0);
    ASSERT_EQ(dequeue(fd.get(), b), 0);
    EXPECT_GT(b.sequence, a.sequence + 1);
    EXPECT_NEAR(double(usOf(b) - usOf(a)), (b.sequence - a.sequence) * 1e6 / 30, 1.0);
}

TEST(Streaming, PollAndNonBlockingDequeueFollowVideobuf2) {
    Fd fd = openNode(0, O_RDWR | O_NONBLOCK);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    pollfd p{fd.get(), POLLIN, 0};
    v4l2_buffer b{};

    EXPECT_EQ(dequeue(fd.get(), b), EINVAL);  // not streaming
    ASSERT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents, POLLERR);
    const timespec zero{0, 0};
    ASSERT_EQ(::ppoll(&p, 1, &zero, nullptr), 1);
    EXPECT_EQ(p.revents, POLLERR);

    Buffers bufs(fd.get(), 2);
    ASSERT_EQ(streamOn(fd.get()), 0);
    EXPECT_EQ(dequeue(fd.get(), b), EAGAIN);  // nothing queued, nothing done
    ASSERT_EQ(::poll(&p, 1, 0), 1);           // no QBUF since STREAMON
    EXPECT_EQ(p.revents, POLLERR);

    ASSERT_EQ(bufs.queue(0), 0);
    ASSERT_EQ(::ppoll(&p, 1, nullptr, nullptr), 1);
    EXPECT_EQ(p.revents, POLLIN);
    ASSERT_EQ(::poll(&p, 1, -1), 1);
    EXPECT_EQ(p.revents, POLLIN);
    ASSERT_EQ(dequeue(fd.get(), b), 0);
    EXPECT_EQ(b.index, 0u);
    EXPECT_EQ(dequeue(fd.get(), b), EAGAIN);
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    ASSERT_EQ(streamOff(fd.get()), 0);
}

TEST(Streaming, StreamoffEndsABlockedDequeue) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    Buffers bufs(fd.get(), 2);
    ASSERT_EQ(streamOn(fd.get()), 0);  // nothing queued: DQBUF can only wait
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        v4l2_buffer b{};
        result = dequeue(fd.get(), b);
    });
    ASSERT_EQ(streamOff(fd.get()), 0);
    waiter.join();
    EXPECT_EQ(result.load(), EINVAL);
}

TEST(Streaming, ControlsChangeWhileAnotherThreadCaptures) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    Buffers bufs(fd.get(), 3);
    bufs.queueAll();
    ASSERT_EQ(streamOn(fd.get()), 0);
    std::atomic<bool> done{false};
    std::atomic<int> frames{0}, failures{0};
    std::thread capture([&] {
        while (frames < 15) {
            pollfd p{fd.get(), POLLIN, 0};
            if (::poll(&p, 1, -1) != 1 || p.revents != POLLIN) {
                ++failures;
                break;
            }
            v4l2_buffer b{};
            if (dequeue(fd.get(), b) != 0 || bufs.queue(b.index) != 0) {
                ++failures;
                break;
            }
            ++frames;
        }
        done = true;
    });
    Fd ui = openNode(0);  // a second open file, as a settings panel would use
    for (int v = -64; !done; v = v >= 64 ? -64 : v + 8) {
        EXPECT_EQ(setCtrl(ui.get(), V4L2_CID_BRIGHTNESS, v), 0);
        v4l2_ext_control c[2]{};
        c[0].id = V4L2_CID_CONTRAST;
        c[0].value = (v + 64) / 2;
        c[1].id = V4L2_CID_SATURATION;
        c[1].value = v + 64;
        v4l2_ext_controls cs{};
        cs.which = V4L2_CTRL_WHICH_CUR_VAL;
        cs.count = 2;
        cs.controls = c;
        EXPECT_EQ(xioctl(ui.get(), VIDIOC_S_EXT_CTRLS, &cs), 0);
    }
    capture.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(frames.load(), 15);
    EXPECT_EQ(streamOff(fd.get()), 0);
    for (const std::uint32_t id : {V4L2_CID_BRIGHTNESS, V4L2_CID_CONTRAST, V4L2_CID_SATURATION})
        EXPECT_EQ(setCtrl(ui.get(), id, queryCtrl(ui.get(), id).default_value), 0);
}

TEST(Streaming, AForkedChildDoesNotTouchTheParentsStream) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    Buffers bufs(fd.get(), 2);
    bufs.queueAll();
    ASSERT_EQ(streamOn(fd.get()), 0);
    const LogMark mark;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // a spawner between fork and exec: the child has no camera, only a descriptor
        v4l2_capability cap{};
        const bool plainDescriptor = ::ioctl(fd.get(), VIDIOC_QUERYCAP, &cap) == -1 && errno == ENOTTY;
        _exit(plainDescriptor && ::close(fd.get()) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    v4l2_buffer b{};
    EXPECT_EQ(dequeue(fd.get(), b), 0);
    EXPECT_EQ(streamOff(fd.get()), 0);
    EXPECT_EQ(mark.lines(), std::vector<std::string>{"video0 streamoff"});  // no release by the child
}

TEST(Streaming, LogRecordsTheStreamsLife) {
    const LogMark mark;
    {
        Fd fd = openNode(0);
        ASSERT_TRUE(fd);
        setFormat(fd.get(), V4L2_PIX_FMT_MJPEG, 640, 480);
        v4l2_streamparm p{};
        p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        p.parm.capture.timeperframe = {1, 30};
        ASSERT_EQ(xioctl(fd.get(), VIDIOC_S_PARM, &p), 0);
        Buffers bufs(fd.get(), 2);
        ASSERT_EQ(streamOn(fd.get()), 0);
        ASSERT_EQ(streamOff(fd.get()), 0);
    }
    EXPECT_EQ(mark.lines(), (std::vector<std::string>{"video0 open", "video0 s_fmt MJPG 640x480",
                                                      "video0 s_parm 1/30", "video0 reqbufs 2",
                                                      "video0 streamon MJPG 640x480 1/30", "video0 streamoff",
                                                      "video0 reqbufs 0", "video0 close"}));
}

// --- buffers and privileges -----------------------------------------------------

TEST(Buffers, OnlyMmapBuffersAtTheirOffsets) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    v4l2_requestbuffers rb{};
    rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rb.memory = V4L2_MEMORY_USERPTR;
    rb.count = 2;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_REQBUFS, &rb), EINVAL);
    rb.memory = V4L2_MEMORY_MMAP;
    rb.count = 100;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_REQBUFS, &rb), 0);
    EXPECT_EQ(rb.count, 32u);
    rb.count = 2;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_REQBUFS, &rb), 0);

    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = 1;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(b.length, 320u * 240 * 2);
    EXPECT_FALSE(b.flags & V4L2_BUF_FLAG_MAPPED);
    errno = 0;
    EXPECT_EQ(::mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd.get(), b.m.offset + 4096), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::mmap(nullptr, b.length, PROT_READ, MAP_PRIVATE, fd.get(), b.m.offset), MAP_FAILED);
    void* p = ::mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), b.m.offset);
    ASSERT_NE(p, MAP_FAILED);
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYBUF, &b), 0);
    EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_MAPPED);
    b.index = 2;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_QUERYBUF, &b), EINVAL);
    // Freeing the buffers while one is mapped is allowed; the mapping stays usable.
    rb.count = 0;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_REQBUFS, &rb), 0);
    EXPECT_EQ(static_cast<volatile std::uint8_t*>(p)[0], static_cast<volatile std::uint8_t*>(p)[0]);
    EXPECT_EQ(::munmap(p, b.length), 0);
}

TEST(Buffers, OneOpenFileOwnsTheStreamLikeUvc) {
    Fd owner = openNode(0), other = openNode(0);
    ASSERT_TRUE(owner);
    ASSERT_TRUE(other);
    setFormat(owner.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    {
        Buffers bufs(owner.get(), 2);
        int err = 0;
        setFormat(other.get(), V4L2_PIX_FMT_YUYV, 640, 480, &err);
        EXPECT_EQ(err, EBUSY);
        setFormat(owner.get(), V4L2_PIX_FMT_YUYV, 640, 480, &err);
        EXPECT_EQ(err, EBUSY);  // buffers allocated
        v4l2_requestbuffers rb{};
        rb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        rb.memory = V4L2_MEMORY_MMAP;
        rb.count = 2;
        EXPECT_EQ(xioctl(other.get(), VIDIOC_REQBUFS, &rb), EBUSY);
        EXPECT_EQ(streamOn(other.get()), EBUSY);
        // Queries and controls work on any open file.
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        EXPECT_EQ(xioctl(other.get(), VIDIOC_G_FMT, &f), 0);
        EXPECT_EQ(f.fmt.pix.width, 320u);
        EXPECT_EQ(setCtrl(other.get(), V4L2_CID_BRIGHTNESS, 0), 0);
    }  // REQBUFS 0 gives the stream up
    int err = 0;
    setFormat(other.get(), V4L2_PIX_FMT_YUYV, 320, 240, &err);
    EXPECT_EQ(err, 0);
}

TEST(Buffers, DuplicatesShareTheOpenFileUntilTheLastCloses) {
    const LogMark mark;
    Fd a = openNode(0);
    ASSERT_TRUE(a);
    Fd b(::dup(a.get()));
    Fd c(::fcntl(a.get(), F_DUPFD_CLOEXEC, 0));
    ASSERT_TRUE(b);
    ASSERT_TRUE(c);
    setFormat(a.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    {
        Buffers bufs(b.get(), 2);  // the same open file owns the stream
        a.reset();
        bufs.queueAll();
        ASSERT_EQ(streamOn(c.get()), 0);
        v4l2_buffer buf{};
        EXPECT_EQ(dequeue(b.get(), buf), 0);
        ASSERT_EQ(streamOff(c.get()), 0);
    }
    b.reset();
    EXPECT_FALSE(contains(mark.lines(), "video0 close"));
    c.reset();
    const auto lines = mark.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "video0 close"), 1);
}

TEST(Ioctls, UnsupportedOnesAnswerLikeUvc) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_MJPEG, 640, 480);
    v4l2_standard std{};
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_ENUMSTD, &std), ENOTTY);
    v4l2_std_id id = 0;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_G_STD, &id), ENOTTY);
    v4l2_exportbuffer exp{};
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_EXPBUF, &exp), ENOTTY);

    v4l2_cropcap cc{};
    cc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_CROPCAP, &cc), 0);
    EXPECT_EQ(cc.bounds.width, 640u);
    EXPECT_EQ(cc.defrect.height, 480u);
    v4l2_selection sel{};
    sel.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    sel.target = V4L2_SEL_TGT_CROP_DEFAULT;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_G_SELECTION, &sel), 0);
    sel.target = V4L2_SEL_TGT_CROP;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_G_SELECTION, &sel), EINVAL);
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_S_SELECTION, &sel), ENOTTY);

    v4l2_input in{};
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_ENUMINPUT, &in), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(in.name), "Camera 1");
    EXPECT_EQ(in.type, V4L2_INPUT_TYPE_CAMERA);
    in.index = 1;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_ENUMINPUT, &in), EINVAL);

    char byte;
    errno = 0;
    EXPECT_EQ(::read(fd.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EINVAL);
}

// --- controls -----------------------------------------------------------------

TEST(Controls, EnumerationWalksClassesAndControlsInIdOrder) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    std::vector<std::uint32_t> ids;
    v4l2_query_ext_ctrl q{};
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (xioctl(fd.get(), VIDIOC_QUERY_EXT_CTRL, &q) == 0) {
        ids.push_back(q.id);
        EXPECT_EQ(q.type == V4L2_CTRL_TYPE_CTRL_CLASS, (q.id & 0xffff) == 1) << q.name;
        q.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    const std::vector<std::uint32_t> expected{
        V4L2_CID_USER_CLASS,      V4L2_CID_BRIGHTNESS,   V4L2_CID_CONTRAST,
        V4L2_CID_SATURATION,      V4L2_CID_HUE,          V4L2_CID_AUTO_WHITE_BALANCE,
        V4L2_CID_AUTOGAIN,        V4L2_CID_GAIN,         V4L2_CID_POWER_LINE_FREQUENCY,
        V4L2_CID_HUE_AUTO,        V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_CID_COLORFX,
        V4L2_CID_CAMERA_CLASS,    V4L2_CID_EXPOSURE_AUTO, V4L2_CID_EXPOSURE_ABSOLUTE};
    EXPECT_EQ(ids, expected);

    v4l2_control zoom{V4L2_CID_ZOOM_ABSOLUTE, 1};  // not offered by this camera
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_G_CTRL, &zoom), EINVAL);
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_S_CTRL, &zoom), EINVAL);

    const v4l2_queryctrl t = queryCtrl(fd.get(), V4L2_CID_WHITE_BALANCE_TEMPERATURE);
    EXPECT_STREQ(reinterpret_cast<const char*>(t.name), "White Balance Temperature");
    EXPECT_EQ(std::tie(t.minimum, t.maximum, t.step, t.default_value), std::make_tuple(2800, 6500, 10, 4600));

    v4l2_querymenu m{};
    m.id = V4L2_CID_POWER_LINE_FREQUENCY;
    m.index = 1;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_QUERYMENU, &m), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(m.name), "50 Hz");
    m.index = 3;  // beyond the profile's maximum
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_QUERYMENU, &m), EINVAL);
}

struct ValueCase {
    std::uint32_t id;
    std::int32_t request;
    int err;
    std::int32_t applied;
};

class ControlValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ControlValues, AreRoundedToTheStepAndClamped) {
    const ValueCase& c = GetParam();
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_AUTO_WHITE_BALANCE, 0), 0);
    const std::int32_t before = getCtrl(fd.get(), c.id);
    std::int32_t applied = 0;
    EXPECT_EQ(setCtrl(fd.get(), c.id, c.request, &applied), c.err);
    EXPECT_EQ(getCtrl(fd.get(), c.id), c.err ? before : c.applied);
    if (!c.err) {
        EXPECT_EQ(applied, c.applied);
    }
    const v4l2_queryctrl q = queryCtrl(fd.get(), c.id);
    EXPECT_EQ(setCtrl(fd.get(), c.id, q.default_value), 0);
    EXPECT_EQ(setCtrl(fd.get(), V4L2_CID_AUTO_WHITE_BALANCE, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ControlValues,
                         ::testing::Values(ValueCase{V4L2_CID_BRIGHTNESS, 100, 0, 64},
                                           ValueCase{V4L2_CID_BRIGHTNESS, -100, 0, -64},
                                           ValueCase{V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4605, 0, 4610},
                                           ValueCase{V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4604, 0, 4600},
                                           ValueCase{V4L2_CID_WHITE_BALANCE_TEMPERATURE, 9999, 0, 6500},
                                           ValueCase{V4L2_CID_HUE_AUTO, 5, 0, 1},
                                           ValueCase{V4L2_CID_POWER_LINE_FREQUENCY, 3, EINVAL, 0},
                                           ValueCase{V4L2_CID_POWER_LINE_FREQUENCY, 7, ERANGE, 0}));

struct AutoCase {
    std::uint32_t autoId, manualId;
    std::int32_t autoOn, manualMode, value;
    const char* logLine;
};

class AutoModes : public ::testing::TestWithParam<AutoCase> {};

TEST_P(AutoModes, ManualValueIsRefusedUntilAutomaticIsOff) {
    const AutoCase& c = GetParam();
    const LogMark mark;
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    ASSERT_EQ(setCtrl(fd.get(), c.autoId, c.autoOn), 0);
    const std::int32_t before = getCtrl(fd.get(), c.manualId);
    EXPECT_TRUE(queryCtrl(fd.get(), c.manualId).flags & V4L2_CTRL_FLAG_INACTIVE);
    EXPECT_EQ(setCtrl(fd.get(), c.manualId, c.value), EBUSY);

    // Refused as a whole through the extended interface too.
    v4l2_ext_control ec{};
    ec.id = c.manualId;
    ec.value = c.value;
    v4l2_ext_controls cs{};
    cs.which = V4L2_CTRL_WHICH_CUR_VAL;
    cs.count = 1;
    cs.controls = &ec;
    EXPECT_EQ(xioctl(fd.get(), VIDIOC_S_EXT_CTRLS, &cs), EBUSY);
    EXPECT_EQ(cs.error_idx, 1u);
    EXPECT_EQ(getCtrl(fd.get(), c.manualId), before);

    // Switching automatic off first, in the same call, is what a client does.
    v4l2_ext_control both[2]{};
    both[0].id = c.autoId;
    both[0].value = c.manualMode;
    both[1].id = c.manualId;
    both[1].value = c.value;
    cs.count = 2;
    cs.controls = both;
    ASSERT_EQ(xioctl(fd.get(), VIDIOC_S_EXT_CTRLS, &cs), 0);
    EXPECT_EQ(getCtrl(fd.get(), c.manualId), c.value);
    EXPECT_FALSE(queryCtrl(fd.get(), c.manualId).flags & V4L2_CTRL_FLAG_INACTIVE);
    EXPECT_TRUE(contains(mark.lines(), c.logLine));

    EXPECT_EQ(setCtrl(fd.get(), c.manualId, before), 0);
    EXPECT_EQ(setCtrl(fd.get(), c.autoId, c.autoOn), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, AutoModes,
    ::testing::Values(AutoCase{V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CID_WHITE_BALANCE_TEMPERATURE, 1, 0, 5000,
                               "video0 s_ctrl white_balance_temperature 5000 EBUSY"},
                      AutoCase{V4L2_CID_AUTOGAIN, V4L2_CID_GAIN, 1, 0, 50, "video0 s_ctrl gain 50 EBUSY"},
                      AutoCase{V4L2_CID_HUE_AUTO, V4L2_CID_HUE, 1, 0, 90, "video0 s_ctrl hue 90 EBUSY"},
                      AutoCase{V4L2_CID_EXPOSURE_AUTO, V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_EXPOSURE_APERTURE_PRIORITY,
                               V4L2_EXPOSURE_MANUAL, 500, "video0 s_ctrl exposure_time_absolute 500 EBUSY"}));

TEST(Controls, ActOnThePicture) {
    Fd fd = openNode(0);
    ASSERT_TRUE(fd);
    setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 320, 240);
    const YuyvStats neutral = yuyvStats(firstFrame(fd.get()));
    EXPECT_GT(neutral.maxChromaOffset, 40);  // colour bars

    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_BRIGHTNESS, 40), 0);
    const YuyvStats bright = yuyvStats(firstFrame(fd.get()));
    EXPECT_GT(bright.meanY, neutral.meanY + 40);
    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_BRIGHTNESS, 0), 0);

    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_SATURATION, 0), 0);
    EXPECT_LE(yuyvStats(firstFrame(fd.get())).maxChromaOffset, 1);
    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_SATURATION, 64), 0);

    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_COLORFX, V4L2_COLORFX_BW), 0);
    const YuyvStats mono = yuyvStats(firstFrame(fd.get()));
    EXPECT_LE(mono.maxChromaOffset, 1);
    EXPECT_NEAR(mono.meanY, neutral.meanY, 1.0);
    ASSERT_EQ(setCtrl(fd.get(), V4L2_CID_COLORFX, V4L2_COLORFX_NONE), 0);

    EXPECT_NEAR(yuyvStats(firstFrame(fd.get())).meanY, neutral.meanY, 0.01);
}

// --- unplug -------------------------------------------------------------------

TEST(Unplug, TriggerFileEndsTheStreamLikeARealUnplug) {
    const LogMark mark;
    const std::string trigger = controlDir() + "/unplug-video4";
    {
        Fd fd = openNode(4);
        ASSERT_TRUE(fd);
        setFormat(fd.get(), V4L2_PIX_FMT_YUV420, 320, 240);
        Buffers bufs(fd.get(), 3);
        bufs.queueAll();
        ASSERT_EQ(streamOn(fd.get()), 0);
        v4l2_buffer b{};
        ASSERT_EQ(dequeue(fd.get(), b), 0);

        Fd ep(::epoll_create1(EPOLL_CLOEXEC));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ASSERT_EQ(::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd.get(), &ev), 0);
        std::atomic<int> waiterResult{-1};
        std::thread waiter([&] {  // a capture thread blocked in DQBUF
            v4l2_buffer x{};
            int e;
            while ((e = dequeue(fd.get(), x)) == 0) bufs.queue(x.index);
            waiterResult = e;
        });

        writeText(trigger, "");
        pollfd p{fd.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, -1), 1);  // wakes up, with no timeout
        EXPECT_EQ(p.revents, POLLERR | POLLHUP);
        ASSERT_EQ(::poll(&p, 1, -1), 1);  // and stays that way: a consumer never spins on POLLIN
        EXPECT_EQ(p.revents, POLLERR | POLLHUP);
        epoll_event got{};
        ASSERT_EQ(::epoll_wait(ep.get(), &got, 1, -1), 1);
        EXPECT_TRUE(got.events & EPOLLERR);
        EXPECT_TRUE(got.events & EPOLLHUP);
        waiter.join();
        EXPECT_EQ(waiterResult.load(), ENODEV);

        EXPECT_EQ(dequeue(fd.get(), b), ENODEV);
        v4l2_capability cap{};
        EXPECT_EQ(xioctl(fd.get(), VIDIOC_QUERYCAP, &cap), ENODEV);
        EXPECT_EQ(streamOff(fd.get()), ENODEV);
        EXPECT_EQ(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd.get(), 0), MAP_FAILED);
        EXPECT_EQ(errno, ENODEV);
        errno = 0;
        EXPECT_FALSE(openNode(4));
        EXPECT_EQ(errno, ENOENT);
        struct stat st {};
        EXPECT_NE(::stat("/dev/video4", &st), 0);
    }
    EXPECT_TRUE(contains(mark.lines(), "video4 unplug"));

    // Plugged in again: a fresh device.
    std::filesystem::remove(trigger);
    Fd again = openNode(4);
    ASSERT_TRUE(again) << std::strerror(errno);
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(xioctl(again.get(), VIDIOC_G_FMT, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, V4L2_PIX_FMT_UYVY);
}

TEST(Unplug, UnplugAfterMsEndsTheStreamAndTheNodeReturnsWhenReleased) {
    const LogMark mark;
    {
        Fd fd = openNode(3);
        ASSERT_TRUE(fd);
        setFormat(fd.get(), V4L2_PIX_FMT_YUYV, 160, 120);
        Buffers bufs(fd.get(), 2);
        bufs.queueAll();
        ASSERT_EQ(streamOn(fd.get()), 0);
        v4l2_buffer b{};
        int e;
        int frames = 0;
        while ((e = dequeue(fd.get(), b)) == 0) {
            ++frames;
            ASSERT_EQ(bufs.queue(b.index), 0);
        }
        EXPECT_EQ(e, ENODEV);
        EXPECT_GT(frames, 0);
        pollfd p{fd.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, -1), 1);
        EXPECT_EQ(p.revents, POLLERR | POLLHUP);
        EXPECT_FALSE(openNode(3));  // still unplugged while our descriptor lives
    }
    EXPECT_TRUE(contains(mark.lines(), "video3 unplug"));
    Fd again = openNode(3);
    EXPECT_TRUE(again) << std::strerror(errno);
}
