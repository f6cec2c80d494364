#pragma once

// A scriptable stand-in for the media layer, for unit tests of the capture
// engine. Every fake writes what it is asked into one shared call log.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "platform/media/media.h"

namespace kinovo::fake {

using namespace kinovo::media;

using CallLog = std::vector<std::string>;

struct FakeControl {
  Status rangeStatus = kOk;
  Status getStatus = kOk;
  Status setStatus = kOk;
  std::int32_t min = 0, max = 255, step = 1, defaultValue = 128, value = 128;
};

struct SetCall {
  std::int32_t property;
  std::int32_t value;
  std::int32_t flags;
};

class FakeProcAmp final : public VideoProcAmp {
 public:
  explicit FakeProcAmp(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}

  std::map<std::int32_t, FakeControl> controls;  // a property not here is unsupported
  std::vector<SetCall> sets;

  Status GetRange(std::int32_t property, std::int32_t& min, std::int32_t& max, std::int32_t& step,
                  std::int32_t& defaultValue, std::int32_t& capsFlags) override {
    log_->push_back("GetRange " + std::to_string(property));
    const auto it = controls.find(property);
    if (it == controls.end()) return kPropertyUnsupported;
    const FakeControl& c = it->second;
    min = c.min;
    max = c.max;
    step = c.step;
    defaultValue = c.defaultValue;
    capsFlags = procamp::kFlagsManual;
    return c.rangeStatus;
  }
  Status Get(std::int32_t property, std::int32_t& value, std::int32_t& flags) override {
    log_->push_back("Get " + std::to_string(property));
    const auto it = controls.find(property);
    if (it == controls.end()) return kPropertyUnsupported;
    value = it->second.value;
    flags = procamp::kFlagsManual;
    return it->second.getStatus;
  }
  Status Set(std::int32_t property, std::int32_t value, std::int32_t flags) override {
    log_->push_back("Set " + std::to_string(property) + " " + std::to_string(value) + " " +
                    std::to_string(flags));
    sets.push_back({property, value, flags});
    const auto it = controls.find(property);
    if (it == controls.end()) return kPropertyUnsupported;
    if (it->second.setStatus == kOk) it->second.value = value;
    return it->second.setStatus;
  }

 private:
  std::shared_ptr<CallLog> log_;
};

struct FakeCapability {
  Status status = kOk;
  MediaType mediaType;
  VideoStreamConfigCaps caps;
};

class FakeStreamConfig final : public StreamConfig {
 public:
  explicit FakeStreamConfig(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}

  Status countStatus = kOk;
  std::optional<std::int32_t> countOverride;  // else the number of capabilities
  std::int32_t structureSize = kVideoStreamConfigCapsSize;
  std::vector<FakeCapability> capabilities;
  Status getFormatStatus = kOk;
  MediaType current;
  Status setFormatStatus = kOk;
  std::vector<MediaType> formatsSet;

  Status GetNumberOfCapabilities(std::int32_t& count, std::int32_t& size) override {
    log_->push_back("GetNumberOfCapabilities");
    count = countOverride.value_or(static_cast<std::int32_t>(capabilities.size()));
    size = structureSize;
    return countStatus;
  }
  Status GetStreamCaps(std::int32_t index, MediaType& mediaType,
                       VideoStreamConfigCaps& caps) override {
    log_->push_back("GetStreamCaps " + std::to_string(index));
    if (index < 0 || static_cast<std::size_t>(index) >= capabilities.size()) return kFalse;
    const FakeCapability& c = capabilities[static_cast<std::size_t>(index)];
    mediaType = c.mediaType;
    caps = c.caps;
    return c.status;
  }
  Status GetFormat(MediaType& mediaType) override {
    log_->push_back("GetFormat");
    mediaType = current;
    return getFormatStatus;
  }
  Status SetFormat(const MediaType& mediaType) override {
    log_->push_back("SetFormat");
    formatsSet.push_back(mediaType);
    return setFormatStatus;
  }

 private:
  std::shared_ptr<CallLog> log_;
};

class FakePin final : public Pin {
 public:
  FakePin(std::shared_ptr<CallLog> log, std::string name) : log_(std::move(log)), name_(std::move(name)) {}

