#include "vcam.h"

#include "real.h"
#include "render.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kv {
namespace {

constexpr std::uint32_t kMaxBuffers = 32;
constexpr std::uint32_t kMetaBufferSize = 10240;  // uvcvideo's metadata buffer
constexpr int kVideoMajor = 81;
constexpr auto kTriggerPoll = std::chrono::milliseconds(100);

std::atomic<Vcam*> g_instance{nullptr};
// A forked child shares no threads and maybe held locks with us: it gets the system only.
std::atomic<bool> g_forked{false};

template <std::size_t N>
void copyStr(std::uint8_t (&dst)[N], const std::string& s) {
    std::memset(dst, 0, N);
    std::memcpy(dst, s.data(), std::min(s.size(), N - 1));
}
template <std::size_t N>
void copyStr(char (&dst)[N], const std::string& s) {
    std::memset(dst, 0, N);
    std::memcpy(dst, s.data(), std::min(s.size(), N - 1));
}

// Appends a line with one write: several processes may share the file.
void appendLine(const std::string& path, const std::string& text) {
    if (path.empty()) return;
    // Opened per line: the host program may close descriptors it does not know.
    const int fd = real::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    real::close(fd);
}

std::size_t pageAlign(std::size_t n) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

// Names the consumer's end (see kSocketNamePrefix). Without a name (a
// sandbox that refuses abstract sockets) its link just reads "socket:[...]".
void nameSocket(int fd, const std::string& node, ino_t inode) {
    const std::string name = kSocketNamePrefix + node + ":" + std::to_string(inode);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address.sun_path) return;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // abstract: a leading NUL
    [[maybe_unused]] const int r = ::bind(fd, reinterpret_cast<const sockaddr*>(&address),
                                          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size()));
}

std::string describe(std::uint32_t fourcc) {
    switch (fourcc) {
        case V4L2_PIX_FMT_MJPEG: return "Motion-JPEG";
        case V4L2_PIX_FMT_YUYV: return "YUYV 4:2:2";
        case V4L2_PIX_FMT_UYVY: return "UYVY 4:2:2";
        case V4L2_PIX_FMT_YUV420: return "Planar YUV 4:2:0";
        case V4L2_PIX_FMT_YVU420: return "Planar YVU 4:2:0";
        case V4L2_PIX_FMT_NV12: return "Y/UV 4:2:0";
        default: return fourccText(fourcc);
    }
}

std::string fractionText(Fraction f) { return std::to_string(f.num) + "/" + std::to_string(f.den); }
std::string sizeText(Size s) { return std::to_string(s.w) + "x" + std::to_string(s.h); }

// Frame interval in nanoseconds times n, exactly.
std::int64_t intervalsNs(Fraction f, std::uint64_t n) {
    return static_cast<std::int64_t>(static_cast<unsigned __int128>(n) * f.num * 1000000000u / f.den);
}

// The entries of `fourcc` in profile order.
std::vector<const FormatEntry*> entriesOf(const NodeConfig& s, std::uint32_t fourcc) {
    std::vector<const FormatEntry*> out;
    for (const auto& f : s.formats)
        if (f.fourcc == fourcc) out.push_back(&f);
    return out;
}

std::vector<std::uint32_t> fourccsOf(const NodeConfig& s) {
    std::vector<std::uint32_t> out;
    for (const auto& f : s.formats)
        if (std::find(out.begin(), out.end(), f.fourcc) == out.end()) out.push_back(f.fourcc);
    return out;
}

// The entry that holds this exact size, or nullptr.
const FormatEntry* entryFor(const NodeConfig& s, std::uint32_t fourcc, Size size) {
    for (const auto* e : entriesOf(s, fourcc)) {
        if (!e->stepwise && e->size == size) return e;
        if (e->stepwise && size.w >= e->min.w && size.w <= e->max.w && size.h >= e->min.h &&
            size.h <= e->max.h && (e->step.w == 0 || (size.w - e->min.w) % e->step.w == 0) &&
            (e->step.h == 0 || (size.h - e->min.h) % e->step.h == 0))
            return e;
    }
    return nullptr;
}

std::uint32_t snap(std::uint32_t v, std::uint32_t lo, std::uint32_t hi, std::uint32_t step) {
    v = std::clamp(v, lo, hi);
    if (step == 0) return v;
    const std::uint32_t k = (v - lo + step / 2) / step;
    return std::min(lo + k * step, lo + (hi - lo) / step * step);
}

// uvcvideo's choice of format and size for TRY_FMT/S_FMT.
std::pair<std::uint32_t, Size> tryFormat(const NodeConfig& s, std::uint32_t fourcc, Size want) {
    auto entries = entriesOf(s, fourcc);
    if (entries.empty()) {
        fourcc = s.formats.front().fourcc;
        entries = entriesOf(s, fourcc);
    }
    if (entries.front()->stepwise) {
        const auto* e = entries.front();
        return {fourcc, {snap(want.w, e->min.w, e->max.w, e->step.w), snap(want.h, e->min.h, e->max.h, e->step.h)}};
    }
    Size best = entries.front()->size;
    std::uint64_t bestD = UINT64_MAX;
    for (const auto* e : entries) {
        const std::uint64_t w = e->size.w, h = e->size.h, rw = want.w, rh = want.h;
        const std::uint64_t overlap = std::min(w, rw) * std::min(h, rh);
        const std::uint64_t d = w * h + rw * rh - 2 * overlap;
        if (d < bestD) {
            bestD = d;
            best = e->size;
        }
    }
    return {fourcc, best};
}

void fillPix(v4l2_pix_format& p, std::uint32_t fourcc, Size size) {
    std::memset(&p, 0, sizeof p);
    p.width = size.w;
    p.height = size.h;
    p.pixelformat = fourcc;
    p.field = V4L2_FIELD_NONE;
    p.bytesperline = bytesPerLine(fourcc, size.w);
    p.sizeimage = sizeImage(fourcc, size.w, size.h);
    p.colorspace = V4L2_COLORSPACE_SRGB;
    p.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    p.xfer_func = V4L2_XFER_FUNC_SRGB;
    p.ycbcr_enc = V4L2_YCBCR_ENC_601;
}

const ControlConfig* controlOf(const Device* d, std::uint32_t id) {
    for (const auto& c : d->cfg->controls)
        if (c.info->id == id) return &c;
    return nullptr;
}

bool isInactive(const Device* d, const ControlConfig& c, const std::map<std::uint32_t, std::int32_t>& values) {
    if (!c.info->masterId || !controlOf(d, c.info->masterId)) return false;
    return values.at(c.info->masterId) != c.info->masterManual;
}

// Rounds and clamps like uvcvideo; returns 0 or -errno.
int adjustValue(const ControlConfig& c, std::int64_t& v) {
    switch (c.info->type) {
        case CtrlType::Boolean:
            v = std::clamp<std::int64_t>(v, 0, 1);
            return 0;
        case CtrlType::Menu:
            if (v < 0 || v >= menuSize(*c.info)) return -ERANGE;
            if (v < c.min || v > c.max) return -EINVAL;
            return 0;
        case CtrlType::Integer:
            if (v < c.min) {
                v = c.min;
            } else {
                v = c.min + (v - c.min + c.step / 2) / c.step * c.step;
                if (v > c.max) v = c.max;
            }
            return 0;
    }
    return 0;
}

