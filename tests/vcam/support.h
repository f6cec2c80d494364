// Shared helpers of the virtual camera tests.
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

namespace vcamtest {

// A private directory per test process, holding the log and the trigger files.
const std::string& workDir();
std::string logPath();
std::string controlDir();

// Lines the virtual camera logged after this object was made.
class LogMark {
public:
    LogMark();
    std::vector<std::string> lines() const;

private:
    long offset_;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// 0, or the errno of the failed call.
template <typename T>
int xioctl(int fd, unsigned long req, T* arg) {
    int r;
    do r = ::ioctl(fd, req, arg);
    while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
}

// Runs a shell command; returns its exit status and combined output.
std::pair<int, std::string> run(const std::string& command);

std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);

}  // namespace vcamtest
