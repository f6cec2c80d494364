// The libc entry points this library stands in for. Each one hands the
// virtual nodes' paths and descriptors to the driver and everything else to
// the next definition (libc, or a sanitizer's interceptor).
#include "real.h"
#include "vcam.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using kv::Vcam;

namespace {

// N for "/dev/videoN", else -1.
int nodeNumber(const char* path) {
    static constexpr char prefix[] = "/dev/video";
    if (!path || std::strncmp(path, prefix, sizeof prefix - 1) != 0) return -1;
    const char* p = path + sizeof prefix - 1;
    if (!*p) return -1;
    int n = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 1000) return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

kv::Device* nodeFor(const char* path, Vcam** vcam) {
    const int n = nodeNumber(path);
    if (n < 0) return nullptr;
    Vcam* v = Vcam::get();
    if (!v) return nullptr;
    *vcam = v;
    return v->node(n);
}

// The few sysfs attributes tools read to learn what a node is.
bool sysfsText(const char* path, std::string& out) {
    // Only video nodes' attributes: other /sys reads (libnuma's, before
    // main()) must not make the library read its settings that early.
    if (!path || (std::strncmp(path, "/sys/class/video4linux/", 23) != 0 &&
                  std::strncmp(path, "/sys/dev/char/81:", 17) != 0))
        return false;
    Vcam* v = Vcam::get();
    if (!v) return false;
    for (kv::Device* d : v->devices()) {
        const std::string n = std::to_string(d->number);
        const std::string uevent = "MAJOR=81\nMINOR=" + n + "\nDEVNAME=" + d->name + "\n";
        const std::string cls = "/sys/class/video4linux/" + d->name + "/";
        const std::pair<std::string, std::string> files[] = {
            {"/sys/dev/char/81:" + n + "/uevent", uevent},
            {cls + "uevent", uevent},
            {cls + "name", d->cfg->name + "\n"},
            {cls + "dev", "81:" + n + "\n"},
            {cls + "index", std::string(d->cfg->kind == kv::NodeKind::Metadata ? "1" : "0") + "\n"},
        };
        for (const auto& [p, text] : files)
            if (p == path) {
                if (!v->present(d)) return false;
                out = text;
                return true;
            }
    }
    return false;
}

// A descriptor holding `text`, positioned at its start.
int textFd(const std::string& text, int flags) {
    const int fd = static_cast<int>(syscall(SYS_memfd_create, "kinovo-vcam-sysfs", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0));
    if (fd < 0) return -1;
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::lseek(fd, 0, SEEK_SET) != 0) {
        const int e = errno;
        kv::real::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

template <typename Fn>
int openNode(const char* path, int flags, Fn&& next) {
    Vcam* v = nullptr;
    if (kv::Device* d = nodeFor(path, &v)) {
        const int r = v->open(d, flags);
        if (r < 0) {
            errno = -r;
            return -1;
        }
        return r;
    }
    if (std::string text; sysfsText(path, text)) return textFd(text, flags);
    return next();
}

mode_t modeArg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

std::shared_ptr<kv::OpenFile> ours(int fd) {
    Vcam* v = Vcam::peek();
    return v ? v->lookup(fd) : nullptr;
}

int fail(int e) {
    errno = e;
    return -1;
}

// 1: not a virtual node; 0: filled; -1: errno set.
int pathStat(const char* path, struct stat* st) {
    Vcam* v = nullptr;
    kv::Device* d = nodeFor(path, &v);
    if (!d) return 1;
    if (!v->present(d)) return fail(ENOENT);
    v->fillStat(d, st);
    return 0;
}

int fdStat(int fd, struct stat* st) {
    auto f = ours(fd);
    if (!f) return 1;
    f->vcam->fillStat(f->dev, st);
    return 0;
}

int atStat(int dirfd, const char* path, struct stat* st, int flags) {
    if (path && path[0] == '/') return pathStat(path, st);
    if (path && !path[0] && (flags & AT_EMPTY_PATH)) return fdStat(dirfd, st);
    return 1;
}

int pathAccess(const char* path) {
    Vcam* v = nullptr;
    kv::Device* d = nodeFor(path, &v);
    if (!d) return 1;
    return v->present(d) ? 0 : fail(ENOENT);
}

// The next definition of `name`, cached once found.
template <typename Fn>
Fn nextFn(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (!p && (p = kv::real::next(name))) slot.store(p, std::memory_order_release);
    return reinterpret_cast<Fn>(p);
}

#define KV_NEXT(var, type, name)                 \
    static std::atomic<void*> var##Slot{nullptr}; \
    const auto var = nextFn<type>(var##Slot, name)

// poll() for a set that holds virtual descriptors: the driver says what they
// report; the kernel waits on their readiness bytes (and sees the hang-up of
// an unplugged one even when no input event is asked for).
template <typename Wait>
int pollVirtual(struct pollfd* fds, nfds_t n, long long timeoutMs, Wait&& wait) {
    Vcam* v = Vcam::peek();
    if (!v || !v->anyFds() || !fds) return wait(timeoutMs);
    struct Entry {
        nfds_t i;
        short events;
        std::shared_ptr<kv::OpenFile> f;
    };
    std::vector<Entry> mine;
    for (nfds_t i = 0; i < n; ++i)
        if (auto f = v->lookup(fds[i].fd)) mine.push_back({i, fds[i].events, std::move(f)});
    if (mine.empty()) return wait(timeoutMs);

    auto answer = [&](const Entry& e) {
        return static_cast<short>(v->pollMask(e.f) & (e.events | POLLERR | POLLHUP | POLLNVAL));
    };
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        bool readyNow = false;
        for (const auto& e : mine) readyNow = readyNow || answer(e) != 0;
        long long left = timeoutMs < 0 ? -1
                                       : std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                    deadline - Clock::now()).count());
        if (readyNow) left = 0;  // still collect the other descriptors' state
        for (const auto& e : mine) fds[e.i].events = (e.events & (POLLIN | POLLRDNORM)) ? POLLIN : 0;
        const int r = wait(left);
        const int err = errno;
        for (const auto& e : mine) fds[e.i].events = e.events;
        if (r < 0) {
            errno = err;
            return r;
        }
        for (const auto& e : mine) fds[e.i].revents = answer(e);
        int count = 0;
        for (nfds_t i = 0; i < n; ++i) count += fds[i].revents != 0;
        if (count > 0 || (r == 0 && !readyNow)) return count;
        if (timeoutMs >= 0 && Clock::now() >= deadline) return 0;
        // A frame taken by another thread between the looks: wait again.
    }
}

