// kinovo-firstframe X Y RRGGBB TOLERANCE TIMEOUT_MS COMMAND [ARGS...]
// Starts the command and polls the screen pixel (X, Y) of the root window
// every 2 ms; prints the milliseconds from the command's exec to the first
// time the pixel is within TOLERANCE of the colour in every channel (or
// "timeout"), then ends the command (SIGTERM, SIGKILL after 5 s) and waits
// until the pixel no longer matches, so that the next run starts clean.
// Exits 0 on a match, 1 on a timeout or failure.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Probe {
  Display* display;
  Window root;
  int x, y;
  long rgb, tolerance;

  bool Matches() const {
    XImage* image = XGetImage(display, root, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return false;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    const auto near = [&](unsigned long mask, int shift, long want) {
      const long v = static_cast<long>((pixel & mask) >> shift);
      return std::labs(v - want) <= tolerance;
    };
    return near(0xff0000, 16, (rgb >> 16) & 0xff) && near(0x00ff00, 8, (rgb >> 8) & 0xff) &&
           near(0x0000ff, 0, rgb & 0xff);
  }
};

void Sleep2ms() {
  timespec ts{0, 2'000'000};
  ::nanosleep(&ts, nullptr);
}

// Waits up to `ms` for the child to end; true when it has.
bool Reap(pid_t pid, double ms) {
  const double end = NowMs() + ms;
  while (NowMs() < end) {
    const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    Sleep2ms();
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fputs("usage: kinovo-firstframe X Y RRGGBB TOLERANCE TIMEOUT_MS COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fputs("kinovo-firstframe: cannot open the display\n", stderr);
    return 1;
  }
  const Probe probe{display, DefaultRootWindow(display), std::atoi(argv[1]), std::atoi(argv[2]),
                    std::strtol(argv[3], nullptr, 16), std::atol(argv[4])};
  const double timeoutMs = std::atof(argv[5]);

  // What is left of an earlier run must be gone first.
  for (double end = NowMs() + 10000; probe.Matches() && NowMs() < end;) Sleep2ms();
  if (probe.Matches()) {
    std::fputs("kinovo-firstframe: the pixel matches before the start\n", stderr);
    return 1;
  }

  // The child writes the time just before its exec into a close-on-exec pipe.
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    return 1;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    return 1;
  }
  if (pid == 0) {
    ::close(pipefd[0]);
    const double t = NowMs();
    if (::write(pipefd[1], &t, sizeof t) != sizeof t) ::_exit(127);
    ::execvp(argv[6], argv + 6);
    std::fprintf(stderr, "kinovo-firstframe: exec %s: %s\n", argv[6], std::strerror(errno));
    ::_exit(127);
  }
  ::close(pipefd[1]);
  double start = 0;
  if (::read(pipefd[0], &start, sizeof start) != sizeof start) start = NowMs();
  ::close(pipefd[0]);

  double found = -1;
  while (NowMs() - start < timeoutMs) {
    if (probe.Matches()) {
      found = NowMs() - start;
      break;
    }
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      std::fputs("kinovo-firstframe: the command ended before its first frame\n", stderr);
      XCloseDisplay(display);
      return 1;
    }
    Sleep2ms();
  }
  if (found >= 0)
    std::printf("%.0f\n", found);
  else
    std::puts("timeout");
  std::fflush(stdout);

  ::kill(pid, SIGTERM);
  if (!Reap(pid, 5000)) {
    ::kill(pid, SIGKILL);
    Reap(pid, 5000);
  }
  for (double end = NowMs() + 10000; probe.Matches() && NowMs() < end;) Sleep2ms();
  XCloseDisplay(display);
  return found >= 0 ? 0 : 1;
}