  PinDirection direction = PinDirection::Output;
  Status directionStatus = kOk;
  std::optional<Guid> category;  // none: the pin has no category information
  Status configStatus = kOk;
  std::shared_ptr<FakeStreamConfig> config;

  Status QueryDirection(PinDirection& d) override {
    log_->push_back("QueryDirection " + name_);
    d = direction;
    return directionStatus;
  }
  Status QueryCategory(Guid& c) override {
    if (!category) return kNoInterface;
    c = *category;
    return kOk;
  }
  Status QueryStreamConfig(std::shared_ptr<StreamConfig>& out) override {
    log_->push_back("QueryStreamConfig " + name_);
    out = config;
    return configStatus;
  }

 private:
  std::shared_ptr<CallLog> log_;
  std::string name_;
};

class FakePinEnumerator final : public PinEnumerator {
 public:
  explicit FakePinEnumerator(std::vector<std::shared_ptr<Pin>> pins) : pins_(std::move(pins)) {}
  Status Next(std::shared_ptr<Pin>& pin) override {
    if (next_ >= pins_.size()) return kFalse;
    pin = pins_[next_++];
    return kOk;
  }

 private:
  std::vector<std::shared_ptr<Pin>> pins_;
  std::size_t next_ = 0;
};

class FakeFilter final : public Filter {
 public:
  explicit FakeFilter(std::shared_ptr<CallLog> log, std::string name = "filter")
      : log_(std::move(log)), name_(std::move(name)) {}
  ~FakeFilter() override {
    if (logRelease) log_->push_back("~" + name_);
  }

  bool logRelease = false;  // log "~name" when the last reference goes

  std::vector<std::shared_ptr<Pin>> pins;
  Status enumStatus = kOk;
  std::shared_ptr<FakeProcAmp> procAmp;  // none: kNoInterface
  Status procAmpStatus = kOk;

  Status EnumPins(std::unique_ptr<PinEnumerator>& out) override {
    log_->push_back("EnumPins " + name_);
    if (media::Failed(enumStatus)) return enumStatus;
    out = std::make_unique<FakePinEnumerator>(pins);
    return enumStatus;
  }
  Status QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& out) override {
    log_->push_back("QueryVideoProcAmp " + name_);
    if (!procAmp) return kNoInterface;
    out = procAmp;
    return procAmpStatus;
  }
  const std::string& Name() const { return name_; }

 private:
  std::shared_ptr<CallLog> log_;
  std::string name_;
};

class FakePropertyBag final : public PropertyBag {
 public:
  explicit FakePropertyBag(std::map<QString, QString> values) : values_(std::move(values)) {}
  Status Read(QStringView name, QString& value) override {
    const auto it = values_.find(name.toString());
    if (it == values_.end()) return kPropertyUnsupported;
    value = it->second;
    return kOk;
  }

 private:
  std::map<QString, QString> values_;
};

class FakeMoniker final : public Moniker {
 public:
  FakeMoniker(std::shared_ptr<CallLog> log, std::map<QString, QString> properties,
              std::shared_ptr<FakeFilter> filter)
      : properties(std::move(properties)), filter(std::move(filter)), log_(std::move(log)) {}

  std::map<QString, QString> properties;
  std::shared_ptr<FakeFilter> filter;
  Status bagStatus = kOk;
  Status bindStatus = kOk;
  int bindCalls = 0;

  Status BindToStorage(std::shared_ptr<PropertyBag>& bag) override {
    if (bagStatus != kOk) return bagStatus;
    bag = std::make_shared<FakePropertyBag>(properties);
    return kOk;
  }
  Status BindToObject(std::shared_ptr<Filter>& out) override {
    ++bindCalls;
    log_->push_back("BindToObject " + properties[QString::fromLatin1("DevicePath")].toStdString());
    if (bindStatus != kOk) return bindStatus;
    out = filter;
    return kOk;
  }

 private:
  std::shared_ptr<CallLog> log_;
};

class FakeMonikerEnumerator final : public MonikerEnumerator {
 public:
  explicit FakeMonikerEnumerator(std::vector<std::shared_ptr<FakeMoniker>> monikers)
      : monikers_(std::move(monikers)) {}
  Status Next(std::shared_ptr<Moniker>& moniker) override {
    if (next_ >= monikers_.size()) return kFalse;
    moniker = monikers_[next_++];
    return kOk;
  }

