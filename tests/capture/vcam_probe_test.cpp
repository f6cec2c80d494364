// kinovo-probe run as a program on the virtual camera (demo.ini) and the
// test PulseAudio daemon; its JSON is checked against what the profile
// declares.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "tests/capture/vcam_env.h"

namespace kinovo {
namespace {

struct ProbeRun {
  int exitCode = -1;
  QJsonObject output;
};

// Runs the probe with the test's own environment (virtual camera, sound
// server, log directory) and reads its standard output.
ProbeRun RunProbe(const std::vector<std::string>& arguments) {
  ProbeRun run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::vector<char*> argv;
  std::string program = KINOVO_PROBE_PATH;
  argv.push_back(program.data());
  std::vector<std::string> args = arguments;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ADD_FAILURE() << "spawn: " << std::strerror(spawned);
    return run;
  }
  QByteArray text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, n);
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) {
    ADD_FAILURE() << "probe did not exit normally, status " << status;
    return run;
  }
  run.exitCode = WEXITSTATUS(status);
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
  run.output = doc.object();
  return run;
}

QJsonObject Format(int index, int width, int height, int minFps, int maxFps, int frameBytes,
                   const char* subtype) {
  return QJsonObject{{"index", index},       {"width", width},
                     {"height", height},     {"minFps", minFps},
                     {"maxFps", maxFps},     {"frameBytes", frameBytes},
                     {"subtype", QString::fromLatin1(subtype)}};
}

QJsonObject Property(int slot, const char* control, bool valid, int min = 0, int max = 0,
                     int step = 0, int defaultValue = 0) {
  return QJsonObject{{"slot", slot},
                     {"control", QString::fromLatin1(control)},
                     {"valid", valid},
                     {"min", valid ? min : 0},
                     {"max", valid ? max : 0},
                     {"step", valid ? step : 0},
                     {"defaultValue", valid ? defaultValue : 0},
                     {"value", valid ? defaultValue : 0}};
}

std::string Text(const QJsonValue& value) {
  return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
      .toStdString();
}

TEST(ProbeTool, DevicesListsExactlyWhatTheProfileDeclares) {
  const ProbeRun run = RunProbe({"devices"});
  ASSERT_EQ(run.exitCode, 0);
  const QJsonArray cameras = run.output.value("cameras").toArray();
  ASSERT_EQ(cameras.size(), 1);  // the metadata node is no camera
  const QJsonObject camera = cameras[0].toObject();
  EXPECT_EQ(camera.value("name").toString(), QStringLiteral("Kinovo Test Camera"));
  EXPECT_EQ(camera.value("devicePath").toString(), QStringLiteral("/dev/video0"));
  EXPECT_EQ(camera.value("deviceId").toString(), QStringLiteral("/dev/video0"));
  EXPECT_EQ(camera.value("clsid").toString(),
            QStringLiteral("{042D3A78-5CAC-4C68-AEE5-F5337603856E}"));
  EXPECT_EQ(camera.value("openStatus").toInt(-1), 0);

  const QJsonArray formats{
      Format(0, 1920, 1080, 15, 30, 1920 * 1080 * 2, "MJPG"),
      Format(1, 1280, 720, 30, 30, 1280 * 720 * 2, "MJPG"),
      Format(2, 640, 480, 7, 30, 640 * 480 * 2, "YUY2"),  // 7.5 fps is 2/15 s: 7
      Format(3, 320, 240, 30, 30, 320 * 240 * 2, "YUY2"),
  };
  EXPECT_EQ(camera.value("formats").toArray(), formats)
      << Text(camera.value("formats"));

  const QJsonArray properties{
      Property(0, "Brightness", true, 0, 255, 1, 128),
      Property(1, "Contrast", true, 0, 100, 1, 50),
      Property(2, "Hue", false),
      Property(3, "Saturation", true, 0, 200, 2, 100),
      Property(4, "Sharpness", true, 0, 7, 1, 3),
      Property(5, "Gamma", true, 100, 300, 10, 150),
      Property(6, "WhiteBalance", true, 2800, 6500, 10, 4600),
      Property(7, "Gain", false),
      Property(8, "BacklightCompensation", true, 0, 2, 1, 1),
      Property(9, "ColorEnable", false),
  };
  EXPECT_EQ(camera.value("properties").toArray(), properties)
      << Text(camera.value("properties"));

  const QJsonArray microphones = run.output.value("microphones").toArray();
  bool sine = false;
  for (const QJsonValue& m : microphones) {
    const QJsonObject mic = m.toObject();
    EXPECT_FALSE(mic.value("name").toString().isEmpty());
    EXPECT_FALSE(mic.value("devicePath").toString().endsWith(QStringLiteral(".monitor")))
        << Text(m);
    EXPECT_FALSE(mic.value("name").toString().startsWith(QStringLiteral("Monitor of"))) << Text(m);
    sine = sine || mic.value("devicePath").toString() == QStringLiteral("sine");
  }
  EXPECT_TRUE(sine) << Text(microphones);
}

TEST(ProbeTool, SetPropertySnapsClampsAndWritesManually) {
  vcamtest::ClearLog();
  ProbeRun run = RunProbe({"set-property", "0", "WhiteBalance", "5003"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.output.value("result").toBool());
  EXPECT_EQ(run.output.value("value").toInt(), 5000);
  EXPECT_EQ(vcamtest::LogLinesStartingWith("video0 s_ctrl"),
            (std::vector<std::string>{"video0 s_ctrl white_balance_automatic 0",
                                      "video0 s_ctrl white_balance_temperature 5000"}));

  run = RunProbe({"set-property", "/dev/video0", "0", "300"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.value("value").toInt(), 255);

  // Hue cannot be set on its own (and this camera has none anyway).
  run = RunProbe({"set-property", "0", "2", "10"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_FALSE(run.output.value("result").toBool(true));

  run = RunProbe({"set-property", "7", "0", "10"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(run.output.contains("error"));
}

TEST(ProbeTool, ResetPropertiesPutsDefaultsInAutomaticMode) {
  vcamtest::ClearLog();
  const ProbeRun run = RunProbe({"reset-properties", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.output.value("result").toBool());
  const auto lines = vcamtest::LogLinesStartingWith("video0 s_ctrl");
  const std::vector<std::string> expected{
      "video0 s_ctrl brightness 128",     "video0 s_ctrl contrast 50",
      "video0 s_ctrl saturation 100",     "video0 s_ctrl sharpness 3",
      "video0 s_ctrl gamma 150",          "video0 s_ctrl white_balance_automatic 1",
      "video0 s_ctrl backlight_compensation 1"};
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace kinovo
