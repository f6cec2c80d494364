#include "graph_fixture.h"

#include <sys/resource.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "capture/device_discovery.h"
#include "capture/video_formats.h"

namespace kinovo::graphtest {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The main window and, over its interior less 15 pixels a side, the
// picture's area.
constexpr QRect kMainRect{200, 150, 670, 390};
constexpr int kBorder = 15;

}  // namespace

void Pump(std::chrono::milliseconds duration) {
  QEventLoop loop;
  // Precise: a coarse timer may end a long wait 5 % early.
  QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout.count()) return false;
    Pump(10ms);
  }
  return true;
}

std::vector<std::string> VcamLog() {
  std::vector<std::string> lines;
  std::ifstream in(Env("KINOVO_VCAM_LOG"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

VcamDrops VcamDropsSoFar() {
  VcamDrops drops;
  std::ifstream in(Env("KINOVO_VCAM_DROPS"));
  std::string device, late, starved;
  while (in >> device >> late >> starved) {
    drops.late += std::stoull(late.substr(late.find('=') + 1));
    drops.starved += std::stoull(starved.substr(starved.find('=') + 1));
  }
  return drops;
}

std::vector<std::string> VcamLogLines(const std::string& prefix, std::size_t skip) {
  std::vector<std::string> lines;
  const std::vector<std::string> all = VcamLog();
  for (std::size_t i = skip; i < all.size(); ++i) {
    if (all[i].rfind(prefix, 0) == 0) lines.push_back(all[i]);
  }
  return lines;
}

Unplug::Unplug(int node)
    : trigger_(std::filesystem::path(Env("KINOVO_VCAM_CONTROL_DIR")) /
               ("unplug-video" + std::to_string(node))) {
  std::ofstream(trigger_).put('\n');
}

Unplug::~Unplug() {
  std::error_code ec;
  std::filesystem::remove(trigger_, ec);
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void MainWindow::mousePressEvent(QMouseEvent*) { ++presses; }

void GraphTest::SetUp() {
  ASSERT_FALSE(Env("KINOVO_VCAM_LOG").empty()) << "the virtual camera's folder is not set up";
  EnumerateVideoDevices(cameras_);
  ASSERT_FALSE(cameras_.empty()) << "is the virtual camera loaded?";
  camera_ = &cameras_[0];
  ASSERT_EQ(OpenVideoDevice(*camera_), 0);

  main_ = std::make_unique<MainWindow>();
  main_->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  main_->setGeometry(kMainRect);
  main_->show();
  // The picture's area as the program's: a child of the main window over
  // its interior that lets the pointer through.
  preview_ = new QWidget(main_.get());
  preview_->setAttribute(Qt::WA_TransparentForMouseEvents);
  preview_->setGeometry(
      QRect(QPoint(kBorder, kBorder), kMainRect.size()).adjusted(0, 0, -2 * kBorder, -2 * kBorder));
  preview_->show();
  ASSERT_TRUE(PumpUntil(
      [this] { return main_->windowHandle() && main_->windowHandle()->isExposed(); }, 5s));
}

void GraphTest::TearDown() {
  // Nothing of a test may linger into the next: the graph holders are the
  // tests' own and are gone by now.
  main_.reset();
}

void GraphTest::UseFormat(int index) {
  ASSERT_EQ(ApplyFormat(*camera_, index, 30), 0);
  camera_->formatIndex = index;
  camera_->frameRate = 30;
}

QString GraphTest::Microphone(const std::string& source) {
  EnumerateAudioDevices(microphones_);
  for (const AudioDevice& mic : microphones_) {
    if (mic.devicePath == QString::fromStdString(source)) return mic.devicePath;
  }
  return {};
}

media::CaptureStats GraphTest::Stats(const CCaptureGraph& graph) {
  return graph.session ? graph.session->Stats() : media::CaptureStats{};
}

Status GraphTest::StopAndFinish(CCaptureGraph& graph, QString* reason, media::SoundReport* sound) {
  std::optional<media::RecordingResult> result;
  const Status stopped =
      StopRecording(graph, [&result](const media::RecordingResult& r) { result = r; });
  if (stopped != 0) return stopped;
  EXPECT_TRUE(PumpUntil([&] { return result.has_value(); }, 10s)) << "the file was never finished";
  if (!result) return media::StatusFromErrno(ETIMEDOUT);
  if (reason) *reason = QString::fromStdString(result->error.message());
  if (reason && !result->error) reason->clear();
  if (sound) *sound = result->sound;
  return media::StatusFromError(result->error);
}

std::string Describe(const media::CaptureStats& s) {
  std::ostringstream out;
  out << "captured " << s.recordedFramesCaptured << ", written " << s.framesWritten << " (repeated "
      << s.framesRepeated << "), empty " << s.emptyFramesWritten << ", discarded "
      << s.framesDiscarded << ", unusable " << s.framesUnusable << ", sound written "
      << s.audioFramesWritten << " inserted " << s.audioFramesInserted << " (leading "
      << s.audioLeadingSilence << ", gaps " << s.audioGaps << " with " << s.audioSilenceInserted
      << ") dropped " << s.audioFramesDropped << ", span " << s.recordingEndUs - s.recordingStartUs
      << " us, file from " << s.zeroUs - s.recordingStartUs << " us";
  return out.str();
}

QWidget* GraphTest::VideoWindow() const {
  const auto children = preview_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  return children.size() == 1 ? children.front() : nullptr;
}

std::filesystem::path GraphTest::OutDir() {
  const std::filesystem::path dir = std::filesystem::path(KINOVO_GRAPH_OUT_DIR);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

}  // namespace kinovo::graphtest
