// kinovo-probe devices
// kinovo-probe set-property CAMERA SLOT VALUE
// kinovo-probe reset-properties CAMERA
// kinovo-probe record --camera CAMERA --format INDEX --fps F [--mic K]
//                     --seconds S --out FILE.avi [--window WxH] [--grab FILE.png]
//                     [--preview shown|minimized] [--sample S]
//
// CAMERA is the camera's position in the list (0, 1, ...) or its device
// path; SLOT is a slot number 0-9 or its name (Brightness, WhiteBalance, ...).
// Output is one JSON object on standard output.

#include <cstdio>
#include <optional>
#include <vector>

#include <QJsonDocument>
#include <QString>

#include "capture/capture_graph.h"
#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "tools/probe/probe_json.h"
#include "tools/probe/record.h"

namespace {

using namespace kinovo;

void Print(const QJsonObject& object) {
  const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
}

int Usage() {
  std::fputs(
      "usage: kinovo-probe devices\n"
      "       kinovo-probe set-property CAMERA SLOT VALUE\n"
      "       kinovo-probe reset-properties CAMERA\n"
      "       kinovo-probe record --camera CAMERA --format INDEX --fps F [--mic K]\n"
      "                           --seconds S --out FILE.avi [--window WxH] [--grab FILE.png]\n"
      "                           [--preview shown|minimized]   (minimized: recording only)\n"
      "                           [--sample S]   (a line of counters on stderr every S seconds)\n"
      "CAMERA: list position or device path; SLOT: 0-9 or a control name\n",
      stderr);
  return 2;
}

std::optional<int> ParseInt(const char* text) {
  bool ok = false;
  const int value = QString::fromLocal8Bit(text).toInt(&ok);
  return ok ? std::optional<int>(value) : std::nullopt;
}

std::optional<ImageSlot> ParseSlot(const char* text) {
  if (auto number = ParseInt(text)) {
    if (*number >= 0 && *number < kImageSlotCount) return static_cast<ImageSlot>(*number);
    return std::nullopt;
  }
  const QString name = QString::fromLocal8Bit(text);
  for (int i = 0; i < kImageSlotCount; ++i) {
    if (probe::SlotName(static_cast<ImageSlot>(i)).compare(name, Qt::CaseInsensitive) == 0) {
      return static_cast<ImageSlot>(i);
    }
  }
  return std::nullopt;
}

std::optional<ImageControl> ControlOfSlot(ImageSlot slot) {
  for (int i = 0; i < kImageControlCount; ++i) {
    const auto control = static_cast<ImageControl>(i);
    if (SlotOfControl(control) == slot) return control;
  }
  return std::nullopt;
}

int Devices() {
  std::vector<VideoDevice> cameras;
  std::vector<AudioDevice> microphones;
  EnumerateVideoDevices(cameras);
  EnumerateAudioDevices(microphones);
  QJsonArray cameraList;
  for (VideoDevice& camera : cameras) {
    const Status status = OpenVideoDevice(camera);
    cameraList.append(probe::CameraToJson(camera, status));
  }
  QJsonArray microphoneList;
  for (const AudioDevice& microphone : microphones) {
    microphoneList.append(probe::MicrophoneToJson(microphone));
  }
  Print(QJsonObject{{"cameras", cameraList}, {"microphones", microphoneList}});
  return 0;
}

// Lists the cameras and opens the one named; prints an error object and
// returns false when that fails.
bool OpenCamera(std::vector<VideoDevice>& cameras, const char* name, int& index, Status& status) {
  EnumerateVideoDevices(cameras);
  index = probe::FindCamera(cameras, name);
  if (index < 0) {
    Print(QJsonObject{{"error", QStringLiteral("no such camera")}});
    return false;
  }
  status = OpenVideoDevice(cameras[static_cast<std::size_t>(index)]);
  if (status != 0) {
    Print(QJsonObject{{"error", QStringLiteral("camera cannot be opened")},
                      {"openStatus", status},
                      {"reason", QString::fromStdString(media::StatusText(status))}});
    return false;
  }
  return true;
}

int SetProperty(const char* camera, const char* slotText, const char* valueText) {
  const auto slot = ParseSlot(slotText);
  const auto value = ParseInt(valueText);
  if (!slot || !value) return Usage();
  std::vector<VideoDevice> cameras;
  int index = -1;
  Status status = 0;
  if (!OpenCamera(cameras, camera, index, status)) return 1;
  VideoDevice& device = cameras[static_cast<std::size_t>(index)];
  const auto control = ControlOfSlot(*slot);
  // Hue, gain, backlight compensation and colour enable are only reset.
  const bool result = control && SetImageProperty(device, *control, *value);
  QJsonObject out{{"result", result},
                  {"requested", *value},
                  {"value", device.property(*slot).value},
                  {"property", probe::PropertyToJson(*slot, device.property(*slot))}};
  if (!control) out.insert("error", QStringLiteral("control cannot be set on its own"));
  Print(out);
  return result ? 0 : 1;
}

int ResetProperties(const char* camera) {
  std::vector<VideoDevice> cameras;
  int index = -1;
  Status status = 0;
  if (!OpenCamera(cameras, camera, index, status)) return 1;
  VideoDevice& device = cameras[static_cast<std::size_t>(index)];
  const bool result = ResetImageProperties(device);
  Print(QJsonObject{{"result", result}, {"properties", probe::PropertiesToJson(device)}});
  return result ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && QByteArray(argv[1]) == "devices") return Devices();
  if (argc == 5 && QByteArray(argv[1]) == "set-property") {
    return SetProperty(argv[2], argv[3], argv[4]);
  }
  if (argc == 3 && QByteArray(argv[1]) == "reset-properties") return ResetProperties(argv[2]);
  if (argc >= 2 && QByteArray(argv[1]) == "record") {
    const int result = probe::Record(argc, argv);
    return result == probe::kUsage ? Usage() : result;
  }
  return Usage();
}
