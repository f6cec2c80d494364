#include "tools/probe/record.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <QApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "capture/video_formats.h"
#include "platform/media/file_names.h"
#include "platform/media/linux/capture_session.h"
#include "platform/ui/shell.h"
#include "tools/probe/probe_json.h"

namespace kinovo::probe {
namespace {

// How long the preview runs before the recording starts.
constexpr std::chrono::milliseconds kWarmUp{500};

struct Options {
  QString camera;
  int format = -1;
  int fps = 0;
  std::optional<int> mic;
  double seconds = 0;
  QString out;
  QSize window{640, 360};
  bool minimized = false;  // the window is minimised before recording: recording only
  QString grab;
  double sample = 0;  // seconds between progress lines; 0: none
};

std::optional<Options> Parse(int argc, char** argv) {
  Options o;
  bool haveCamera = false;
  for (int i = 2; i < argc; ++i) {
    const QByteArray key = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const QString value = QString::fromLocal8Bit(argv[++i]);
    bool ok = true;
    if (key == "--camera") {
      o.camera = value;
      haveCamera = true;
    } else if (key == "--format") {
      o.format = value.toInt(&ok);
    } else if (key == "--fps") {
      o.fps = value.toInt(&ok);
    } else if (key == "--mic") {
      o.mic = value.toInt(&ok);
    } else if (key == "--seconds") {
      o.seconds = value.toDouble(&ok);
    } else if (key == "--out") {
      o.out = media::FileNameFromBytes(QByteArray(argv[i]));  // the name's own bytes, whatever they are
    } else if (key == "--window") {
      const auto parts = value.split(u'x');
      bool okw = false, okh = false;
      if (parts.size() == 2) o.window = QSize(parts[0].toInt(&okw), parts[1].toInt(&okh));
      ok = okw && okh && o.window.width() > 0 && o.window.height() > 0;
    } else if (key == "--preview") {
      ok = value == "shown" || value == "minimized";
      o.minimized = value == "minimized";
    } else if (key == "--grab") {
      o.grab = value;
    } else if (key == "--sample") {
      o.sample = value.toDouble(&ok);
      ok = ok && o.sample > 0;
    } else {
      return std::nullopt;
    }
    if (!ok) return std::nullopt;
  }
  if (!haveCamera || o.format < 0 || o.fps < 0 || o.seconds <= 0 || o.out.isEmpty()) {
    return std::nullopt;
  }
  return o;
}

// Set when the process is asked to end (SIGTERM, SIGINT, SIGHUP): the
// recording is stopped and its file finished as at its planned end.
bool g_interrupted = false;
QEventLoop* g_loop = nullptr;

// Runs the event loop: the video window paints, and the graph hears of a
// camera that went away.
void Pump(std::chrono::milliseconds duration) {
  if (g_interrupted) return;
  QEventLoop loop;
  g_loop = &loop;
  // Precise: a coarse timer may end a long wait 5 % early.
  QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
  g_loop = nullptr;
}

void PumpUntil(std::chrono::steady_clock::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  Pump(std::max(left, std::chrono::milliseconds(0)));
}

int Print(const QJsonObject& object, int result) {
  const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
  return result;
}

int Fail(const QString& error, QJsonObject extra = {}) {
  extra.insert("error", error);
  return Print(extra, 1);
}

// A failure with the status that caused it, and that status in words.
int Fail(const QString& error, const char* key, Status status) {
  return Fail(error, {{QLatin1String(key), status},
                      {"reason", QString::fromStdString(media::StatusText(status))}});
}

qint64 Delta(std::uint64_t after, std::uint64_t before) {
  return static_cast<qint64>(after) - static_cast<qint64>(before);
}

// The process's resident memory in KiB (VmRSS), or -1.
qint64 ResidentKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  qint64 kib = -1;
  char line[256];
  while (std::fgets(line, sizeof line, status)) {
    long long value = 0;
    if (std::sscanf(line, "VmRSS: %lld kB", &value) == 1) {
      kib = value;
      break;
    }
  }
  std::fclose(status);
  return kib;
}

// The graph's counters of the recording, those of the camera and of the
// preview since `before`.
QJsonObject Counters(const media::CaptureStats& now, const media::CaptureStats& before) {
  return QJsonObject{
      {"framesCaptured", static_cast<qint64>(now.recordedFramesCaptured)},
      {"framesWritten", static_cast<qint64>(now.framesWritten)},
      {"emptyFramesInserted", static_cast<qint64>(now.emptyFramesWritten)},
      {"framesUnusable", static_cast<qint64>(now.framesUnusable)},
      {"framesRefused", static_cast<qint64>(now.framesRefused)},
      {"cameraFramesMissed", Delta(now.framesMissed, before.framesMissed)},
      {"cameraFramesCorrupt", Delta(now.framesCorrupt, before.framesCorrupt)},
      {"cameraStalls", Delta(now.stalls, before.stalls)},
      {"cameraLost", now.cameraLost},
      {"previewFramesShown", Delta(now.previewDecoded, before.previewDecoded)},
      {"previewFramesDropped", Delta(now.previewDropped, before.previewDropped)},
      {"previewFramesFailed", Delta(now.previewFailed, before.previewFailed)},
      {"audioSamplesWritten", static_cast<qint64>(now.audioFramesWritten)},
      {"audioSamplesInserted", static_cast<qint64>(now.audioFramesInserted)},
      {"audioLeadingSilence", static_cast<qint64>(now.audioLeadingSilence)},
      {"audioSilenceInserted", static_cast<qint64>(now.audioSilenceInserted)},
      {"audioGaps", static_cast<qint64>(now.audioGaps)},
      {"audioSamplesDropped", static_cast<qint64>(now.audioFramesDropped)},
  };
}

// One progress line on standard error: the time since the recording
// started, the resident memory and the graph's running counters.
void PrintSample(double seconds, const media::CaptureStats& now,
                 const media::CaptureStats& before) {
  QJsonObject line = Counters(now, before);
  line.insert("t", seconds);
  line.insert("rssKiB", ResidentKiB());
  const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
  std::fflush(stderr);
}

}  // namespace

