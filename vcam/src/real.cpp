#include "real.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kv::real {

namespace {

// Every libc function the library forwards to, looked up once at load time:
// a lookup on first use may happen in a vfork()ed child, whose small stack
// dlsym overruns (and whose memory is the parent's).
// Grouped by kind, a line each:
// clang-format off
constexpr const char* kForwarded[] = {
    "open", "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2", "__openat64_2",
    "close", "ioctl", "mmap", "mmap64", "munmap", "poll", "ppoll", "__poll_chk", "__ppoll_chk",
    "read", "dup", "dup2", "dup3", "fcntl", "fcntl64",
    "stat", "stat64", "lstat", "lstat64", "fstat", "fstat64", "fstatat", "fstatat64",
    "__xstat", "__xstat64", "__lxstat", "__lxstat64", "__fxstat", "__fxstat64",
    "__fxstatat", "__fxstatat64", "statx", "fopen", "fopen64", "access", "faccessat",
    "opendir", "fdopendir", "readdir", "readdir64", "rewinddir", "closedir",
    "readlink", "readlinkat", "__readlink_chk", "__readlinkat_chk",
};
// clang-format on
constexpr std::size_t kForwardedCount = sizeof(kForwarded) / sizeof(kForwarded[0]);
void* g_resolved[kForwardedCount] = {};
bool g_resolvedAll = false;

void* lookUp(const char* name) {
    static thread_local bool resolving = false;
    if (resolving) return nullptr;
    resolving = true;
    void* p = dlsym(RTLD_NEXT, name);
    resolving = false;
    return p;
}

[[gnu::constructor(101)]] void resolveAtLoad() {
    for (std::size_t i = 0; i < kForwardedCount; ++i) g_resolved[i] = lookUp(kForwarded[i]);
    g_resolvedAll = true;
}

}  // namespace

void* next(const char* name) {
    if (g_resolvedAll)
        for (std::size_t i = 0; i < kForwardedCount; ++i)
            if (std::strcmp(kForwarded[i], name) == 0) return g_resolved[i];
    return lookUp(name);
}

namespace {

template <typename Fn>
Fn get(std::atomic<void*>& slot, const char* name) {
    void* p = slot.load(std::memory_order_acquire);
    if (!p) {
        p = next(name);
        if (p) slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(p);
}

#define KV_NEXT(type, name)                       \
    static std::atomic<void*> slot_##name{nullptr}; \
    auto fn = get<type>(slot_##name, #name)

}  // namespace

int open(const char* path, int flags, mode_t mode) {
    KV_NEXT(int (*)(const char*, int, ...), open);
    return fn ? fn(path, flags, mode) : static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

int openat(int dirfd, const char* path, int flags, mode_t mode) {
    KV_NEXT(int (*)(int, const char*, int, ...), openat);
    return fn ? fn(dirfd, path, flags, mode) : static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

int close(int fd) {
    KV_NEXT(int (*)(int), close);
    return fn ? fn(fd) : static_cast<int>(syscall(SYS_close, fd));
}

int ioctl(int fd, unsigned long req, void* arg) {
    KV_NEXT(int (*)(int, unsigned long, ...), ioctl);
    return fn ? fn(fd, req, arg) : static_cast<int>(syscall(SYS_ioctl, fd, req, arg));
}

void* mmap(void* addr, std::size_t len, int prot, int flags, int fd, off_t off) {
    KV_NEXT(void* (*)(void*, std::size_t, int, int, int, off_t), mmap);
    return fn ? fn(addr, len, prot, flags, fd, off)
              : reinterpret_cast<void*>(syscall(SYS_mmap, addr, len, prot, flags, fd, off));
}

int munmap(void* addr, std::size_t len) {
    KV_NEXT(int (*)(void*, std::size_t), munmap);
    return fn ? fn(addr, len) : static_cast<int>(syscall(SYS_munmap, addr, len));
}

int poll(struct pollfd* fds, nfds_t n, int timeout) {
    KV_NEXT(int (*)(struct pollfd*, nfds_t, int), poll);
    return fn ? fn(fds, n, timeout) : static_cast<int>(syscall(SYS_poll, fds, n, timeout));
}

int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* tmo, const sigset_t* mask) {
    KV_NEXT(int (*)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*), ppoll);
    return fn ? fn(fds, n, tmo, mask) : static_cast<int>(syscall(SYS_ppoll, fds, n, tmo, mask, _NSIG / 8));
}

ssize_t read(int fd, void* buf, std::size_t n) {
    KV_NEXT(ssize_t (*)(int, void*, std::size_t), read);
    return fn ? fn(fd, buf, n) : syscall(SYS_read, fd, buf, n);
}

int dup(int fd) {
    KV_NEXT(int (*)(int), dup);
    return fn ? fn(fd) : static_cast<int>(syscall(SYS_dup, fd));
}

int dup2(int fd, int fd2) {
    KV_NEXT(int (*)(int, int), dup2);
    return fn ? fn(fd, fd2) : static_cast<int>(syscall(SYS_dup2, fd, fd2));
}

int dup3(int fd, int fd2, int flags) {
    KV_NEXT(int (*)(int, int, int), dup3);
    return fn ? fn(fd, fd2, flags) : static_cast<int>(syscall(SYS_dup3, fd, fd2, flags));
}

int fcntl(int fd, int cmd, void* arg) {
    KV_NEXT(int (*)(int, int, ...), fcntl);
    return fn ? fn(fd, cmd, arg) : static_cast<int>(syscall(SYS_fcntl, fd, cmd, arg));
}

int fstatRaw(int fd, struct stat* st) { return static_cast<int>(syscall(SYS_fstat, fd, st)); }

}  // namespace kv::real