// --- descriptor links -------------------------------------------------------

constexpr char kSocketLink[] = "socket:[";
constexpr std::size_t kSocketLinkLength = sizeof kSocketLink - 1;

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// For a descriptor link "/proc/P/fd/N" (P a pid, "self" or "thread-self",
// or "PID/task/TID"), its "/proc/P"; else empty.
std::string_view procOfFdLink(std::string_view path) {
    static constexpr std::string_view proc = "/proc/";
    const auto fd = path.rfind("/fd/");
    if (!path.starts_with(proc) || fd == std::string_view::npos || fd <= proc.size() || !allDigits(path.substr(fd + 4)))
        return {};
    std::string_view who = path.substr(proc.size(), fd - proc.size());
    if (const auto task = who.find("/task/"); task != std::string_view::npos) {
        if (!allDigits(who.substr(task + 6))) return {};
        who = who.substr(0, task);
    }
    if (!allDigits(who) && who != "self" && who != "thread-self") return {};
    return path.substr(0, fd);
}

// `path` relative to `dirfd` as an absolute path when it may be a
// descriptor link (it ends in a number); else empty.
std::string fdLinkPath(int dirfd, const char* path) {
    const std::string_view p(path);
    if (p.starts_with('/')) return std::string(p);
    const auto slash = p.rfind('/');
    if (!allDigits(p.substr(slash == std::string_view::npos ? 0 : slash + 1))) return {};
    char dir[PATH_MAX];
    const std::string of = dirfd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/" + std::to_string(dirfd);
    const long n = syscall(SYS_readlinkat, AT_FDCWD, of.c_str(), dir, sizeof dir);
    return n > 0 ? std::string(dir, static_cast<std::size_t>(n)) + "/" + path : std::string();
}

