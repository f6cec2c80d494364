#pragma once

// A main window with the area of its live picture (the way the program's
// main window makes them), the virtual camera opened through the capture engine, and
// helpers to run the event loop and to read the camera's event log.

#include <gtest/gtest.h>

#include <QWidget>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_graph.h"
#include "capture/capture_types.h"
#include "platform/media/linux/capture_session.h"

namespace kinovo::graphtest {

using namespace std::chrono_literals;

// Formats of the test camera (profiles/graph.ini), by their index in the
// capture-mode list.
inline constexpr int kMjpeg1080 = 0;
inline constexpr int kMjpeg480 = 1;
inline constexpr int kYuyv480 = 2;
inline constexpr int kYuyv1080 = 3;

// Runs the event loop for a while, or until `done` holds.
void Pump(std::chrono::milliseconds duration);
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// The virtual camera's event log, and its unplug trigger.
std::vector<std::string> VcamLog();
// The log lines after the first `skip` ones that start with `prefix`.
std::vector<std::string> VcamLogLines(const std::string& prefix, std::size_t skip = 0);

// The frame slots the camera dropped over its streams so far: those it woke
// too late for (the machine was starved) and those for which no buffer was
// queued (the program fell behind).
struct VcamDrops {
  std::uint64_t late = 0;
  std::uint64_t starved = 0;
};
VcamDrops VcamDropsSoFar();

class Unplug {
 public:
  explicit Unplug(int node);
  ~Unplug();
  Unplug(const Unplug&) = delete;
  Unplug& operator=(const Unplug&) = delete;

 private:
  std::filesystem::path trigger_;
};

// The process's own processor time (user and system), in seconds.
double CpuSeconds();

// A window that counts the pointer presses it receives.
class MainWindow : public QWidget {
 public:
  int presses = 0;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

// A file name as the capture graph takes it.
inline QString QPath(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

// The recording's counters, to tell what a failed check saw.
std::string Describe(const media::CaptureStats& stats);

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sets a capture mode of the camera at 30 frames per second, as the main
  // window does.
  void UseFormat(int index);
  // The listed microphone named `source`: its name, empty when it is not
  // listed.
  QString Microphone(const std::string& source);
  static media::CaptureStats Stats(const CCaptureGraph& graph);
  // Stops the recording and waits until its file is complete: the file's
  // status (1 when nothing was recorded), and why it failed in words.
  static Status StopAndFinish(CCaptureGraph& graph, QString* reason = nullptr,
                              media::SoundReport* sound = nullptr);
  // The video window: the renderer the graph put into the picture's area.
  QWidget* VideoWindow() const;
  // Where screenshots go, to be looked at.
  static std::filesystem::path OutDir();

  std::vector<VideoDevice> cameras_;
  std::vector<AudioDevice> microphones_;
  VideoDevice* camera_ = nullptr;
  std::unique_ptr<MainWindow> main_;
  QWidget* preview_ = nullptr;  // owned by main_
};

}  // namespace kinovo::graphtest
