// The next definitions of the functions this library wraps (libc's, or a
// sanitizer's interceptor in front of them).
#pragma once

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace kv::real {

int open(const char* path, int flags, mode_t mode);
int openat(int dirfd, const char* path, int flags, mode_t mode);
int close(int fd);
int ioctl(int fd, unsigned long req, void* arg);
void* mmap(void* addr, std::size_t len, int prot, int flags, int fd, off_t off);
int munmap(void* addr, std::size_t len);
int poll(struct pollfd* fds, nfds_t n, int timeout);
int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* tmo, const sigset_t* mask);
ssize_t read(int fd, void* buf, std::size_t n);
int dup(int fd);
int dup2(int fd, int fd2);
int dup3(int fd, int fd2, int flags);
int fcntl(int fd, int cmd, void* arg);
int fstatRaw(int fd, struct stat* st);  // the system call, never wrapped

// Looks up the next definition of `name`; nullptr while already resolving on
// this thread (dlsym may allocate, and allocation may map memory).
void* next(const char* name);

}  // namespace kv::real