// The node ("video0") whose descriptor is the socket of `link`
// ("socket:[INODE]"), from the sockets table of the process at `proc`;
// empty when it is no node's.
std::string nodeOfSocket(std::string_view proc, std::string_view link) {
    if (!link.starts_with(kSocketLink) || !link.ends_with(']')) return {};
    const std::string_view inode = link.substr(kSocketLinkLength, link.size() - kSocketLinkLength - 1);
    bool ok = false;
    const std::string table = kv::readFile((std::string(proc) + "/net/unix").c_str(), ok);
    // Lines end with the path, here "@kinovo-vcam:video0:INODE".
    const std::string tag = std::string("@") + kv::kSocketNamePrefix;
    for (auto at = table.find(tag); at != std::string::npos; at = table.find(tag, at + 1)) {
        const auto begin = at + tag.size();
        const std::string_view name(table.data() + begin, std::min(table.find('\n', begin), table.size()) - begin);
        const auto colon = name.rfind(':');
        if (colon == std::string_view::npos || name.substr(colon + 1) != inode) continue;
        const std::string_view node = name.substr(0, colon);
        if (node.starts_with("video") && allDigits(node.substr(5))) return std::string(node);
    }
    return {};
}

// readlink of `path` (relative to `dirfd`) through `next(buffer, size)`: a
// descriptor link to a virtual node's socket reads as the node's path,
// "/dev/videoN", in whichever process it was opened, as the kernel shows a
// device's. Nothing is written past what is returned.
template <typename Next>
ssize_t readLink(int dirfd, const char* path, char* buf, std::size_t size, Next&& next) {
    if (!path || !buf || size == 0) return next(buf, size);
    const int saved = errno;  // what the looking around leaves in it is not the caller's
    const std::string full = fdLinkPath(dirfd, path);
    const std::string_view proc = procOfFdLink(full);
    const bool link = !proc.empty() && Vcam::get();
    errno = saved;
    if (!link) return next(buf, size);
    char whole[PATH_MAX];
    const ssize_t r = next(whole, sizeof whole);
    if (r < 0) return r;
    std::string text(whole, static_cast<std::size_t>(r));
    if (const std::string node = nodeOfSocket(proc, text); !node.empty()) text = "/dev/" + node;
    errno = saved;
    const std::size_t n = std::min(size, text.size());  // cut short like the kernel's, without a NUL
    std::memcpy(buf, text.data(), n);
    return static_cast<ssize_t>(n);
}

// Directory listings of /dev gain the virtual nodes.
struct DevDir {
    std::size_t next = 0;
    struct dirent64 entry {};
};
std::mutex g_dirMu;
std::unordered_map<DIR*, DevDir>& devDirs() {
    static auto* m = new std::unordered_map<DIR*, DevDir>;
    return *m;
}

template <typename Ent, typename Fn>
Ent* readdirImpl(DIR* dir, Fn next) {
    const int saved = errno;
    Ent* e = next ? next(dir) : nullptr;
    if (e || errno != saved || !Vcam::peek()) return e;
    std::lock_guard lk(g_dirMu);
    auto it = devDirs().find(dir);
    if (it == devDirs().end()) return nullptr;
    Vcam* v = Vcam::peek();
    if (!v) return nullptr;
    const auto nodes = v->devices();
    while (it->second.next < nodes.size()) {
        kv::Device* d = nodes[it->second.next++];
        if (!v->present(d)) continue;
        auto& ent = it->second.entry;
        std::memset(&ent, 0, sizeof ent);
        ent.d_ino = 0x6b760000u + static_cast<unsigned>(d->number);
        ent.d_off = static_cast<off64_t>(it->second.next);
        ent.d_reclen = sizeof ent;
        ent.d_type = DT_CHR;
        std::snprintf(ent.d_name, sizeof ent.d_name, "%s", d->name.c_str());
        static_assert(sizeof(Ent) == sizeof(struct dirent64));
        return reinterpret_cast<Ent*>(&ent);
    }
    return nullptr;
}

}  // namespace

