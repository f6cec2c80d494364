// kinovo-latency [OPTIONS] COMMAND [ARGS...]
// Capture-to-screen latency of a program showing a virtual camera that
// flashes (profile key sync_flash = 1): the frame nearest each multiple of
// KINOVO_SYNC_PERIOD_MS on CLOCK_MONOTONIC is all white. Starts the command,
// waits until one screen pixel of the root window ($DISPLAY) shows the
// picture's yellow colour bar, then reads that pixel every millisecond and
// takes each instant it turns white minus the nearest flash event (the one
// before when the nearest lies more than half a frame later). Ends the
// command after enough flashes and prints one line of key=value pairs:
//   flashes missed mean_ms min_ms max_ms sd_ms fit_mean_ms fit_min_ms
//   fit_max_ms fit_sd_ms late_polls longest_gap_ms pixel
// The fit_ values are the latencies from each flash frame's own timestamp:
// the flash frame lies within half a frame of its event, and the stream's
// frame phase that explains the spread best is fitted.
// Options (then COMMAND, or -- COMMAND):
//   --at X,Y        the pixel (root window coordinates)
//   --find          find the picture on screen instead: the middle of its
//                   yellow colour bar, 30 % down (the moving block stays lower)
//   --flashes N     flashes to measure (default 50)
//   --period MS     the flash period (default $KINOVO_SYNC_PERIOD_MS)
//   --fps F         the camera's frame rate (default 30)
//   --timeout MS    for the picture to show (default 20000)
//   --samples FILE  each latency in ms, one a line
// Exits 0 when every flash was measured, 1 otherwise.

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

double NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void SleepUntilMs(double ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1e3);
  ts.tv_nsec = static_cast<long>((ms - ts.tv_sec * 1e3) * 1e6);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !gStop) {
  }
}

void SleepMs(double ms) { SleepUntilMs(NowMs() + ms); }

// Reads fail (a point off the screen) instead of ending the program.
int gXError = 0;
int OnXError(Display*, XErrorEvent* e) {
  gXError = e->error_code;
  return 0;
}

struct Rgb {
  int r, g, b;
};

