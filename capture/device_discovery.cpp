#include "capture/device_discovery.h"

#include "capture/capture_log.h"

namespace kinovo {
namespace {

using media::DeviceCategory;
using media::Failed;
using media::kFalse;
using media::kOk;

// The first kMaxDeviceNameLength characters and "...", without splitting a
// surrogate pair.
QString ShortenName(const QString& name) {
  if (name.size() <= kMaxDeviceNameLength) return name;
  qsizetype keep = kMaxDeviceNameLength;
  if (name.at(keep - 1).isHighSurrogate()) --keep;
  return name.left(keep) + QStringLiteral("...");
}

template <typename Record>
Status ReadMoniker(Record& device, media::Moniker* moniker, bool bind) {
  if (!moniker) return kFalse;
  std::shared_ptr<media::PropertyBag> bag;
  const Status bagStatus = moniker->BindToStorage(bag);
  if (bagStatus != kOk) return bagStatus;
  if (!bag) return media::kPointer;

  QString text;
  if (!Failed(bag->Read(media::kFriendlyName, text))) device.name = ShortenName(text);
  text.clear();
  if (!Failed(bag->Read(media::kClsid, text))) device.clsid = text;
  text.clear();
  if (!Failed(bag->Read(media::kDevicePath, text))) device.devicePath = text;
  bag.reset();
  device.deviceId = MakeDeviceId(device.devicePath);

  if (!bind) return device.name.isEmpty() ? kFalse : kOk;
  const Status bound = moniker->BindToObject(device.filter);
  if (Failed(bound)) {
    qCWarning(lcCapture).noquote()
        << "device" << QStringLiteral("\"%1\" (%2)").arg(device.name, device.devicePath)
        << ": BindToObject failed:" << DescribeStatus(bound);
  }
  return bound;
}

// The category's moniker enumerator, or none when the platform has no
// devices of it (or no enumerator at all).
std::unique_ptr<media::MonikerEnumerator> OpenCategory(DeviceCategory category, Status& status) {
  std::unique_ptr<media::MonikerEnumerator> monikers;
  std::shared_ptr<media::DeviceEnumerator> devices;
  status = media::CurrentPlatform()->CreateDeviceEnumerator(devices);
  if (Failed(status)) {
    qCWarning(lcCapture).noquote()
        << "devices cannot be listed: CreateDeviceEnumerator failed:" << DescribeStatus(status);
    return nullptr;
  }
  if (!devices) {
    status = media::kPointer;
    return nullptr;
  }
  status = devices->CreateClassEnumerator(category, monikers);
  if (Failed(status)) {
    qCWarning(lcCapture).noquote()
        << (category == DeviceCategory::VideoInput ? "cameras" : "microphones")
        << "cannot be listed: CreateClassEnumerator failed:" << DescribeStatus(status);
  }
  if (status != kOk) return nullptr;
  if (!monikers) status = kFalse;
  return monikers;
}

template <typename Record>
void ReadAll(media::MonikerEnumerator& monikers, std::vector<Record>& devices, bool bind) {
  std::shared_ptr<media::Moniker> moniker;
  while (monikers.Next(moniker) == kOk) {
    Record record;
    if (!Failed(ReadMoniker(record, moniker.get(), bind))) devices.push_back(std::move(record));
    moniker.reset();
  }
}

template <typename Record>
std::int32_t Enumerate(std::vector<Record>& devices, DeviceCategory category, bool bind) {
  devices.clear();
  Status status = kOk;
  auto monikers = OpenCategory(category, status);
  if (!monikers) return 0;
  ReadAll(*monikers, devices, bind);
  qCDebug(lcCapture) << devices.size()
                     << (category == DeviceCategory::VideoInput ? "cameras" : "microphones")
                     << "listed";
  return static_cast<std::int32_t>(devices.size());
}

bool IsIdentifierChar(QChar c) { return c.isLetterOrNumber(); }

}  // namespace

std::int32_t EnumerateVideoDevices(std::vector<VideoDevice>& devices) {
  return Enumerate(devices, DeviceCategory::VideoInput, false);
}

std::int32_t EnumerateAudioDevices(std::vector<AudioDevice>& devices) {
  return Enumerate(devices, DeviceCategory::AudioInput, true);
}

std::unique_ptr<media::DeviceWatch> WatchAudioDevices(
    std::function<void(std::vector<AudioDevice>)> changed) {
  std::unique_ptr<media::DeviceWatch> watch;
  const Status status = media::CurrentPlatform()->WatchDevices(
      DeviceCategory::AudioInput,
      [changed = std::move(changed)](std::unique_ptr<media::MonikerEnumerator> monikers) {
        std::vector<AudioDevice> devices;
        if (monikers) ReadAll(*monikers, devices, true);
        changed(std::move(devices));
      },
      watch);
  if (Failed(status)) {
    qCDebug(lcCapture).noquote() << "microphones are not followed:" << DescribeStatus(status);
  }
  return watch;
}

Status ReadDeviceMoniker(VideoDevice& device, media::Moniker* moniker, bool bind) {
  return ReadMoniker(device, moniker, bind);
}

Status ReadDeviceMoniker(AudioDevice& device, media::Moniker* moniker, bool bind) {
  return ReadMoniker(device, moniker, bind);
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

Status BindVideoDeviceById(VideoDevice& device, const QString& id) {
  Status status = kOk;
  auto monikers = OpenCategory(DeviceCategory::VideoInput, status);
  if (!monikers) return status;
  std::shared_ptr<media::Moniker> moniker;
  while (monikers->Next(moniker) == kOk) {
    if (!moniker) continue;
    std::shared_ptr<media::PropertyBag> bag;
    if (Failed(moniker->BindToStorage(bag)) || !bag) continue;
    QString path;
    if (Failed(bag->Read(media::kDevicePath, path))) continue;
    bag.reset();
    if (!DeviceIdMatchesPath(id, path.toLower())) continue;
    const Status read = ReadDeviceMoniker(device, moniker.get(), true);
    if (!Failed(read)) return read;
  }
  return kFalse;
}

Status FindDevicePins(VideoDevice& device) {
  if (!device.filter) return kFalse;
  std::unique_ptr<media::PinEnumerator> pins;
  const Status status = device.filter->EnumPins(pins);
  if (Failed(status)) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device) << ": EnumPins failed:" << DescribeStatus(status);
    return status;
  }
  if (!pins) return media::kPointer;
  std::shared_ptr<media::Pin> pin;
  while (pins->Next(pin) == kOk) {
    media::PinDirection direction = media::PinDirection::Input;
    if (!pin || Failed(pin->QueryDirection(direction)) ||
        direction != media::PinDirection::Output) {
      pin.reset();
      continue;
    }
    // A pin without category information counts as a preview pin.
    media::Guid category = media::PIN_CATEGORY_PREVIEW;
    pin->QueryCategory(category);
    const bool preview = category == media::PIN_CATEGORY_PREVIEW;
    const bool capture = category == media::PIN_CATEGORY_CAPTURE;
    if (!device.mainPin && !device.extraCapturePin && (preview || capture)) {
      device.mainPin = std::move(pin);
    } else if (!device.extraCapturePin && capture) {
      device.extraCapturePin = std::move(pin);
    }
    pin.reset();
  }
  return device.mainPin ? kOk : kFalse;
}

}  // namespace kinovo