#define KV_EXPORT(name) __asm__(#name) __attribute__((visibility("default")))

extern "C" {

// --- open -------------------------------------------------------------------

int kv_open(const char* path, int flags, ...) KV_EXPORT(open);
int kv_open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openNode(path, flags, [&] { return kv::real::open(path, flags, mode); });
}

int kv_open64(const char* path, int flags, ...) KV_EXPORT(open64);
int kv_open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openNode(path, flags, [&] { return kv::real::open(path, flags | O_LARGEFILE, mode); });
}

int kv_openat(int dirfd, const char* path, int flags, ...) KV_EXPORT(openat);
int kv_openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openNode(path, flags, [&] { return kv::real::openat(dirfd, path, flags, mode); });
}

int kv_openat64(int dirfd, const char* path, int flags, ...) KV_EXPORT(openat64);
int kv_openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArg(flags, ap);
    va_end(ap);
    return openNode(path, flags, [&] { return kv::real::openat(dirfd, path, flags | O_LARGEFILE, mode); });
}

int kv___open_2(const char* path, int flags) KV_EXPORT(__open_2);
int kv___open_2(const char* path, int flags) {
    return openNode(path, flags, [&] { return kv::real::open(path, flags, 0); });
}

int kv___open64_2(const char* path, int flags) KV_EXPORT(__open64_2);
int kv___open64_2(const char* path, int flags) {
    return openNode(path, flags, [&] { return kv::real::open(path, flags | O_LARGEFILE, 0); });
}

int kv___openat_2(int dirfd, const char* path, int flags) KV_EXPORT(__openat_2);
int kv___openat_2(int dirfd, const char* path, int flags) {
    return openNode(path, flags, [&] { return kv::real::openat(dirfd, path, flags, 0); });
}

int kv___openat64_2(int dirfd, const char* path, int flags) KV_EXPORT(__openat64_2);
int kv___openat64_2(int dirfd, const char* path, int flags) {
    return openNode(path, flags, [&] { return kv::real::openat(dirfd, path, flags | O_LARGEFILE, 0); });
}

// --- descriptors ------------------------------------------------------------

int kv_close(int fd) KV_EXPORT(close);
int kv_close(int fd) {
    Vcam* v = Vcam::peek();
    if (!v || !v->anyFds()) return kv::real::close(fd);
    auto f = v->unregisterFd(fd);
    const int r = kv::real::close(fd);
    const int e = errno;
    f.reset();  // may release the open file
    errno = e;
    return r;
}

int kv_dup(int fd) KV_EXPORT(dup);
int kv_dup(int fd) {
    const int r = kv::real::dup(fd);
    if (r >= 0)
        if (auto f = ours(fd)) Vcam::peek()->registerFd(r, std::move(f));
    return r;
}

namespace {
int dupTo(int fd, int fd2, int r) {
    if (r < 0 || fd == fd2) return r;
    Vcam* v = Vcam::peek();
    if (!v) return r;
    if (auto f = v->lookup(fd)) {
        v->registerFd(r, std::move(f));
    } else {
        auto old = v->unregisterFd(r);  // the target was closed by the dup
    }
    return r;
}
}  // namespace

int kv_dup2(int fd, int fd2) KV_EXPORT(dup2);
int kv_dup2(int fd, int fd2) { return dupTo(fd, fd2, kv::real::dup2(fd, fd2)); }

int kv_dup3(int fd, int fd2, int flags) KV_EXPORT(dup3);
int kv_dup3(int fd, int fd2, int flags) { return dupTo(fd, fd2, kv::real::dup3(fd, fd2, flags)); }