std::uint32_t classOf(std::uint32_t id) { return id & 0x0fff0000; }

// Class entries (User Controls, Camera Controls) and controls, by id.
struct CtrlEntry {
    std::uint32_t id;
    const ControlConfig* cfg;  // nullptr for a class entry
};

std::vector<CtrlEntry> ctrlEntries(const Device* d) {
    std::vector<CtrlEntry> out;
    std::set<std::uint32_t> classes;
    for (const auto& c : d->cfg->controls) {
        out.push_back({c.info->id, &c});
        classes.insert(classOf(c.info->id));
    }
    for (std::uint32_t cls : classes) out.push_back({cls | 1, nullptr});
    std::sort(out.begin(), out.end(), [](const CtrlEntry& a, const CtrlEntry& b) { return a.id < b.id; });
    return out;
}

std::string className(std::uint32_t classId) {
    switch (classId & 0x0fff0000) {
        case V4L2_CTRL_CLASS_USER: return "User Controls";
        case V4L2_CTRL_CLASS_CAMERA: return "Camera Controls";
        default: return "Controls";
    }
}

}  // namespace

std::string readFile(const char* path, bool& ok) {
    std::string out;
    const int fd = real::open(path, O_RDONLY | O_CLOEXEC, 0);
    ok = fd >= 0;
    if (!ok) return out;
    char buf[4096];
    for (;;) {
        const ssize_t n = real::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    real::close(fd);
    return out;
}

Buffer::~Buffer() {
    if (mem) real::munmap(mem, pageAlign(length));
    if (memfd >= 0) real::close(memfd);
}

Queue::~Queue() {
    // Owners stop and join the producer before letting go.
    if (producer.joinable()) producer.join();
}

OpenFile::~OpenFile() {
    if (vcam) vcam->release(this);
    if (ownFd >= 0) real::close(ownFd);
    if (peerFd >= 0) real::close(peerFd);
}

Vcam* Vcam::peek() {
    return g_forked.load(std::memory_order_relaxed) ? nullptr : g_instance.load(std::memory_order_acquire);
}

Vcam* Vcam::get() {
    static Vcam* instance = [] {
        Vcam* v = create();
        g_instance.store(v, std::memory_order_release);
        pthread_atfork(nullptr, nullptr, [] { g_forked.store(true, std::memory_order_relaxed); });
        return v;
    }();
    return g_forked.load(std::memory_order_relaxed) ? nullptr : instance;
}

Vcam* Vcam::create() {
    const char* path = std::getenv("KINOVO_VCAM_PROFILE");
    if (!path || !*path) return nullptr;
    bool ok = false;
    const std::string text = readFile(path, ok);
    if (!ok) {
        std::fprintf(stderr, "kinovo-vcam: %s: cannot read the profile: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    std::string error;
    auto profile = parseProfile(text, error);
    if (!profile) {
        const bool hasLine = !error.empty() && error[0] >= '0' && error[0] <= '9';
        std::fprintf(stderr, "kinovo-vcam: %s:%s%s\n", path, hasLine ? "" : " ", error.c_str());
        return nullptr;
    }
    const char* log = std::getenv("KINOVO_VCAM_LOG");
    const char* drops = std::getenv("KINOVO_VCAM_DROPS");
    const char* ctl = std::getenv("KINOVO_VCAM_CONTROL_DIR");
    // The schedule the test microphone clicks on (scripts/with-services.sh).
    const char* sync = std::getenv("KINOVO_SYNC_PERIOD_MS");
    long long syncMs = 0;
    char* end = nullptr;
    if (sync && *sync) syncMs = std::strtoll(sync, &end, 10);
    if (sync && *sync && (*end != '\0' || syncMs < 0)) {
        std::fprintf(stderr, "kinovo-vcam: KINOVO_SYNC_PERIOD_MS=%s is not a number of milliseconds\n", sync);
        syncMs = 0;
    }
    // Lives as long as the process: descriptors may still be in use at exit.
    return new Vcam(std::move(*profile), log ? log : "", drops ? drops : "", ctl ? ctl : "", syncMs * 1000000);
}

Vcam::Vcam(Profile p, std::string log, std::string drops, std::string controlDir, std::int64_t syncPeriodNs)
    : profile_(std::move(p)),
      logPath_(std::move(log)),
      dropsPath_(std::move(drops)),
      controlDir_(std::move(controlDir)),
      syncPeriodNs_(syncPeriodNs) {
    for (const auto& cfg : profile_.nodes) {
        auto d = std::make_unique<Device>();
        d->cfg = &cfg;
        d->number = cfg.number;
        d->name = "video" + std::to_string(cfg.number);
        devices_.push_back(std::move(d));
    }
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        Device* d = devices_[i].get();
        const NodeConfig& s = *d->cfg;
        if (s.kind == NodeKind::Camera) d->camera = d;
        if (s.kind == NodeKind::Output) d->camera = d;
        if (s.kind == NodeKind::Metadata) d->camera = devices_[s.cameraIndex].get();
        if (s.metaIndex >= 0) d->meta = devices_[s.metaIndex].get();
        resetDevice(d);
    }
    utsname u{};
    unsigned a = 0, b = 0, c = 0;
    if (uname(&u) == 0 && std::sscanf(u.release, "%u.%u.%u", &a, &b, &c) >= 2)
        kernelVersion_ = (a << 16) | (b << 8) | std::min(c, 255u);
}

void Vcam::resetDevice(Device* d) {
    const NodeConfig& s = *d->cfg;
    d->values.clear();
    for (const auto& c : s.controls) d->values[c.info->id] = c.def;
    ++d->ctrlVersion;
    if (s.kind == NodeKind::Camera) {
        const FormatEntry& f = s.formats.front();
        d->fourcc = f.fourcc;
        d->size = f.size;
        d->interval = f.intervals.front();
    } else if (s.kind == NodeKind::Output) {
        d->fourcc = V4L2_PIX_FMT_YUYV;
        d->size = {640, 480};
    } else {
        d->fourcc = V4L2_META_FMT_UVC;
    }
}

Device* Vcam::node(int number) {
    for (auto& d : devices_)
        if (d->number == number) return d.get();
    return nullptr;
}

std::vector<Device*> Vcam::devices() {
    std::vector<Device*> out;
    for (auto& d : devices_) out.push_back(d.get());
    return out;
}

void Vcam::log(const Device* d, const std::string& line) { appendLine(logPath_, d->name + " " + line + "\n"); }

void Vcam::logStreamEnd(const Device* d, const Queue& q) {
    log(d, "streamoff");
    appendLine(dropsPath_,
               d->name + " late=" + std::to_string(q.lateSlots) + " starved=" + std::to_string(q.starvedSlots) + "\n");
}

bool Vcam::triggerExists(Device* cam) {
    if (controlDir_.empty()) return false;
    for (const Device* d : {cam, cam->meta}) {
        if (!d) continue;
        const std::string path = controlDir_ + "/unplug-" + d->name;
        if (syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK, 0) == 0) return true;
    }
    return false;
}

bool Vcam::checkPresent(Device* d) {
    Device* cam = d->camera;
    if (triggerExists(cam) || cam->timerUnplugged) {
        if (!cam->gone) unplug(cam);
        return false;
    }
    if (cam->gone && cam->deadFiles == 0 && (!cam->meta || cam->meta->deadFiles == 0)) cam->gone = false;
    return !cam->gone;
}

bool Vcam::present(Device* d) {
    std::lock_guard lk(mu);
    return checkPresent(d);
}

void Vcam::unplug(Device* cam) {
    cam->gone = true;
    for (Device* d : {cam, cam->meta}) {
        if (!d) continue;
        log(d, "unplug");
        if (d->queue->streaming) {
            d->queue->stop = true;
            d->queue->wake.notify_all();
        }
        for (OpenFile* f : d->files) {
            f->dead = true;
            ++d->deadFiles;
            // A byte left unread in the peer makes closing it reset the consumer's end:
            // POLLERR | POLLHUP for poll, select and epoll alike.
            [[maybe_unused]] auto n = ::send(f->ownFd, "u", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
            real::close(f->peerFd);
            f->peerFd = -1;
            if (d->owner == f) f->graveyard = d->queue;
        }
        d->files.clear();
        d->owner = nullptr;
        d->queue = std::make_shared<Queue>();
        resetDevice(d);
    }
    cv.notify_all();
}

short Vcam::maskLocked(OpenFile* f) {
    if (f->dead) return POLLERR | POLLHUP | POLLPRI;
    const Queue& q = *f->dev->queue;
    if (f->dev->cfg->kind != NodeKind::Camera || !q.streaming || q.waitingForBuffers) return POLLERR;
    return q.done.empty() ? 0 : POLLIN | POLLRDNORM;
}

void Vcam::setReady(OpenFile* f, bool want) {
    if (f->dead || want == f->ready) return;
    if (want) {
        [[maybe_unused]] auto n = ::send(f->peerFd, "r", 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
        char c;
        [[maybe_unused]] auto n = ::recv(f->ownFd, &c, 1, MSG_DONTWAIT);
    }
    f->ready = want;
}

void Vcam::sync(Device* d) {
    for (OpenFile* f : d->files) setReady(f, maskLocked(f) != 0);
}

short Vcam::pollMask(const std::shared_ptr<OpenFile>& f) {
    std::lock_guard lk(mu);
    if (!f->dead) checkPresent(f->dev);
    return maskLocked(f.get());
}

void Vcam::stopProducer(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Queue>& q) {
    q->stop = true;
    q->wake.notify_all();
    std::thread t = std::move(q->producer);
    if (t.joinable()) {
        lk.unlock();
        t.join();
        lk.lock();
    }
}

int Vcam::open(Device* d, int flags) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -errno;
    auto f = std::make_shared<OpenFile>();
    f->peerFd = sv[1];
    f->ownFd = real::fcntl(sv[0], F_DUPFD_CLOEXEC, reinterpret_cast<void*>(3L));
    real::fcntl(sv[1], F_SETFD, reinterpret_cast<void*>(static_cast<long>(FD_CLOEXEC)));
    real::fcntl(sv[1], F_SETFL, reinterpret_cast<void*>(static_cast<long>(O_NONBLOCK)));
    long fl = O_RDWR | (flags & O_NONBLOCK);
    real::fcntl(sv[0], F_SETFL, reinterpret_cast<void*>(fl));
    if (flags & O_CLOEXEC) real::fcntl(sv[0], F_SETFD, reinterpret_cast<void*>(static_cast<long>(FD_CLOEXEC)));
    struct stat st {};
    if (f->ownFd < 0 || real::fstatRaw(sv[0], &st) != 0) {
        const int e = errno;
        real::close(sv[0]);
        return -e;
    }
    f->stDev = st.st_dev;
    f->stIno = st.st_ino;
    nameSocket(sv[0], d->name, st.st_ino);
    {
        std::lock_guard lk(mu);
        if (!checkPresent(d)) {
            real::close(sv[0]);
            return -ENOENT;
        }
        f->dev = d;
        f->vcam = this;
        d->files.insert(f.get());
        sync(d);
        log(d, "open");
    }
    registerFd(sv[0], std::move(f));
    return sv[0];
}

void Vcam::release(OpenFile* f) {
    Device* d = f->dev;
    std::shared_ptr<Queue> old;
    {
        std::lock_guard io(d->ioctlMu);
        std::unique_lock lk(mu);
        if (f->dead) {
            old = std::move(f->graveyard);
            if (old) stopProducer(lk, old);
            --d->deadFiles;
            Device* cam = d->camera;
            if (cam->deadFiles == 0 && (!cam->meta || cam->meta->deadFiles == 0)) cam->timerUnplugged = false;
        } else {
            if (d->owner == f) {
                const bool streaming = d->queue->streaming;
                stopProducer(lk, d->queue);
                old = std::move(d->queue);
                d->queue = std::make_shared<Queue>();
                d->owner = nullptr;
                if (streaming) logStreamEnd(d, *old);
            }
            d->files.erase(f);
            sync(d);
        }
        log(d, "close");
        cv.notify_all();
    }
    old.reset();  // buffers go outside the locks
}

// --- descriptor table -------------------------------------------------------

std::shared_ptr<OpenFile> Vcam::lookup(int fd) {
    if (fd < 0 || !anyFds()) return nullptr;
    std::shared_ptr<OpenFile> stale;  // dropped after the lock: releasing takes other locks
    std::lock_guard lk(regMu_);
    const auto it = fds_.find(fd);
    if (it == fds_.end()) return nullptr;
    struct stat st {};
    if (real::fstatRaw(fd, &st) != 0 || st.st_ino != it->second->stIno || st.st_dev != it->second->stDev) {
        // Closed behind our back (close_range, a raw system call): forget it.
        stale = std::move(it->second);
        fds_.erase(it);
        liveFds_.fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    return it->second;
}

void Vcam::registerFd(int fd, std::shared_ptr<OpenFile> f) {
    std::shared_ptr<OpenFile> previous;  // dropped after the lock
    std::lock_guard lk(regMu_);
    auto& slot = fds_[fd];
    if (!slot) liveFds_.fetch_add(1, std::memory_order_release);
    previous = std::move(slot);
    slot = std::move(f);
}

std::shared_ptr<OpenFile> Vcam::unregisterFd(int fd) {
    if (fd < 0 || !anyFds()) return nullptr;
    std::lock_guard lk(regMu_);
    const auto it = fds_.find(fd);
    if (it == fds_.end()) return nullptr;
    auto f = std::move(it->second);
    fds_.erase(it);
    liveFds_.fetch_sub(1, std::memory_order_release);
    return f;
}

void Vcam::fillStat(Device* d, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_dev = makedev(0, 5);
    st->st_ino = 0x6b760000u + static_cast<unsigned>(d->number);
    st->st_mode = S_IFCHR | 0660;
    st->st_nlink = 1;
    st->st_gid = 44;  // video
    st->st_rdev = makedev(kVideoMajor, d->number);
    st->st_blksize = 4096;
}

// --- memory mapping -----------------------------------------------------------

void* Vcam::mmap(const std::shared_ptr<OpenFile>& f, void* addr, std::size_t len, int prot, int flags,
                 off_t offset) {
    std::shared_ptr<Buffer> buf;
    void* p = MAP_FAILED;
    {
        std::lock_guard lk(mu);
        if (f->dead || !checkPresent(f->dev) || f->dead) {
            errno = ENODEV;
            return MAP_FAILED;
        }
        for (const auto& b : f->dev->queue->bufs)
            if (b->offset == static_cast<std::uint64_t>(offset)) buf = b;
        if (!buf || len == 0 || len > pageAlign(buf->length) || !(flags & MAP_SHARED) || !(prot & PROT_READ)) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        p = real::mmap(addr, len, prot, flags, buf->memfd, 0);
        if (p == MAP_FAILED) return p;
        ++buf->mappings;
    }
    std::lock_guard lk(regMu_);
    maps_[p] = Mapping{f, buf};
    liveMaps_.fetch_add(1, std::memory_order_release);
    return p;
}

void Vcam::munmapped(void* addr) {
    Mapping m;
    {
        std::lock_guard lk(regMu_);
        const auto it = maps_.find(addr);
        if (it == maps_.end()) return;
        m = std::move(it->second);
        maps_.erase(it);
        liveMaps_.fetch_sub(1, std::memory_order_release);
    }
    if (auto b = m.buf.lock()) {
        std::lock_guard lk(mu);
        --b->mappings;
    }
}  // m.file may be the last reference: released here, without locks held

int Vcam::readCall(const std::shared_ptr<OpenFile>& f) {
    std::lock_guard lk(mu);
    if (f->dead || !checkPresent(f->dev)) return -ENODEV;
    return -EINVAL;
}

// --- the producer -------------------------------------------------------------

namespace {

// Damages a frame in place the way cameras and USB do, a different way
// each time (`k` counts the damaged frames); returns what was done.
const char* damageFrame(std::uint32_t fourcc, Size size, std::uint8_t* mem, std::uint32_t& used, std::uint64_t k) {
    std::uint64_t seed = k * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(seed >> 33);
    };
    const bool jpeg = fourcc == V4L2_PIX_FMT_MJPEG;
    switch (k % 5) {
        case 0:
            used = jpeg ? used / 3 : used / 2;
            return "truncated";
        case 1:
            // A few flipped bits in the headers and in the picture data.
            for (int i = 0; i < 8 && used > 2; ++i) mem[2 + next() % std::min<std::uint32_t>(used - 2, 600)] ^= 1u << (next() % 8);
            for (int i = 0; i < 8 && used > 0; ++i) mem[next() % used] ^= 1u << (next() % 8);
            return "bitflips";
        case 2:
            used = 0;
            return "empty";
        case 3:
            if (jpeg) {
                // The frame header claims twice the size of the mode.
                for (std::uint32_t i = 0; i + 8 < used; ++i) {
                    if (mem[i] == 0xff && mem[i + 1] == 0xc0) {
                        const std::uint32_t h = size.h * 2, w = size.w * 2;
                        mem[i + 5] = static_cast<std::uint8_t>(h >> 8);
                        mem[i + 6] = static_cast<std::uint8_t>(h);
                        mem[i + 7] = static_cast<std::uint8_t>(w >> 8);
                        mem[i + 8] = static_cast<std::uint8_t>(w);
                        return "oversized";
                    }
                }
            }
            used = used * 3 / 4;
            return "truncated";
        default:
            for (std::uint32_t i = 0; i < used; ++i) mem[i] = static_cast<std::uint8_t>(next());
            return "noise";
    }
}

}  // namespace

void Vcam::produce(Device* d, Queue* q) {
    const NodeConfig& cfg = *d->cfg;
    const std::string label = d->cfg->name + " " + sizeText(q->size) + " " + fourccText(q->fourcc);
    Renderer renderer(q->fourcc, q->size, label, d->cfg->scene);
    std::unique_lock lk(mu);
    std::uint64_t n = 0;  // last frame slot handled; slot m falls due at t0 + m * interval
    std::uint64_t lookVersion = 0;
    Look look;
    bool haveLook = false;
    if (cfg.prerender) {
        // Every frame of the ring encoded before the first falls due: the
        // stream's clock, and what counts from it, starts afterwards.
        look = makeLook(d->cfg->controls, d->values);
        lookVersion = d->ctrlVersion;
        haveLook = true;
        const auto begun = Clock::now();
        for (int k = 0; k < renderer.cycle() && !q->stop; ++k) {
            lk.unlock();
            renderer.frame(k, look);
            lk.lock();
        }
        const auto delay = Clock::now() - begun;
        q->t0 += delay;
        if (q->unplugAt) *q->unplugAt += delay;
    }
    while (!q->stop) {
        const auto due = q->t0 + std::chrono::nanoseconds(intervalsNs(q->interval, n + 1));
        auto wakeAt = due;
        if (q->unplugAt) wakeAt = std::min(wakeAt, *q->unplugAt);
        if (!controlDir_.empty()) wakeAt = std::min(wakeAt, Clock::now() + kTriggerPoll);
        q->wake.wait_until(lk, wakeAt, [&] { return q->stop; });
        if (q->stop) break;
        const auto now = Clock::now();
        if (q->unplugAt && now >= *q->unplugAt) {
            d->camera->timerUnplugged = true;
            unplug(d->camera);
            break;
        }
        if (!checkPresent(d)) break;
        if (now < due) continue;

        // The latest slot that is due; slots missed while late are dropped frames.
        const std::int64_t elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - q->t0).count();
        std::uint64_t m = n + 1;
        while (intervalsNs(q->interval, m + 1) <= elapsed) ++m;
        q->sequence += static_cast<std::uint32_t>(m - n - 1);
        q->lateSlots += m - n - 1;
        n = m;
        const std::int64_t ts =
            std::chrono::duration_cast<std::chrono::nanoseconds>(q->t0.time_since_epoch()).count() +
            intervalsNs(q->interval, m);

        if (cfg.silentAfterMs >= 0) {
            // A USB hiccup: frames stop without an error, and no number is skipped.
            const auto sinceStart = std::chrono::duration_cast<std::chrono::milliseconds>(now - q->t0).count();
            if (sinceStart >= cfg.silentAfterMs && sinceStart < cfg.silentAfterMs + cfg.silentForMs) continue;
        }
        if (q->queued.empty()) {  // no buffer: the frame is lost, its number too
            ++q->sequence;
            ++q->starvedSlots;
            continue;
        }
        Buffer* b = q->queued.front();
        q->queued.pop_front();
        b->state = Buffer::State::Active;
        if (!haveLook || lookVersion != d->ctrlVersion) {
            look = makeLook(d->cfg->controls, d->values);
            lookVersion = d->ctrlVersion;
            haveLook = true;
        }
        const Look frameLook = look;
        // A flash in the frame nearest each event: its timestamp within half
        // an interval of it.
        bool flash = false;
        if (d->cfg->syncFlash && syncPeriodNs_ > 0) {
            const std::int64_t half = intervalsNs(q->interval, 1) / 2;
            const std::int64_t from = ts - half;
            const std::int64_t event = (from + syncPeriodNs_ - 1) / syncPeriodNs_ * syncPeriodNs_;
            flash = event < ts + half + (intervalsNs(q->interval, 1) & 1);
        }
        lk.unlock();
        const auto& data =
            flash ? renderer.flash() : renderer.frame(static_cast<int>((m - 1) % renderer.cycle()), frameLook);
        const bool fits = !data.empty() && data.size() <= b->length;
        if (fits) std::memcpy(b->mem, data.data(), data.size());
        std::uint32_t used = fits ? static_cast<std::uint32_t>(data.size()) : 0;
        const char* damage = nullptr;
        if (fits && cfg.damageEvery > 0 && m % static_cast<std::uint64_t>(cfg.damageEvery) == 0)
            damage = damageFrame(q->fourcc, q->size, b->mem, used, m / static_cast<std::uint64_t>(cfg.damageEvery));
        lk.lock();
        if (q->stop) break;  // STREAMOFF resets the buffers once we are gone
        if (damage) log(d, std::string("damage ") + damage);
        b->state = Buffer::State::Done;
        b->bytesused = used;
        b->error = !fits || cfg.errorFrames;
        b->sequence = q->sequence++;
        b->timestampNs = ts;
        q->done.push_back(b);
        sync(d);
        cv.notify_all();
    }
}

// --- ioctls -------------------------------------------------------------------

int Vcam::ioctl(const std::shared_ptr<OpenFile>& f, int fd, unsigned long req, void* arg) {
    if (!arg && _IOC_SIZE(req) > 0) return -EFAULT;
    switch (req) {
        case VIDIOC_DQBUF:
            return dqbuf(f.get(), fd, arg);  // blocks; must not hold the ioctl lock
        case VIDIOC_REQBUFS:
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF:
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
        case VIDIOC_S_FMT:
        case VIDIOC_S_PARM: {
            std::lock_guard io(f->dev->ioctlMu);
            return streamIoctl(f.get(), fd, req, arg);
        }
        default:
            return doIoctl(f.get(), fd, req, arg);
    }
}

int Vcam::doIoctl(OpenFile* f, int, unsigned long req, void* arg) {
    std::lock_guard lk(mu);
    if (f->dead || !checkPresent(f->dev) || f->dead) return -ENODEV;
    Device* d = f->dev;
    const NodeConfig& s = *d->cfg;
    const bool camera = s.kind == NodeKind::Camera;

    switch (req) {
        case VIDIOC_QUERYCAP: {
            auto* c = static_cast<v4l2_capability*>(arg);
            std::memset(c, 0, sizeof *c);
            copyStr(c->driver, s.driver);
            copyStr(c->card, s.name);
            copyStr(c->bus_info, s.bus);
            c->version = kernelVersion_;
            std::uint32_t caps = 0;
            switch (s.kind) {
                case NodeKind::Camera: caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING; break;
                case NodeKind::Metadata: caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING; break;
                case NodeKind::Output: caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING; break;
            }
            c->device_caps = caps;
            c->capabilities = caps | V4L2_CAP_DEVICE_CAPS;
            if (d->camera && d->camera->meta) c->capabilities |= V4L2_CAP_META_CAPTURE | V4L2_CAP_VIDEO_CAPTURE;
            return 0;
        }
        case VIDIOC_G_PRIORITY:
            *static_cast<std::uint32_t*>(arg) = V4L2_PRIORITY_DEFAULT;
            return 0;
        case VIDIOC_S_PRIORITY:
            return *static_cast<std::uint32_t*>(arg) <= V4L2_PRIORITY_RECORD ? 0 : -EINVAL;

        case VIDIOC_ENUM_FMT: {
            auto* e = static_cast<v4l2_fmtdesc*>(arg);
            const std::uint32_t index = e->index, type = e->type;
            std::uint32_t fourcc = 0;
            std::string desc;
            if (camera && type == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                const auto list = fourccsOf(s);
                if (index >= list.size()) return -EINVAL;
                fourcc = list[index];
                desc = describe(fourcc);
            } else if (s.kind == NodeKind::Metadata && type == V4L2_BUF_TYPE_META_CAPTURE && index == 0) {
                fourcc = V4L2_META_FMT_UVC;
                desc = "UVC Payload Header Metadata";
            } else if (s.kind == NodeKind::Output && type == V4L2_BUF_TYPE_VIDEO_OUTPUT && index == 0) {
                fourcc = V4L2_PIX_FMT_YUYV;
                desc = describe(fourcc);
            } else {
                return -EINVAL;
            }
            std::memset(e, 0, sizeof *e);
            e->index = index;
            e->type = type;
            e->pixelformat = fourcc;
            e->flags = fourcc == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
            copyStr(e->description, desc);
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            if (!camera) return -ENOTTY;
            auto* e = static_cast<v4l2_frmsizeenum*>(arg);
            const auto entries = entriesOf(s, e->pixel_format);
            if (entries.empty()) return -EINVAL;
            const std::uint32_t index = e->index, pf = e->pixel_format;
            std::memset(e, 0, sizeof *e);
            e->index = index;
            e->pixel_format = pf;
            if (entries.front()->stepwise) {
                if (index != 0) return -EINVAL;
                const auto* x = entries.front();
                e->type = V4L2_FRMSIZE_TYPE_STEPWISE;
                e->stepwise = {x->min.w, x->max.w, x->step.w, x->min.h, x->max.h, x->step.h};
            } else {
                if (index >= entries.size()) return -EINVAL;
                e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                e->discrete = {entries[index]->size.w, entries[index]->size.h};
            }
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            if (!camera) return -ENOTTY;
            auto* e = static_cast<v4l2_frmivalenum*>(arg);
            const FormatEntry* x = entryFor(s, e->pixel_format, {e->width, e->height});
            if (!x || e->index >= x->intervals.size()) return -EINVAL;
            const v4l2_frmivalenum in = *e;
            std::memset(e, 0, sizeof *e);
            e->index = in.index;
            e->pixel_format = in.pixel_format;
            e->width = in.width;
            e->height = in.height;
            e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            e->discrete = {x->intervals[in.index].num, x->intervals[in.index].den};
            return 0;
        }
        case VIDIOC_G_FMT:
        case VIDIOC_TRY_FMT: {
            auto* fmt = static_cast<v4l2_format*>(arg);
            if (camera && fmt->type == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                if (req == VIDIOC_G_FMT) {
                    fillPix(fmt->fmt.pix, d->fourcc, d->size);
                } else {
                    auto [fourcc, size] = tryFormat(s, fmt->fmt.pix.pixelformat, {fmt->fmt.pix.width, fmt->fmt.pix.height});
                    fillPix(fmt->fmt.pix, fourcc, size);
                }
                return 0;
            }
            if (s.kind == NodeKind::Metadata && fmt->type == V4L2_BUF_TYPE_META_CAPTURE) {
                std::memset(&fmt->fmt.meta, 0, sizeof fmt->fmt.meta);
                fmt->fmt.meta.dataformat = V4L2_META_FMT_UVC;
                fmt->fmt.meta.buffersize = kMetaBufferSize;
                return 0;
            }
            if (s.kind == NodeKind::Output && fmt->type == V4L2_BUF_TYPE_VIDEO_OUTPUT) {
                fillPix(fmt->fmt.pix, V4L2_PIX_FMT_YUYV, {640, 480});
                return 0;
            }
            return -EINVAL;
        }
        case VIDIOC_G_PARM: {
            if (!camera) return -ENOTTY;
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            std::memset(&p->parm, 0, sizeof p->parm);
            p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            p->parm.capture.timeperframe = {d->interval.num, d->interval.den};
            return 0;
        }
        case VIDIOC_ENUMINPUT: {
            if (!camera) return -ENOTTY;
            auto* in = static_cast<v4l2_input*>(arg);
            if (in->index != 0) return -EINVAL;
            std::memset(in, 0, sizeof *in);
            copyStr(in->name, std::string("Camera 1"));
            in->type = V4L2_INPUT_TYPE_CAMERA;
            return 0;
        }
        case VIDIOC_G_INPUT:
            if (!camera) return -ENOTTY;
            *static_cast<int*>(arg) = 0;
            return 0;
        case VIDIOC_S_INPUT:
            if (!camera) return -ENOTTY;
            return *static_cast<int*>(arg) == 0 ? 0 : -EINVAL;
        case VIDIOC_CROPCAP: {
            if (!camera) return -ENOTTY;
            auto* c = static_cast<v4l2_cropcap*>(arg);
            if (c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            const v4l2_rect r{0, 0, d->size.w, d->size.h};
            c->bounds = c->defrect = r;
            c->pixelaspect = {1, 1};
            return 0;
        }
        case VIDIOC_G_SELECTION: {
            if (!camera) return -ENOTTY;
            auto* sel = static_cast<v4l2_selection*>(arg);
            if (sel->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
                (sel->target != V4L2_SEL_TGT_CROP_DEFAULT && sel->target != V4L2_SEL_TGT_CROP_BOUNDS))
                return -EINVAL;
            sel->r = {0, 0, d->size.w, d->size.h};
            return 0;
        }
        case VIDIOC_G_CROP:
            return camera ? -EINVAL : -ENOTTY;

        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERY_EXT_CTRL:
        case VIDIOC_QUERYMENU:
        case VIDIOC_G_CTRL:
        case VIDIOC_S_CTRL:
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS:
            if (!camera) return -ENOTTY;
            return ctrlIoctl(f, req, arg);

        default:
            // ENUMSTD, G_STD, S_STD, QUERYSTD, S_SELECTION, S_CROP, EXPBUF, CREATE_BUFS,
            // PREPARE_BUF, SUBSCRIBE_EVENT, LOG_STATUS and everything else.
            return -ENOTTY;
    }
}

int Vcam::ctrlIoctl(OpenFile* f, unsigned long req, void* arg) {
    Device* d = f->dev;
    switch (req) {
        case VIDIOC_QUERYCTRL:
        case VIDIOC_QUERY_EXT_CTRL: {
            std::uint32_t id = req == VIDIOC_QUERYCTRL ? static_cast<v4l2_queryctrl*>(arg)->id
                                                       : static_cast<v4l2_query_ext_ctrl*>(arg)->id;
            const std::uint32_t nextFlags = id & (V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
            id &= ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
            const auto entries = ctrlEntries(d);
            const CtrlEntry* hit = nullptr;
            if (nextFlags & V4L2_CTRL_FLAG_NEXT_CTRL) {  // no compound controls here
                for (const auto& e : entries)
                    if (e.id > id) {
                        hit = &e;
                        break;
                    }
            } else if (!nextFlags) {
                for (const auto& e : entries)
                    if (e.id == id) hit = &e;
            }
            if (!hit) return -EINVAL;
            std::uint32_t type = V4L2_CTRL_TYPE_CTRL_CLASS, flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
            std::int32_t mn = 0, mx = 0, st = 0, df = 0;
            std::string name = className(hit->id);
            if (hit->cfg) {
                const ControlConfig& c = *hit->cfg;
                type = c.info->type == CtrlType::Integer   ? V4L2_CTRL_TYPE_INTEGER
                       : c.info->type == CtrlType::Boolean ? V4L2_CTRL_TYPE_BOOLEAN
                                                           : V4L2_CTRL_TYPE_MENU;
                flags = isInactive(d, c, d->values) ? V4L2_CTRL_FLAG_INACTIVE : 0;
                mn = c.min, mx = c.max, st = c.step, df = c.def;
                name = std::string(c.info->kernelName);
            }
            if (req == VIDIOC_QUERYCTRL) {
                auto* q = static_cast<v4l2_queryctrl*>(arg);
                std::memset(q, 0, sizeof *q);
                q->id = hit->id, q->type = type, q->flags = flags;
                q->minimum = mn, q->maximum = mx, q->step = st, q->default_value = df;
                copyStr(q->name, name);
            } else {
                auto* q = static_cast<v4l2_query_ext_ctrl*>(arg);
                std::memset(q, 0, sizeof *q);
                q->id = hit->id, q->type = type, q->flags = flags;
                q->minimum = mn, q->maximum = mx, q->step = static_cast<std::uint64_t>(st), q->default_value = df;
                q->elem_size = hit->cfg ? 4 : 0;
                q->elems = 1;
                copyStr(q->name, name);
            }
            return 0;
        }
        case VIDIOC_QUERYMENU: {
            auto* m = static_cast<v4l2_querymenu*>(arg);
            const ControlConfig* c = controlOf(d, m->id);
            if (!c || c->info->type != CtrlType::Menu) return -EINVAL;
            if (static_cast<std::int64_t>(m->index) < c->min || static_cast<std::int64_t>(m->index) > c->max)
                return -EINVAL;
            const std::uint32_t id = m->id, index = m->index;
            std::memset(m, 0, sizeof *m);
            m->id = id;
            m->index = index;
            std::snprintf(reinterpret_cast<char*>(static_cast<void*>(m->name)), sizeof m->name, "%s", c->info->menu[index]);
            return 0;
        }
        case VIDIOC_G_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            if (!controlOf(d, c->id)) return -EINVAL;
            c->value = d->values.at(c->id);
            return 0;
        }
        case VIDIOC_S_CTRL: {
            auto* c = static_cast<v4l2_control*>(arg);
            const ControlConfig* cfg = controlOf(d, c->id);
            if (!cfg) return -EINVAL;
            std::int64_t v = c->value;
            if (const int e = adjustValue(*cfg, v)) return e;
            if (isInactive(d, *cfg, d->values)) {
                log(d, "s_ctrl " + std::string(cfg->info->key) + " " + std::to_string(v) + " EBUSY");
                return -EBUSY;
            }
            d->values[c->id] = static_cast<std::int32_t>(v);
            ++d->ctrlVersion;
            c->value = static_cast<std::int32_t>(v);
            log(d, "s_ctrl " + std::string(cfg->info->key) + " " + std::to_string(v));
            return 0;
        }
        case VIDIOC_G_EXT_CTRLS:
        case VIDIOC_S_EXT_CTRLS:
        case VIDIOC_TRY_EXT_CTRLS: {
            auto* cs = static_cast<v4l2_ext_controls*>(arg);
            const std::uint32_t which = cs->which;
            const bool def = which == V4L2_CTRL_WHICH_DEF_VAL;
            if (which != V4L2_CTRL_WHICH_CUR_VAL && !def && (which & 0xf000ffff) != 0) return -EINVAL;
            if (def && req != VIDIOC_G_EXT_CTRLS) return -EINVAL;
            if (cs->count == 0) return 0;
            if (cs->count > 1024 || !cs->controls) return -EINVAL;
            const bool set = req == VIDIOC_S_EXT_CTRLS;
            auto values = d->values;
            std::vector<std::pair<const ControlConfig*, std::int32_t>> changes;
            for (std::uint32_t i = 0; i < cs->count; ++i) {
                v4l2_ext_control& c = cs->controls[i];
                const ControlConfig* cfg = controlOf(d, c.id);
                if (!cfg || (which != V4L2_CTRL_WHICH_CUR_VAL && !def && classOf(c.id) != which)) {
                    cs->error_idx = set ? cs->count : i;
                    return -EINVAL;
                }
                if (req == VIDIOC_G_EXT_CTRLS) {
                    c.value = def ? cfg->def : values.at(c.id);
                    continue;
                }
                std::int64_t v = c.value;
                int e = adjustValue(*cfg, v);
                if (!e && isInactive(d, *cfg, values)) {
                    e = -EBUSY;
                    if (set) log(d, "s_ctrl " + std::string(cfg->info->key) + " " + std::to_string(v) + " EBUSY");
                }
                if (e) {
                    cs->error_idx = set ? cs->count : i;
                    return e;
                }
                c.value = static_cast<std::int32_t>(v);
                values[c.id] = c.value;
                changes.emplace_back(cfg, static_cast<std::int32_t>(v));
            }
            if (set) {
                d->values = std::move(values);
                ++d->ctrlVersion;
                for (const auto& [cfg, v] : changes)
                    log(d, "s_ctrl " + std::string(cfg->info->key) + " " + std::to_string(v));
            }
            return 0;
        }
    }
    return -ENOTTY;
}

int Vcam::streamIoctl(OpenFile* f, int, unsigned long req, void* arg) {
    std::unique_lock lk(mu);
    if (f->dead || !checkPresent(f->dev) || f->dead) return -ENODEV;
    Device* d = f->dev;
    const NodeConfig& s = *d->cfg;
    if (s.kind == NodeKind::Output) return -ENOTTY;
    auto acquire = [&] {
        if (d->owner && d->owner != f) return false;
        d->owner = f;
        return true;
    };

    if (s.kind == NodeKind::Metadata) {
        if (req == VIDIOC_S_FMT) {
            auto* fmt = static_cast<v4l2_format*>(arg);
            if (fmt->type != V4L2_BUF_TYPE_META_CAPTURE) return -EINVAL;
            std::memset(&fmt->fmt.meta, 0, sizeof fmt->fmt.meta);
            fmt->fmt.meta.dataformat = V4L2_META_FMT_UVC;
            fmt->fmt.meta.buffersize = kMetaBufferSize;
            return 0;
        }
        return req == VIDIOC_S_PARM ? -ENOTTY : -EINVAL;
    }

    switch (req) {
        case VIDIOC_S_FMT: {
            auto* fmt = static_cast<v4l2_format*>(arg);
            if (!acquire()) return -EBUSY;
            if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            if (s.busyAtSfmt) {
                log(d, "s_fmt EBUSY");
                return -EBUSY;
            }
            auto [fourcc, size] = tryFormat(s, fmt->fmt.pix.pixelformat, {fmt->fmt.pix.width, fmt->fmt.pix.height});
            if (!d->queue->bufs.empty()) return -EBUSY;
            d->fourcc = fourcc;
            d->size = size;
            d->interval = entryFor(s, fourcc, size)->intervals.front();
            fillPix(fmt->fmt.pix, fourcc, size);
            log(d, "s_fmt " + fourccText(fourcc) + " " + sizeText(size));
            return 0;
        }
        case VIDIOC_S_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (!acquire()) return -EBUSY;
            if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            if (d->queue->streaming) return -EBUSY;
            const auto& tpf = p->parm.capture.timeperframe;
            // uvcvideo works in 100 ns units; a zero denominator means "as long as possible".
            const std::uint64_t want = tpf.denominator == 0 ? UINT64_MAX
                                                            : std::uint64_t(tpf.numerator) * 10000000u / tpf.denominator;
            const FormatEntry* e = entryFor(s, d->fourcc, d->size);
            Fraction best = e->intervals.front();
            std::uint64_t bestDist = UINT64_MAX;
            for (const Fraction& c : e->intervals) {
                const std::uint64_t v = std::uint64_t(c.num) * 10000000u / c.den;
                const std::uint64_t dist = want > v ? want - v : v - want;
                if (dist < bestDist || (dist == bestDist && v > std::uint64_t(best.num) * 10000000u / best.den)) {
                    bestDist = dist;
                    best = c;
                }
            }
            d->interval = best;
            std::memset(&p->parm, 0, sizeof p->parm);
            p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
            p->parm.capture.timeperframe = {best.num, best.den};
            log(d, "s_parm " + fractionText(best));
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(arg);
            if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP) return -EINVAL;
            if (!acquire()) return -EBUSY;
            Queue& q = *d->queue;
            if (q.streaming) return -EBUSY;
            if (s.busyAtReqbufs && r->count > 0) {
                d->owner = nullptr;
                log(d, "reqbufs EBUSY");
                return -EBUSY;
            }
            std::vector<std::shared_ptr<Buffer>> old = std::move(q.bufs);
            q.bufs.clear();
            q.queued.clear();
            q.done.clear();
            q.waitingForBuffers = true;
            const std::uint32_t count = r->count == 0 ? 0 : std::min(r->count, kMaxBuffers);
            const std::uint32_t length = sizeImage(d->fourcc, d->size.w, d->size.h);
            std::uint32_t offset = 0;
            for (std::uint32_t i = 0; i < count; ++i) {
                auto b = std::make_shared<Buffer>();
                b->index = i;
                b->length = length;
                b->offset = offset;
                offset += static_cast<std::uint32_t>(pageAlign(length));
                b->memfd = static_cast<int>(syscall(SYS_memfd_create, "kinovo-vcam-buffer", MFD_CLOEXEC));
                if (b->memfd < 0 || ::ftruncate(b->memfd, static_cast<off_t>(pageAlign(length))) != 0) {
                    q.bufs.clear();
                    return -ENOMEM;
                }
                void* m = real::mmap(nullptr, pageAlign(length), PROT_READ | PROT_WRITE, MAP_SHARED, b->memfd, 0);
                if (m == MAP_FAILED) {
                    q.bufs.clear();
                    return -ENOMEM;
                }
                b->mem = static_cast<std::uint8_t*>(m);
                q.bufs.push_back(std::move(b));
            }
            if (count == 0) d->owner = nullptr;  // uvcvideo gives the stream up with its buffers
            r->count = count;
            r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
            std::memset(r->reserved, 0, sizeof r->reserved);
            log(d, "reqbufs " + std::to_string(count));
            sync(d);
            lk.unlock();
            old.clear();  // unmapping may take a while; not under the lock
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (d->owner != f) return -EBUSY;
            Queue& q = *d->queue;
            if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->index >= q.bufs.size()) return -EINVAL;
            Buffer& buf = *q.bufs[b->index];
            if (req == VIDIOC_QBUF) {
                if (b->memory != V4L2_MEMORY_MMAP || buf.state != Buffer::State::Dequeued) return -EINVAL;
                buf.state = Buffer::State::Queued;
                q.queued.push_back(&buf);
                q.waitingForBuffers = false;
                sync(d);
            }
            const std::uint32_t index = b->index;
            std::memset(b, 0, sizeof *b);
            b->index = index;
            b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b->memory = V4L2_MEMORY_MMAP;
            b->m.offset = buf.offset;
            b->length = buf.length;
            b->field = V4L2_FIELD_NONE;
            b->bytesused = buf.state == Buffer::State::Done ? buf.bytesused : 0;
            b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
            if (buf.mappings > 0) b->flags |= V4L2_BUF_FLAG_MAPPED;
            if (buf.state == Buffer::State::Queued || buf.state == Buffer::State::Active)
                b->flags |= V4L2_BUF_FLAG_QUEUED;
            if (buf.state == Buffer::State::Done) b->flags |= V4L2_BUF_FLAG_DONE | (buf.error ? V4L2_BUF_FLAG_ERROR : 0);
            return 0;
        }
        case VIDIOC_STREAMON: {
            if (d->owner != f) return -EBUSY;
            if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            const auto q = d->queue;
            if (q->streaming) return 0;
            if (q->bufs.empty()) return -EINVAL;
            if (s.busyAtStreamon) {
                log(d, "streamon EBUSY");
                return -EBUSY;
            }
            q->streaming = true;
            q->stop = false;
            q->fourcc = d->fourcc;
            q->size = d->size;
            q->interval = d->interval;
            q->sequence = 0;
            q->lateSlots = q->starvedSlots = q->dequeued = 0;
            q->eioGiven = false;
            q->t0 = Clock::now();
            q->unplugAt.reset();
            if (s.unplugAfterMs >= 0) q->unplugAt = q->t0 + std::chrono::milliseconds(s.unplugAfterMs);
            try {
                q->producer = std::thread([this, d, raw = q.get()] { produce(d, raw); });
            } catch (const std::system_error&) {
                q->streaming = false;
                return -ENOMEM;
            }
            log(d, "streamon " + fourccText(q->fourcc) + " " + sizeText(q->size) + " " + fractionText(q->interval));
            sync(d);
            return 0;
        }
        case VIDIOC_STREAMOFF: {
            if (d->owner != f) return -EBUSY;
            if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
            const auto q = d->queue;
            const bool wasStreaming = q->streaming;
            stopProducer(lk, q);
            if (f->dead) return -ENODEV;  // unplugged while we waited for the producer
            for (auto& b : q->bufs) b->state = Buffer::State::Dequeued;
            q->queued.clear();
            q->done.clear();
            q->streaming = false;
            q->stop = false;
            q->waitingForBuffers = true;
            if (wasStreaming) logStreamEnd(d, *q);
            sync(d);
            cv.notify_all();
            return 0;
        }
    }
    return -ENOTTY;
}