int FindCamera(const std::vector<VideoDevice>& cameras, const char* text) {
  bool isNumber = false;
  const int index = QString::fromLocal8Bit(text).toInt(&isNumber);
  if (isNumber) return index >= 0 && static_cast<std::size_t>(index) < cameras.size() ? index : -1;
  const QString path = QString::fromLocal8Bit(text);
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    if (cameras[i].devicePath == path) return static_cast<int>(i);
  }
  return -1;
}

int Record(int argc, char** argv) {
  const std::optional<Options> options = Parse(argc, argv);
  if (!options) return kUsage;
  const Options& o = *options;
  // Without any display, the window is drawn off-screen.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  QApplication app(argc, argv);

  std::vector<VideoDevice> cameras;
  EnumerateVideoDevices(cameras);
  const QByteArray cameraName = o.camera.toLocal8Bit();
  const int index = FindCamera(cameras, cameraName.constData());
  if (index < 0) return Fail(QStringLiteral("no such camera"));
  VideoDevice& camera = cameras[static_cast<std::size_t>(index)];
  if (const Status status = OpenVideoDevice(camera); status != 0) {
    return Fail(QStringLiteral("camera cannot be opened"), "openStatus", status);
  }
  if (static_cast<std::size_t>(o.format) >= camera.formats.size()) {
    return Fail(QStringLiteral("no such format"));
  }
  const VideoFormat& format = camera.formats[static_cast<std::size_t>(o.format)];
  camera.formatIndex = o.format;
  camera.frameRate = o.fps;
  if (const Status applied = ApplyFormat(camera, o.format, o.fps); applied != 0) {
    return Fail(QStringLiteral("format cannot be applied"), "applyStatus", applied);
  }

  std::vector<AudioDevice> microphones;
  QString microphone;
  QJsonValue microphoneName;
  if (o.mic) {
    EnumerateAudioDevices(microphones);
    if (*o.mic < 0 || static_cast<std::size_t>(*o.mic) >= microphones.size()) {
      return Fail(QStringLiteral("no such microphone"));
    }
    microphone = microphones[static_cast<std::size_t>(*o.mic)].devicePath;
    microphoneName = microphones[static_cast<std::size_t>(*o.mic)].name;
  }

  // A window as the program's: one translucent frameless surface with the
  // picture's area inside a 15-pixel border.
  QWidget main(nullptr, Qt::Window | Qt::FramelessWindowHint);
  main.setAttribute(Qt::WA_TranslucentBackground);
  main.resize(o.window + QSize(30, 30));
  auto* preview = new QWidget(&main);
  preview->setAttribute(Qt::WA_TransparentForMouseEvents);
  preview->setGeometry(15, 15, o.window.width(), o.window.height());
  main.show();

  CCaptureGraph graph;
  if (const Status status = BuildGraph(graph, &camera, microphone); status != 0) {
    return Fail(QStringLiteral("graph cannot be built"), "buildStatus", status);
  }
  if (!graph.session) return Fail(QStringLiteral("the camera cannot be bound"));
  // Asked to end: the recording stops and its file is finished.
  SetTerminationHandler([] {
    g_interrupted = true;
    if (g_loop) g_loop->quit();
  });
  const Status previewStatus = StartPreview(graph, preview);
  Pump(kWarmUp);
  // A camera that takes longer to give its first frame (a large one) is
  // waited for, so that the recording measures a streaming camera.
  const auto firstFrameBy = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (previewStatus == 0 && graph.session->Stats().framesDelivered == 0 &&
         std::chrono::steady_clock::now() < firstFrameBy) {
    Pump(std::chrono::milliseconds(20));
  }
  // Minimised the way a user does it: once it is on screen.
  bool minimized = false;
  if (o.minimized) {
    main.showMinimized();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (main.windowHandle() && main.windowHandle()->isExposed() &&
           std::chrono::steady_clock::now() < until) {
      Pump(std::chrono::milliseconds(20));
    }
    minimized = main.windowHandle() && !main.windowHandle()->isExposed();
  }

  const media::CaptureStats before = graph.session->Stats();
  const Status startStatus = StartRecording(graph, o.out);
  if (startStatus != 0) {
    return Fail(QStringLiteral("recording cannot be started"), "startStatus", startStatus);
  }
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::milliseconds(std::llround(o.seconds * 1000));
  // A file that stopped on its own (a full disk) ends the recording at
  // once; it is looked at a few times a second.
  constexpr std::chrono::milliseconds kWatch{100};
  const std::chrono::milliseconds period{o.sample > 0 ? std::llround(o.sample * 1000) : 0};
  auto nextSample = start + period;
  bool stoppedEarly = false;
  while (!g_interrupted && std::chrono::steady_clock::now() < end) {
    auto until = std::min(end, std::chrono::steady_clock::now() + kWatch);
    if (period.count() > 0) until = std::min(until, nextSample);
    PumpUntil(until);
    if (period.count() > 0 && std::chrono::steady_clock::now() >= nextSample && nextSample < end) {
      const media::CaptureStats now = graph.session->Stats();
      PrintSample(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), now, before);
      nextSample += period;
    }
    if (media::Failed(RecordingStatus(graph))) {
      stoppedEarly = true;
      break;
    }
  }
  if (!o.grab.isEmpty()) preview->grab().save(o.grab);
  // The file is finished in the background; the report waits for it.
  std::optional<media::RecordingResult> result;
  StopRecording(graph, [&result](const media::RecordingResult& finished) { result = finished; });
  media::FinishRecordings();
  const Status stopStatus = result ? media::StatusFromError(result->error) : media::kFalse;
  const QString stopReason =
      result && result->error ? QString::fromStdString(result->error.message()) : QString();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const media::CaptureStats after = graph.session->Stats();
  // The span the file was written for, when the graph tells it.
  if (after.recordingEndUs > after.recordingStartUs && after.recordingStartUs > 0) {
    seconds = static_cast<double>(after.recordingEndUs - after.recordingStartUs) / 1e6;
  }
  ReleaseGraph(graph);

  // The rate the camera was set to, as ApplyFormat clamps it.
  int fps = o.fps == 0 ? format.maxFps : o.fps;
  if (fps > format.maxFps) fps = format.maxFps;
  if (fps < format.minFps) fps = format.minFps;
  if (fps <= 0) fps = format.maxFps;
  QJsonObject out{
      {"file", o.out},
      {"camera", camera.name},
      {"format", FormatToJson(format)},
      {"fps", fps},
      {"microphone", microphoneName},
      {"previewStatus", previewStatus},
      {"previewMinimized", minimized},
      {"startStatus", startStatus},
      {"stopStatus", stopStatus},
      {"seconds", seconds},
      {"framesExpected", static_cast<qint64>(std::llround(seconds * fps))},
      {"stoppedEarly", stoppedEarly},
      {"interrupted", g_interrupted},
  };
  const QJsonObject counters = Counters(after, before);
  for (auto it = counters.begin(); it != counters.end(); ++it) out.insert(it.key(), it.value());
  SetTerminationHandler({});
  if (!stopReason.isEmpty() || !after.recordingError.empty()) {
    out.insert("error", !stopReason.isEmpty() ? stopReason : QString::fromStdString(after.recordingError));
    return Print(out, 1);
  }
  if (media::Failed(stopStatus)) out.insert("stopReason", QString::fromStdString(media::StatusText(stopStatus)));
  if (g_interrupted) {
    out.insert("error", QStringLiteral("stopped early: the process was asked to end"));
    return Print(out, 1);
  }
  return Print(out, 0);
}

}  // namespace kinovo::probe