namespace {
int fcntlImpl(int fd, int cmd, void* arg) {
    const int r = kv::real::fcntl(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC))
        if (auto f = ours(fd)) Vcam::peek()->registerFd(r, std::move(f));
    return r;
}
}  // namespace

int kv_fcntl(int fd, int cmd, ...) KV_EXPORT(fcntl);
int kv_fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntlImpl(fd, cmd, arg);
}

int kv_fcntl64(int fd, int cmd, ...) KV_EXPORT(fcntl64);
int kv_fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return fcntlImpl(fd, cmd, arg);
}

int kv_ioctl(int fd, unsigned long req, ...) KV_EXPORT(ioctl);
int kv_ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (auto f = ours(fd)) {
        const int r = f->vcam->ioctl(f, fd, req, arg);
        return r < 0 ? fail(-r) : r;
    }
    return kv::real::ioctl(fd, req, arg);
}

ssize_t kv_read(int fd, void* buf, size_t n) KV_EXPORT(read);
ssize_t kv_read(int fd, void* buf, size_t n) {
    if (auto f = ours(fd)) return fail(-f->vcam->readCall(f));
    return kv::real::read(fd, buf, n);
}

ssize_t kv___read_chk(int fd, void* buf, size_t n, size_t) KV_EXPORT(__read_chk);
ssize_t kv___read_chk(int fd, void* buf, size_t n, size_t) { return kv_read(fd, buf, n); }

// --- memory -----------------------------------------------------------------

void* kv_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) KV_EXPORT(mmap);
void* kv_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (fd >= 0 && !(flags & MAP_ANONYMOUS))
        if (auto f = ours(fd)) return f->vcam->mmap(f, addr, len, prot, flags, off);
    return kv::real::mmap(addr, len, prot, flags, fd, off);
}

void* kv_mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t off) KV_EXPORT(mmap64);
void* kv_mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t off) {
    return kv_mmap(addr, len, prot, flags, fd, off);
}

int kv_munmap(void* addr, size_t len) KV_EXPORT(munmap);
int kv_munmap(void* addr, size_t len) {
    const int r = kv::real::munmap(addr, len);
    if (r == 0)
        if (Vcam* v = Vcam::peek(); v && v->anyMaps()) {
            const int e = errno;
            v->munmapped(addr);
            errno = e;
        }
    return r;
}

// --- waiting ----------------------------------------------------------------

int kv_poll(struct pollfd* fds, nfds_t n, int timeout) KV_EXPORT(poll);
int kv_poll(struct pollfd* fds, nfds_t n, int timeout) {
    return pollVirtual(fds, n, timeout, [&](long long ms) { return kv::real::poll(fds, n, static_cast<int>(ms)); });
}

int kv___poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t) KV_EXPORT(__poll_chk);
int kv___poll_chk(struct pollfd* fds, nfds_t n, int timeout, size_t) { return kv_poll(fds, n, timeout); }

int kv_ppoll(struct pollfd* fds, nfds_t n, const struct timespec* tmo, const sigset_t* mask) KV_EXPORT(ppoll);
int kv_ppoll(struct pollfd* fds, nfds_t n, const struct timespec* tmo, const sigset_t* mask) {
    if (tmo && (tmo->tv_sec < 0 || tmo->tv_nsec < 0 || tmo->tv_nsec >= 1000000000)) return fail(EINVAL);
    // Milliseconds for the bookkeeping; the first wait keeps the caller's precision.
    const long long ms = tmo ? tmo->tv_sec * 1000LL + (tmo->tv_nsec + 999999) / 1000000 : -1;
    bool first = true;
    return pollVirtual(fds, n, ms, [&](long long left) {
        if (left < 0) return kv::real::ppoll(fds, n, nullptr, mask);
        struct timespec t = left > 0 && first && tmo ? *tmo
                                                     : timespec{static_cast<time_t>(left / 1000), (left % 1000) * 1000000};
        first = false;
        return kv::real::ppoll(fds, n, &t, mask);
    });
}

