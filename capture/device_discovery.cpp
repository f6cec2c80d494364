#include "capture/device_discovery.h"

#include "capture/capture_log.h"

namespace kinovo {
namespace {

bool IsIdentifierChar(QChar c) { return c.isLetterOrNumber(); }

}  // namespace

QString ShortenDeviceName(const QString& name) {
  if (name.size() <= kMaxDeviceNameLength) return name;
  qsizetype keep = kMaxDeviceNameLength;
  // Never half a surrogate pair.
  if (name.at(keep - 1).isHighSurrogate()) --keep;
  return name.left(keep) + QStringLiteral("...");
}

VideoDevice MakeVideoDevice(const media::CameraInfo& info) {
  VideoDevice device;
  device.name = ShortenDeviceName(QString::fromStdString(info.card));
  device.devicePath = QString::fromStdString(info.stablePath);
  device.deviceId = MakeDeviceId(device.devicePath);
  device.node = QString::fromStdString(info.node);
  device.busInfo = QString::fromStdString(info.busInfo);
  return device;
}

AudioDevice MakeAudioDevice(const media::MicrophoneInfo& info) {
  AudioDevice device;
  device.name = ShortenDeviceName(QString::fromStdString(info.description));
  device.devicePath = QString::fromStdString(info.name);
  device.deviceId = MakeDeviceId(device.devicePath);
  return device;
}

std::int32_t EnumerateVideoDevices(std::vector<VideoDevice>& devices) {
  devices.clear();
  for (const media::CameraInfo& info : media::CurrentDevices()->ListCameras()) {
    devices.push_back(MakeVideoDevice(info));
  }
  qCDebug(lcCapture) << devices.size() << "cameras listed";
  return static_cast<std::int32_t>(devices.size());
}

std::int32_t EnumerateAudioDevices(std::vector<AudioDevice>& devices) {
  devices.clear();
  for (const media::MicrophoneInfo& info : media::CurrentDevices()->ListMicrophones()) {
    devices.push_back(MakeAudioDevice(info));
  }
  qCDebug(lcCapture) << devices.size() << "microphones listed";
  return static_cast<std::int32_t>(devices.size());
}

std::unique_ptr<media::DeviceWatch> WatchVideoDevices(
    std::function<void(std::vector<VideoDevice>)> changed) {
  auto watch = media::CurrentDevices()->WatchCameras(
      [changed = std::move(changed)](std::vector<media::CameraInfo> cameras) {
        std::vector<VideoDevice> devices;
        for (const media::CameraInfo& info : cameras) devices.push_back(MakeVideoDevice(info));
        changed(std::move(devices));
      });
  if (!watch) qCDebug(lcCapture) << "cameras are not followed";
  return watch;
}

std::unique_ptr<media::DeviceWatch> WatchAudioDevices(
    std::function<void(std::vector<AudioDevice>)> changed) {
  auto watch = media::CurrentDevices()->WatchMicrophones(
      [changed = std::move(changed)](std::vector<media::MicrophoneInfo> microphones) {
        std::vector<AudioDevice> devices;
        for (const media::MicrophoneInfo& info : microphones)
          devices.push_back(MakeAudioDevice(info));
        changed(std::move(devices));
      });
  if (!watch) qCDebug(lcCapture) << "microphones are not followed";
  return watch;
}

QString MakeDeviceId(const QString& path) {
  const QString lower = path.toLower();
  static const QString kUsbMarker = QStringLiteral("\\usb#");
  const qsizetype found = lower.indexOf(kUsbMarker);
  if (found <= 0) return lower;
  const qsizetype start = found + kUsbMarker.size();
  if (start >= lower.size()) return lower;
  const qsizetype hash = lower.indexOf(QLatin1Char('#'), start);
  return hash >= 0 ? lower.mid(start, hash - start) : lower.mid(start);
}

bool DeviceIdMatchesPath(const QString& id, const QString& lowerPath) {
  if (id.isEmpty()) return true;
  for (qsizetype at = lowerPath.indexOf(id); at >= 0; at = lowerPath.indexOf(id, at + 1)) {
    const qsizetype end = at + id.size();
    const bool startsToken = at == 0 || !IsIdentifierChar(lowerPath.at(at - 1)) ||
                             !IsIdentifierChar(id.front());
    const bool endsToken = end == lowerPath.size() || !IsIdentifierChar(lowerPath.at(end)) ||
                           !IsIdentifierChar(id.back());
    if (startsToken && endsToken) return true;
  }
  return false;
}

bool SameCamera(const VideoDevice& a, const VideoDevice& b) {
  return a.name == b.name && a.busInfo == b.busInfo;
}

std::vector<int> KeepCameraRecords(std::vector<VideoDevice>& listed,
                                   std::vector<VideoDevice>& known) {
  std::vector<int> from(listed.size(), -1);
  std::vector<bool> taken(known.size(), false);
  for (std::size_t i = 0; i < listed.size(); ++i) {
    for (std::size_t j = 0; j < known.size(); ++j) {
      if (taken[j] || known[j].node != listed[i].node || !SameCamera(known[j], listed[i])) continue;
      listed[i] = std::move(known[j]);
      taken[j] = true;
      from[i] = static_cast<int>(j);
      break;
    }
  }
  return from;
}

Status BindVideoDeviceById(VideoDevice& device, const QString& id) {
  const auto devices = media::CurrentDevices();
  Status status = media::kFalse;
  for (const media::CameraInfo& info : devices->ListCameras()) {
    if (!DeviceIdMatchesPath(id, QString::fromStdString(info.stablePath).toLower())) continue;
    std::shared_ptr<media::Camera> camera;
    if (const std::error_code error = devices->OpenCamera(info, camera); error || !camera) {
      qCWarning(lcCapture).noquote()
          << "camera"
          << QStringLiteral("\"%1\" (%2)")
                 .arg(QString::fromStdString(info.card), QString::fromStdString(info.node))
          << ": open failed:" << QString::fromStdString(error.message());
      status =
          media::StatusFromError(error ? error : std::make_error_code(std::errc::no_such_device));
      continue;
    }
    const VideoDevice listed = MakeVideoDevice(info);
    device.name = listed.name;
    device.devicePath = listed.devicePath;
    device.deviceId = listed.deviceId;
    device.node = listed.node;
    device.busInfo = listed.busInfo;
    device.camera = std::move(camera);
    return media::kOk;
  }
  return status;
}

}  // namespace kinovo