int Vcam::dqbuf(OpenFile* f, int fd, void* arg) {
    auto* b = static_cast<v4l2_buffer*>(arg);
    const bool nonblocking = (real::fcntl(fd, F_GETFL, nullptr) & O_NONBLOCK) != 0;
    std::unique_lock lk(mu);
    for (;;) {
        if (f->dead || !checkPresent(f->dev) || f->dead) return -ENODEV;
        Device* d = f->dev;
        if (d->cfg->kind != NodeKind::Camera) return d->cfg->kind == NodeKind::Output ? -ENOTTY : -EINVAL;
        if (d->owner != f) return -EBUSY;
        if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return -EINVAL;
        Queue& q = *d->queue;
        if (!q.streaming) return -EINVAL;
        if (!q.done.empty()) {
            // A USB hiccup: the dequeue fails, the frame stays for the next one.
            const NodeConfig& cfg = *d->cfg;
            if (cfg.dqbufEioAfterMs >= 0 && Clock::now() - q.t0 >= std::chrono::milliseconds(cfg.dqbufEioAfterMs))
                return -EIO;
            if (cfg.dqbufEioEvery > 0 && (q.dequeued + 1) % static_cast<std::uint64_t>(cfg.dqbufEioEvery) == 0 &&
                !q.eioGiven) {
                q.eioGiven = true;
                return -EIO;
            }
            ++q.dequeued;
            q.eioGiven = false;
            Buffer& buf = *q.done.front();
            q.done.pop_front();
            buf.state = Buffer::State::Dequeued;
            std::memset(b, 0, sizeof *b);
            b->index = buf.index;
            b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b->memory = V4L2_MEMORY_MMAP;
            b->m.offset = buf.offset;
            b->length = buf.length;
            b->bytesused = buf.bytesused;
            b->field = V4L2_FIELD_NONE;
            b->sequence = buf.sequence;
            b->timestamp.tv_sec = buf.timestampNs / 1000000000;
            b->timestamp.tv_usec = (buf.timestampNs % 1000000000) / 1000;
            b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE | V4L2_BUF_FLAG_DONE;
            if (buf.error) b->flags |= V4L2_BUF_FLAG_ERROR;
            if (buf.mappings > 0) b->flags |= V4L2_BUF_FLAG_MAPPED;
            sync(d);
            return 0;
        }
        if (nonblocking) return -EAGAIN;
        // Woken by frames, STREAMOFF and unplug; the timeout only re-checks the trigger file.
        if (controlDir_.empty())
            cv.wait(lk);
        else
            cv.wait_for(lk, kTriggerPoll);
    }
}

}  // namespace kv