int kv___ppoll_chk(struct pollfd* fds, nfds_t n, const struct timespec* tmo, const sigset_t* mask, size_t)
    KV_EXPORT(__ppoll_chk);
int kv___ppoll_chk(struct pollfd* fds, nfds_t n, const struct timespec* tmo, const sigset_t* mask, size_t) {
    return kv_ppoll(fds, n, tmo, mask);
}

// --- file status --------------------------------------------------------------

#define KV_STAT_PATH(sym, stype)                                                  \
    int kv_##sym(const char* path, struct stype* st) KV_EXPORT(sym);             \
    int kv_##sym(const char* path, struct stype* st) {                           \
        const int r = pathStat(path, reinterpret_cast<struct stat*>(st));        \
        if (r != 1) return r;                                                    \
        KV_NEXT(next, int (*)(const char*, struct stype*), #sym);    \
        return next ? next(path, st) : fail(ENOSYS);                             \
    }
KV_STAT_PATH(stat, stat)
KV_STAT_PATH(stat64, stat64)
KV_STAT_PATH(lstat, stat)
KV_STAT_PATH(lstat64, stat64)

#define KV_STAT_FD(sym, stype)                                                   \
    int kv_##sym(int fd, struct stype* st) KV_EXPORT(sym);                       \
    int kv_##sym(int fd, struct stype* st) {                                     \
        const int r = fdStat(fd, reinterpret_cast<struct stat*>(st));            \
        if (r != 1) return r;                                                    \
        KV_NEXT(next, int (*)(int, struct stype*), #sym);            \
        return next ? next(fd, st) : fail(ENOSYS);                               \
    }
KV_STAT_FD(fstat, stat)
KV_STAT_FD(fstat64, stat64)

#define KV_STAT_AT(sym, stype)                                                        \
    int kv_##sym(int dirfd, const char* path, struct stype* st, int flags) KV_EXPORT(sym); \
    int kv_##sym(int dirfd, const char* path, struct stype* st, int flags) {          \
        const int r = atStat(dirfd, path, reinterpret_cast<struct stat*>(st), flags); \
        if (r != 1) return r;                                                         \
        KV_NEXT(next, int (*)(int, const char*, struct stype*, int), #sym); \
        return next ? next(dirfd, path, st, flags) : fail(ENOSYS);                    \
    }
KV_STAT_AT(fstatat, stat)
KV_STAT_AT(fstatat64, stat64)

// The versioned entry points older binaries call.
#define KV_XSTAT_PATH(sym)                                                      \
    int kv_##sym(int ver, const char* path, struct stat* st) KV_EXPORT(sym);    \
    int kv_##sym(int ver, const char* path, struct stat* st) {                  \
        const int r = pathStat(path, st);                                       \
        if (r != 1) return r;                                                   \
        KV_NEXT(next, int (*)(int, const char*, struct stat*), #sym); \
        return next ? next(ver, path, st) : fail(ENOSYS);                       \
    }
KV_XSTAT_PATH(__xstat)
KV_XSTAT_PATH(__xstat64)
KV_XSTAT_PATH(__lxstat)
KV_XSTAT_PATH(__lxstat64)

#define KV_XSTAT_FD(sym)                                                  \
    int kv_##sym(int ver, int fd, struct stat* st) KV_EXPORT(sym);        \
    int kv_##sym(int ver, int fd, struct stat* st) {                      \
        const int r = fdStat(fd, st);                                     \
        if (r != 1) return r;                                             \
        KV_NEXT(next, int (*)(int, int, struct stat*), #sym); \
        return next ? next(ver, fd, st) : fail(ENOSYS);                  \
    }
KV_XSTAT_FD(__fxstat)
KV_XSTAT_FD(__fxstat64)

#define KV_XSTAT_AT(sym)                                                                     \
    int kv_##sym(int ver, int dirfd, const char* path, struct stat* st, int flags) KV_EXPORT(sym); \
    int kv_##sym(int ver, int dirfd, const char* path, struct stat* st, int flags) {         \
        const int r = atStat(dirfd, path, st, flags);                                        \
        if (r != 1) return r;                                                                \
        KV_NEXT(next, int (*)(int, int, const char*, struct stat*, int), #sym);  \
        return next ? next(ver, dirfd, path, st, flags) : fail(ENOSYS);                      \
    }
