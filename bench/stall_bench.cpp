// kinovo-stall-bench: how long the user-interface thread's event loop stands
// still during each action of the capture engine, as the main window calls
// it: a recording's start and stop (with the sine microphone), a photo (the
// frame on screen decoded for the shutter view and, at 1080p, saved as
// JPEG), a camera switch and a
// mode change. A 1 ms timer ticks all along; the longest gap between two
// ticks within a second after an action is its stall. Run by
// stall_bench.sh with the virtual cameras of stall.ini.

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "capture/video_formats.h"

namespace {

using namespace std::chrono_literals;
using namespace kinovo;

constexpr int kRepeats = 5;
constexpr double kTargetMs = 50;

// Ticks every millisecond and keeps the longest gap since the last reset.
class StallMeter {
 public:
  StallMeter() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const qint64 now = clock_.nsecsElapsed();
      longest_ = std::max(longest_, now - last_);
      last_ = now;
    });
    clock_.start();
    timer_.start(1);
  }
  void Reset() {
    last_ = clock_.nsecsElapsed();
    longest_ = 0;
  }
  double LongestMs() const { return std::max(longest_, clock_.nsecsElapsed() - last_) / 1e6; }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  qint64 longest_ = 0;
};

void Pump(std::chrono::milliseconds duration) {
  QEventLoop loop;
  QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout.count()) return false;
    Pump(5ms);
  }
  return true;
}

struct Row {
  std::string action;
  std::vector<double> stalls;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::vector<VideoDevice> cameras;
  std::vector<AudioDevice> microphones;
  EnumerateVideoDevices(cameras);
  EnumerateAudioDevices(microphones);
  if (cameras.size() < 2 || microphones.empty()) {
    std::fprintf(stderr, "need two cameras and a microphone; found %zu and %zu\n", cameras.size(),
                 microphones.size());
    return 1;
  }
  // The second camera is opened at the first switch to it, as in the
  // program: that switch is the slowest.
  if (OpenVideoDevice(cameras.front()) != 0) {
    std::fprintf(stderr, "camera %s cannot be opened\n", cameras.front().name.toUtf8().constData());
    return 1;
  }
  const QString mic = microphones.front().devicePath;
  QWidget window;
  window.resize(1566, 894);
  auto* preview = new QWidget(&window);
  preview->setGeometry(15, 15, 1536, 864);
  window.show();

  CCaptureGraph graph;
  int current = 0;
  auto select = [&](int index) {
    StopPreview(graph);
    VideoDevice& camera = cameras[static_cast<std::size_t>(index)];
    // As the main window opens it: its controls are read on a timer once
    // it has settled.
    if (!camera.opened) {
      OpenVideoDevice(camera, ControlsRead::ByCaller);
      QTimer::singleShot(kOpenSettleTime, [&camera] { ReadImageProperties(camera); });
    }
    ApplyFormat(camera, camera.formats.front().index, 30);
    BuildGraph(graph, &camera, mic);
    StartPreview(graph, preview);
    current = index;
  };
  select(0);
  Pump(1000ms);

  QTemporaryDir dir;
  StallMeter meter;
  int files = 0;
  auto measure = [&](Row& row, const std::function<void()>& action,
                     const std::function<bool()>& settled = nullptr) {
    Pump(300ms);
    meter.Reset();
    action();
    if (settled) PumpUntil(settled, 5000ms);
    Pump(700ms);
    row.stalls.push_back(meter.LongestMs());
  };

  Row start{"recording start", {}}, stop{"recording stop", {}}, photo{"photo", {}},
      camera{"camera switch", {}}, mode{"mode change", {}};
  std::uint64_t restarts = 0;  // stream starts during recordings and photos
  for (int i = 0; i < kRepeats; ++i) {
    const std::uint64_t startsBefore = graph.session->Stats().streamStarts;
    measure(start, [&] {
      StartRecording(graph, dir.filePath(QStringLiteral("take%1.avi").arg(++files)));
    });
    Pump(1000ms);
    bool finished = false;
    measure(
        stop,
        [&] { StopRecording(graph, [&](const media::RecordingResult&) { finished = true; }); },
        [&] { return finished; });
    // As the main window takes it: the frame on screen, its shutter
    // picture decoded promptly and the photo decoded and written in the
    // background.
    bool saved = false, shown = false;
    measure(
        photo,
        [&] {
          const media::StillFrame frame = LatestFrame(graph);
          const QString path = dir.filePath(QStringLiteral("img%1.jpg").arg(++files));
          media::RunPromptly([frame, &shown] {
            QImage frozen = frame.DecodeForView(QSize(1536, 864));
            return std::function<void()>(
                [&shown, frozen = std::move(frozen)] { shown = !frozen.isNull(); });
          });
          media::RunInBackground([frame, path, &saved] {
            SavePhoto(frame, QSize(1920, 1080), path, QByteArrayLiteral("jpeg"), nullptr);
            return std::function<void()>([&saved] { saved = true; });
          });
        },
        [&] { return saved && shown; });
    restarts += graph.session->Stats().streamStarts - startsBefore;
    measure(camera, [&] { select(1 - current); });
    measure(mode, [&] {
      VideoDevice& device = cameras[static_cast<std::size_t>(current)];
      const VideoFormat& next = device.formats[static_cast<std::size_t>(i % 2 == 0 ? 1 : 0)];
      StopPreview(graph);
      ApplyFormat(device, next.index, 30);
      StartPreview(graph, preview);
    });
  }
  ReleaseGraph(graph);
  media::FinishRecordings();

  std::printf("%-16s %10s %10s %8s %s\n", "action", "median ms", "longest ms", "target", "met");
  for (const Row* row : {&start, &stop, &photo, &camera, &mode}) {
    std::vector<double> sorted = row->stalls;
    std::sort(sorted.begin(), sorted.end());
    const double longest = sorted.back();
    std::printf("%-16s %10.1f %10.1f %8.0f %s\n", row->action.c_str(), sorted[sorted.size() / 2],
                longest, kTargetMs, longest <= kTargetMs ? "yes" : "no");
  }
  std::printf("camera stream starts during %d recordings and photos: %llu (target 0)\n", kRepeats,
              static_cast<unsigned long long>(restarts));
  return 0;
}