struct ImageDeleter {
  void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

int Channel(unsigned long pixel, unsigned long mask) {
  if (mask == 0) return 0;
  const int shift = __builtin_ctzl(mask);
  const unsigned long max = mask >> shift;
  return static_cast<int>(((pixel & mask) >> shift) * 255 / max);
}

Rgb PixelAt(XImage* image, int x, int y) {
  const unsigned long p = XGetPixel(image, x, y);
  return {Channel(p, image->red_mask), Channel(p, image->green_mask), Channel(p, image->blue_mask)};
}

// The colour bar the probe watches (75 % yellow), and the flash.
bool IsYellow(Rgb c) { return std::abs(c.r - 191) <= 60 && std::abs(c.g - 191) <= 60 && c.b <= 60; }
bool IsWhite(Rgb c) { return std::min({c.r, c.g, c.b}) >= 220; }

class RootScreen {
 public:
  bool Open() {
    display_.reset(XOpenDisplay(nullptr));
    if (!display_) {
      std::fprintf(stderr, "kinovo-latency: XOpenDisplay(%s) failed\n",
                   std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(DISPLAY unset)");
      return false;
    }
    XSetErrorHandler(OnXError);
    root_ = DefaultRootWindow(display_.get());
    return true;
  }
  int Width() const { return DisplayWidth(display_.get(), DefaultScreen(display_.get())); }
  int Height() const { return DisplayHeight(display_.get(), DefaultScreen(display_.get())); }

  ImagePtr Grab(int x, int y, int w, int h) const {
    gXError = 0;
    return ImagePtr(XGetImage(display_.get(), root_, x, y, w, h, AllPlanes, ZPixmap));
  }
  std::optional<Rgb> Pixel(int x, int y) const {
    ImagePtr image = Grab(x, y, 1, 1);
    if (!image) return std::nullopt;
    return PixelAt(image.get(), 0, 0);
  }

 private:
  struct Closer {
    void operator()(Display* d) const { XCloseDisplay(d); }
  };
  std::unique_ptr<Display, Closer> display_;
  Window root_ = 0;
};

// The command, ended (SIGTERM, SIGKILL after 5 s) and reaped on destruction.
class Child {
 public:
  explicit Child(char** argv) {
    pid_ = ::fork();
    if (pid_ < 0) {
      std::fprintf(stderr, "kinovo-latency: fork: %s\n", std::strerror(errno));
      return;
    }
    if (pid_ == 0) {
      ::execvp(argv[0], argv);
      std::fprintf(stderr, "kinovo-latency: exec %s: %s\n", argv[0], std::strerror(errno));
      ::_exit(127);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ <= 0 || exited_) return;
    ::kill(pid_, SIGTERM);
    if (!Reap(5000)) {
      ::kill(pid_, SIGKILL);
      Reap(5000);
    }
  }
  bool Started() const { return pid_ > 0; }
  bool Exited() {
    if (!exited_ && pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

 private:
  bool Reap(double ms) {
    for (const double end = NowMs() + ms; NowMs() < end; SleepMs(2)) {
      const pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
      if (r == pid_ || (r < 0 && errno == ECHILD)) return exited_ = true;
    }
    return false;
  }
  pid_t pid_ = -1;
  bool exited_ = false;
};

struct Point {
  int x = -1, y = -1;
};

// The largest yellow region of the screen that is a tall, filled rectangle:
// the picture's second colour bar. The probe point is its middle, 30 % down.
std::optional<Point> FindYellowBar(const RootScreen& screen) {
  const int w = screen.Width(), h = screen.Height();
  ImagePtr image = screen.Grab(0, 0, w, h);
  if (!image) return std::nullopt;
  std::vector<int> label(std::size_t(w) * h, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (IsYellow(PixelAt(image.get(), x, y))) label[std::size_t(y) * w + x] = -1;

  std::optional<Point> best;
  long bestArea = 0;
  std::vector<int> stack;
  int next = 0;
  for (int start = 0; start < w * h; ++start) {
    if (label[start] != -1) continue;
    ++next;
    long area = 0;
    int x0 = w, y0 = h, x1 = -1, y1 = -1;
    label[start] = next;
    stack.assign(1, start);
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      const int x = i % w, y = i / w;
      ++area;
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      const int around[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
      for (const auto& n : around) {
        if (n[0] < 0 || n[0] >= w || n[1] < 0 || n[1] >= h) continue;
        const int j = n[1] * w + n[0];
        if (label[j] == -1) label[j] = next, stack.push_back(j);
      }
    }
    const long bw = x1 - x0 + 1, bh = y1 - y0 + 1;
    if (area >= 2000 && bh > bw && area * 10 >= bw * bh * 8 && area > bestArea) {
      bestArea = area;
      best = Point{x0 + int(bw / 2), y0 + int(bh * 3 / 10)};
      std::fprintf(stderr, "kinovo-latency: yellow bar %ldx%ld at (%d,%d)\n", bw, bh, x0, y0);
    }
  }
  return best;
}

struct Options {
  std::optional<Point> at;
  bool find = false;
  int flashes = 50;
  double periodMs = 0;
  double fps = 30;
  double timeoutMs = 20000;
  std::string samples;
  char** command = nullptr;
};

bool Parse(int argc, char** argv, Options& o) {
  if (const char* p = std::getenv("KINOVO_SYNC_PERIOD_MS")) o.periodMs = std::atof(p);
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string opt = argv[i];
    if (opt == "--") {
      ++i;
      break;
    }
    if (opt == "--find") {
      o.find = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (opt == "--at") {
      Point p;
      if (std::sscanf(v, "%d,%d", &p.x, &p.y) != 2) return false;
      o.at = p;
    } else if (opt == "--flashes") {
      o.flashes = std::atoi(v);
    } else if (opt == "--period") {
      o.periodMs = std::atof(v);
    } else if (opt == "--fps") {
      o.fps = std::atof(v);
    } else if (opt == "--timeout") {
      o.timeoutMs = std::atof(v);
    } else if (opt == "--samples") {
      o.samples = v;
    } else {
      return false;
    }
  }
  o.command = argv + i;
  return i < argc && (o.at.has_value() != o.find) && o.flashes > 0 && o.periodMs > 0 && o.fps > 0;
}

struct Stats {
  double mean = 0, min = 0, max = 0, sd = 0;
};
Stats Summarize(const std::vector<double>& v) {
  Stats s;
  if (v.empty()) return s;
  s.mean = std::accumulate(v.begin(), v.end(), 0.0) / v.size();
  s.min = *std::min_element(v.begin(), v.end());
  s.max = *std::max_element(v.begin(), v.end());
  double sq = 0;
  for (double x : v) sq += (x - s.mean) * (x - s.mean);
  s.sd = std::sqrt(sq / v.size());
  return s;
}

// The flash frame of event e lies at (phase + k * frame) nearest e; given
// the stream's phase, the latency from the frame is the one from the event
// minus that offset. The phase that leaves the least spread is taken.
std::vector<double> FromFrames(const std::vector<double>& latency,
                               const std::vector<double>& events, double frameMs) {
  std::vector<double> best = latency, cur(latency.size());
  double bestSd = Summarize(latency).sd * 10 + 1e9;
  for (double phase = 0; phase < frameMs; phase += 0.05) {
    for (std::size_t k = 0; k < latency.size(); ++k) {
      double off = std::fmod(phase - events[k], frameMs);
      if (off < 0) off += frameMs;
      if (off >= frameMs / 2) off -= frameMs;
      cur[k] = latency[k] - off;
    }
    const double sd = Summarize(cur).sd;
    if (sd < bestSd) bestSd = sd, best = cur;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!Parse(argc, argv, o)) {
    std::fputs(
        "usage: kinovo-latency (--at X,Y | --find) [--flashes N] [--period MS] [--fps F]\n"
        "                      [--timeout MS] [--samples FILE] COMMAND [ARGS...]\n"
        "(the period defaults to $KINOVO_SYNC_PERIOD_MS)\n",
        stderr);
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &sa, nullptr);

  RootScreen screen;
  if (!screen.Open()) return 1;
  // What is left of an earlier run must be gone first.
  if (o.at) {
    for (const double end = NowMs() + 10000; NowMs() < end; SleepMs(10)) {
      const auto c = screen.Pixel(o.at->x, o.at->y);
      if (!c) {
        std::fprintf(stderr, "kinovo-latency: XGetImage at (%d,%d) failed (X error %d)\n", o.at->x,
                     o.at->y, gXError);
        return 1;
      }
      if (!IsYellow(*c)) break;
    }
  }

  Child child(o.command);
  if (!child.Started()) return 1;

  // The picture, up.
  Point at;
  const double shownBy = NowMs() + o.timeoutMs;
  for (;; SleepMs(o.at ? 5 : 250)) {
    if (gStop) return 1;
    if (child.Exited()) {
      std::fprintf(stderr, "kinovo-latency: %s ended before its picture showed\n", o.command[0]);
      return 1;
    }
    if (NowMs() > shownBy) {
      std::fprintf(stderr, "kinovo-latency: no picture within %.0f ms (%s)\n", o.timeoutMs,
                   o.at ? "the pixel never showed the yellow bar" : "no yellow bar on the screen");
      return 1;
    }
    if (o.at) {
      const auto c = screen.Pixel(o.at->x, o.at->y);
      if (c && IsYellow(*c)) {
        at = *o.at;
        break;
      }
    } else if (const auto found = FindYellowBar(screen)) {
      at = *found;
      break;
    }
  }
  // Let the start settle (first frames, buttons shown at the start); a
  // window the compositor places may have moved meanwhile. A look at the
  // screen during a flash finds no bar: look again.
  SleepMs(2500);
  for (const double end = NowMs() + 5000; o.find && !gStop; SleepMs(100)) {
    if (const auto found = FindYellowBar(screen)) {
      at = *found;
      break;
    }
    if (NowMs() > end) {
      std::fputs("kinovo-latency: the yellow bar went away after it showed\n", stderr);
      return 1;
    }
  }

  const double frameMs = 1000 / o.fps;
  std::vector<double> latency, events;
  long long firstEvent = 0, lastEvent = 0;
  bool wasWhite = true;  // a flash under way at the start is not counted
  int latePolls = 0;
  double longestGap = 0, prev = NowMs(), tick = prev;
  const double end = prev + (o.flashes * 1.5 + 4) * o.periodMs;
  while (static_cast<int>(latency.size()) < o.flashes && !gStop) {
    tick += 1;
    const double now0 = NowMs();
    if (tick < now0 - 1) tick = now0;  // behind: do not catch up in a burst
    SleepUntilMs(tick);
    const auto c = screen.Pixel(at.x, at.y);
    const double now = NowMs();
    if (!c) {
      std::fprintf(stderr, "kinovo-latency: XGetImage at (%d,%d) failed (X error %d)\n", at.x, at.y,
                   gXError);
      break;
    }
    const double gap = now - prev;
    prev = now;
    longestGap = std::max(longestGap, gap);
    if (gap > 2.5) ++latePolls;

    const bool white = IsWhite(*c);
    if (white && !wasWhite) {
      // The nearest event, unless that lies more than half a frame later:
      // no flash shows before its frame, so that is the one before, late.
      const long long event = std::llround(std::floor((now + frameMs / 2 + 2) / o.periodMs));
      if (latency.empty() || event != lastEvent) {
        if (latency.empty()) firstEvent = event;
        lastEvent = event;
        latency.push_back(now - event * o.periodMs);
        events.push_back(event * o.periodMs);
      }
    }
    wasWhite = white;
    if (now > end) {
      std::fprintf(stderr, "kinovo-latency: only %zu of %d flashes seen in %.0f s\n",
                   latency.size(), o.flashes, (o.flashes * 1.5 + 4) * o.periodMs / 1e3);
      break;
    }
    if ((latency.size() & 15) == 0 && child.Exited()) {
      std::fprintf(stderr, "kinovo-latency: %s ended during the measurement\n", o.command[0]);
      break;
    }
  }
  if (latency.empty()) {
    std::fputs("kinovo-latency: no flash seen\n", stderr);
    return 1;
  }

  if (!o.samples.empty()) {
    if (FILE* f = std::fopen(o.samples.c_str(), "w")) {
      for (double v : latency) std::fprintf(f, "%.2f\n", v);
      std::fclose(f);
    } else {
      std::fprintf(stderr, "kinovo-latency: fopen %s: %s\n", o.samples.c_str(),
                   std::strerror(errno));
    }
  }
  const Stats s = Summarize(latency);
  const Stats fit = Summarize(FromFrames(latency, events, frameMs));
  const long long missed = lastEvent - firstEvent + 1 - static_cast<long long>(latency.size());
  std::printf(
      "flashes=%zu missed=%lld mean_ms=%.1f min_ms=%.1f max_ms=%.1f sd_ms=%.1f fit_mean_ms=%.1f "
      "fit_min_ms=%.1f fit_max_ms=%.1f fit_sd_ms=%.1f late_polls=%d longest_gap_ms=%.1f "
      "pixel=%d,%d\n",
      latency.size(), missed, s.mean, s.min, s.max, s.sd, fit.mean, fit.min, fit.max, fit.sd,
      latePolls, longestGap, at.x, at.y);
  std::fflush(stdout);
  return static_cast<int>(latency.size()) == o.flashes ? 0 : 1;
}