KV_XSTAT_AT(__fxstatat)
KV_XSTAT_AT(__fxstatat64)

int kv_statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* sx) KV_EXPORT(statx);
int kv_statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* sx) {
    struct stat st {};
    const int r = atStat(dirfd, path, &st, flags);
    if (r == 0) {
        std::memset(sx, 0, sizeof *sx);
        sx->stx_mask = STATX_BASIC_STATS;
        sx->stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
        sx->stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
        sx->stx_uid = st.st_uid;
        sx->stx_gid = st.st_gid;
        sx->stx_mode = static_cast<std::uint16_t>(st.st_mode);
        sx->stx_ino = st.st_ino;
        sx->stx_rdev_major = major(st.st_rdev);
        sx->stx_rdev_minor = minor(st.st_rdev);
        sx->stx_dev_major = major(st.st_dev);
        sx->stx_dev_minor = minor(st.st_dev);
        return 0;
    }
    if (r != 1) return r;
    KV_NEXT(next, int (*)(int, const char*, int, unsigned, struct statx*), "statx");
    return next ? next(dirfd, path, flags, mask, sx) : fail(ENOSYS);
}

FILE* kv_fopen(const char* path, const char* mode) KV_EXPORT(fopen);
FILE* kv_fopen(const char* path, const char* mode) {
    if (std::string text; sysfsText(path, text)) {
        const int fd = textFd(text, O_CLOEXEC);
        if (fd < 0) return nullptr;
        FILE* f = fdopen(fd, "r");
        if (!f) kv::real::close(fd);
        return f;
    }
    KV_NEXT(next, FILE* (*)(const char*, const char*), "fopen");
    return next ? next(path, mode) : (errno = ENOSYS, nullptr);
}

FILE* kv_fopen64(const char* path, const char* mode) KV_EXPORT(fopen64);
FILE* kv_fopen64(const char* path, const char* mode) {
    if (std::string text; sysfsText(path, text)) return kv_fopen(path, mode);
    KV_NEXT(next, FILE* (*)(const char*, const char*), "fopen64");
    return next ? next(path, mode) : (errno = ENOSYS, nullptr);
}

int kv_access(const char* path, int mode) KV_EXPORT(access);
int kv_access(const char* path, int mode) {
    const int r = pathAccess(path);
    if (r != 1) return r;
    KV_NEXT(next, int (*)(const char*, int), "access");
    return next ? next(path, mode) : fail(ENOSYS);
}

int kv_faccessat(int dirfd, const char* path, int mode, int flags) KV_EXPORT(faccessat);
int kv_faccessat(int dirfd, const char* path, int mode, int flags) {
    const int r = pathAccess(path);
    if (r != 1) return r;
    KV_NEXT(next, int (*)(int, const char*, int, int), "faccessat");
    return next ? next(dirfd, path, mode, flags) : fail(ENOSYS);
}

// --- links ----------------------------------------------------------------------

ssize_t kv_readlink(const char* path, char* buf, size_t size) KV_EXPORT(readlink);
ssize_t kv_readlink(const char* path, char* buf, size_t size) {
    KV_NEXT(next, ssize_t(*)(const char*, char*, size_t), "readlink");
    return readLink(AT_FDCWD, path, buf, size, [&](char* b, size_t n) -> ssize_t {
        return next ? next(path, b, n) : syscall(SYS_readlinkat, AT_FDCWD, path, b, n);
    });
}

ssize_t kv_readlinkat(int dirfd, const char* path, char* buf, size_t size) KV_EXPORT(readlinkat);
ssize_t kv_readlinkat(int dirfd, const char* path, char* buf, size_t size) {
    KV_NEXT(next, ssize_t(*)(int, const char*, char*, size_t), "readlinkat");
    return readLink(dirfd, path, buf, size, [&](char* b, size_t n) -> ssize_t {
        return next ? next(dirfd, path, b, n) : syscall(SYS_readlinkat, dirfd, path, b, n);
    });
}