 private:
  std::vector<std::shared_ptr<FakeMoniker>> monikers_;
  std::size_t next_ = 0;
};

class FakeDeviceEnumerator final : public DeviceEnumerator {
 public:
  std::vector<std::shared_ptr<FakeMoniker>> video;
  std::vector<std::shared_ptr<FakeMoniker>> audio;
  std::optional<Status> videoStatus;  // forces a status (no enumerator)
  std::optional<Status> audioStatus;

  Status CreateClassEnumerator(DeviceCategory category,
                               std::unique_ptr<MonikerEnumerator>& out) override {
    const bool isVideo = category == DeviceCategory::VideoInput;
    if (const auto forced = isVideo ? videoStatus : audioStatus) return *forced;
    const auto& list = isVideo ? video : audio;
    if (list.empty()) return kFalse;
    out = std::make_unique<FakeMonikerEnumerator>(list);
    return kOk;
  }
};

class FakePlatform final : public Platform {
 public:
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  std::shared_ptr<FakeDeviceEnumerator> devices = std::make_shared<FakeDeviceEnumerator>();
  Status createStatus = kOk;

  Status CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>& out) override {
    if (createStatus != kOk) return createStatus;
    out = devices;
    return kOk;
  }
  void Sleep(std::chrono::milliseconds duration) override {
    log->push_back("Sleep " + std::to_string(duration.count()));
  }

  // Helpers to build devices.
  std::shared_ptr<FakeFilter> MakeFilter(const std::string& name = "filter") {
    return std::make_shared<FakeFilter>(log, name);
  }
  std::shared_ptr<FakePin> MakePin(const std::string& name, std::optional<Guid> category,
                                   PinDirection direction = PinDirection::Output) {
    auto pin = std::make_shared<FakePin>(log, name);
    pin->category = category;
    pin->direction = direction;
    return pin;
  }
  std::shared_ptr<FakeStreamConfig> MakeConfig() { return std::make_shared<FakeStreamConfig>(log); }
  std::shared_ptr<FakeProcAmp> MakeProcAmp() { return std::make_shared<FakeProcAmp>(log); }
  std::shared_ptr<FakeMoniker> AddVideo(const QString& name, const QString& path,
                                        std::shared_ptr<FakeFilter> filter = nullptr) {
    auto m = std::make_shared<FakeMoniker>(
        log,
        std::map<QString, QString>{{QStringLiteral("FriendlyName"), name},
                                   {QStringLiteral("CLSID"), QStringLiteral("{CLSID-V}")},
                                   {QStringLiteral("DevicePath"), path}},
        filter ? std::move(filter) : MakeFilter(path.toStdString()));
    devices->video.push_back(m);
    return m;
  }
  std::shared_ptr<FakeMoniker> AddAudio(const QString& name, const QString& path) {
    auto m = std::make_shared<FakeMoniker>(
        log,
        std::map<QString, QString>{{QStringLiteral("FriendlyName"), name},
                                   {QStringLiteral("CLSID"), QStringLiteral("{CLSID-A}")},
                                   {QStringLiteral("DevicePath"), path}},
        MakeFilter(path.toStdString()));
    devices->audio.push_back(m);
    return m;
  }
};

// A video-info capability.
inline FakeCapability VideoCapability(std::int32_t width, std::int32_t height, Guid subtype,
                                      std::int64_t minInterval, std::int64_t maxInterval,
                                      std::int64_t maxBitsPerSecond) {
  FakeCapability c;
  c.mediaType.majortype = MEDIATYPE_Video;
  c.mediaType.subtype = subtype;
  c.mediaType.formattype = FORMAT_VideoInfo;
  c.mediaType.videoInfo = VideoInfoHeader{};
  c.caps.guid = FORMAT_VideoInfo;
  c.caps.MinOutputSize = {width, height};
  c.caps.MaxOutputSize = {width, height};
  c.caps.MinFrameInterval = minInterval;
  c.caps.MaxFrameInterval = maxInterval;
  c.caps.MaxBitsPerSecond = maxBitsPerSecond;
  return c;
}

}  // namespace kinovo::fake