// The fortified entry points: libc's check of the buffer's size, then as above.
ssize_t kv___readlink_chk(const char* path, char* buf, size_t size, size_t bufSize) KV_EXPORT(__readlink_chk);
ssize_t kv___readlink_chk(const char* path, char* buf, size_t size, size_t bufSize) {
    KV_NEXT(next, ssize_t(*)(const char*, char*, size_t, size_t), "__readlink_chk");
    if (size > bufSize && next) return next(path, buf, size, bufSize);  // does not return
    return kv_readlink(path, buf, size);
}

ssize_t kv___readlinkat_chk(int dirfd, const char* path, char* buf, size_t size, size_t bufSize)
    KV_EXPORT(__readlinkat_chk);
ssize_t kv___readlinkat_chk(int dirfd, const char* path, char* buf, size_t size, size_t bufSize) {
    KV_NEXT(next, ssize_t(*)(int, const char*, char*, size_t, size_t), "__readlinkat_chk");
    if (size > bufSize && next) return next(dirfd, path, buf, size, bufSize);  // does not return
    return kv_readlinkat(dirfd, path, buf, size);
}

// --- /dev listing --------------------------------------------------------------

DIR* kv_opendir(const char* path) KV_EXPORT(opendir);
DIR* kv_opendir(const char* path) {
    KV_NEXT(next, DIR* (*)(const char*), "opendir");
    DIR* d = next ? next(path) : nullptr;
    if (d && path && (std::strcmp(path, "/dev") == 0 || std::strcmp(path, "/dev/") == 0) && Vcam::get()) {
        std::lock_guard lk(g_dirMu);
        devDirs()[d] = DevDir{};
    }
    return d;
}

DIR* kv_fdopendir(int fd) KV_EXPORT(fdopendir);
DIR* kv_fdopendir(int fd) {
    KV_NEXT(next, DIR* (*)(int), "fdopendir");
    DIR* d = next ? next(fd) : nullptr;
    struct stat dir {}, dev {};
    if (d && kv::real::fstatRaw(fd, &dir) == 0 && syscall(SYS_newfstatat, AT_FDCWD, "/dev", &dev, 0) == 0 &&
        dir.st_dev == dev.st_dev && dir.st_ino == dev.st_ino && Vcam::get()) {
        std::lock_guard lk(g_dirMu);
        devDirs()[d] = DevDir{};
    }
    return d;
}

struct dirent* kv_readdir(DIR* dir) KV_EXPORT(readdir);
struct dirent* kv_readdir(DIR* dir) {
    KV_NEXT(next, struct dirent* (*)(DIR*), "readdir");
    return readdirImpl<struct dirent>(dir, next);
}

struct dirent64* kv_readdir64(DIR* dir) KV_EXPORT(readdir64);
struct dirent64* kv_readdir64(DIR* dir) {
    KV_NEXT(next, struct dirent64* (*)(DIR*), "readdir64");
    return readdirImpl<struct dirent64>(dir, next);
}

void kv_rewinddir(DIR* dir) KV_EXPORT(rewinddir);
void kv_rewinddir(DIR* dir) {
    KV_NEXT(next, void (*)(DIR*), "rewinddir");
    if (next) next(dir);
    if (!Vcam::peek()) return;
    std::lock_guard lk(g_dirMu);
    if (auto it = devDirs().find(dir); it != devDirs().end()) it->second.next = 0;
}

int kv_closedir(DIR* dir) KV_EXPORT(closedir);
int kv_closedir(DIR* dir) {
    if (Vcam::peek()) {
        std::lock_guard lk(g_dirMu);
        devDirs().erase(dir);
    }
    KV_NEXT(next, int (*)(DIR*), "closedir");
    return next ? next(dir) : fail(ENOSYS);
}

}  // extern "C"
