#include "platform/media/linux/linux_platform.h"

#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/media/linux/capture_session.h"
#include "platform/media/linux/pulse_sources.h"
#include "platform/media/linux/v4l2_camera.h"
#include "platform/media/stream/thread_wake_up.h"

namespace kinovo::media {
namespace linux_backend {
namespace {

// How long listing the microphones may wait for the sound server.
constexpr std::chrono::milliseconds kPulseTimeout{2000};

class TextPropertyBag final : public PropertyBag {
 public:
  explicit TextPropertyBag(std::map<QString, QString> values) : values_(std::move(values)) {}
  Status Read(QStringView name, QString& value) override {
    const auto it = values_.find(name.toString());
    if (it == values_.end()) return kPropertyUnsupported;
    value = it->second;
    return kOk;
  }

 private:
  std::map<QString, QString> values_;
};

std::shared_ptr<PropertyBag> MakeBag(const QString& friendlyName, const Guid& clsid,
                                     const QString& devicePath) {
  return std::make_shared<TextPropertyBag>(std::map<QString, QString>{
      {kFriendlyName.toString(), friendlyName},
      {kClsid.toString(), GuidToString(clsid)},
      {kDevicePath.toString(), devicePath},
  });
}

class CameraMoniker final : public Moniker {
 public:
  explicit CameraMoniker(VideoNodeInfo info) : info_(std::move(info)) {}
  Status BindToStorage(std::shared_ptr<PropertyBag>& bag) override {
    bag = MakeBag(QString::fromStdString(info_.card), CLSID_V4l2VideoSource,
                  QString::fromStdString(info_.devicePath));
    return kOk;
  }
  Status BindToObject(std::shared_ptr<Filter>& filter) override {
    std::shared_ptr<Filter> device;
    const Status status = OpenV4l2SourceFilter(info_.node, device);
    if (status != kOk) return status;
    // The graph streams from the node on an opening of its own.
    filter = std::make_shared<CameraSourceFilter>(std::move(device), info_.node);
    return kOk;
  }

 private:
  VideoNodeInfo info_;
};

// A microphone's output pin: sound of the capture category.
class AudioCapturePin final : public Pin {
 public:
  Status QueryDirection(PinDirection& direction) override {
    direction = PinDirection::Output;
    return kOk;
  }
  Status QueryCategory(Guid& category) override {
    category = PIN_CATEGORY_CAPTURE;
    return kOk;
  }
  Status QueryStreamConfig(std::shared_ptr<StreamConfig>& config) override {
    config.reset();
    return kOk;
  }
};

class PinList final : public PinEnumerator {
 public:
  explicit PinList(std::vector<std::shared_ptr<Pin>> pins) : pins_(std::move(pins)) {}
  Status Next(std::shared_ptr<Pin>& pin) override {
    if (next_ >= pins_.size()) return kFalse;
    pin = pins_[next_++];
    return kOk;
  }

 private:
  std::vector<std::shared_ptr<Pin>> pins_;
  std::size_t next_ = 0;
};

// The source filter of a sound-server capture source. It names the source;
// the stream itself is opened when a graph records from it.
class PulseSourceFilter final : public MicrophoneSourceFilter {
 public:
  explicit PulseSourceFilter(std::string sourceName) : sourceName_(std::move(sourceName)) {}
  Status EnumPins(std::unique_ptr<PinEnumerator>& pins) override {
    pins = std::make_unique<PinList>(std::vector<std::shared_ptr<Pin>>{pin_});
    return kOk;
  }
  Status QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& procAmp) override {
    procAmp.reset();
    return kNoInterface;
  }
  const std::string& sourceName() const override { return sourceName_; }

 private:
  std::string sourceName_;
  std::shared_ptr<Pin> pin_ = std::make_shared<AudioCapturePin>();
};

class MicrophoneMoniker final : public Moniker {
 public:
  explicit MicrophoneMoniker(PulseSource source) : source_(std::move(source)) {}
  Status BindToStorage(std::shared_ptr<PropertyBag>& bag) override {
    bag = MakeBag(QString::fromStdString(source_.description), CLSID_PulseAudioSource,
                  QString::fromStdString(source_.name));
    return kOk;
  }
  Status BindToObject(std::shared_ptr<Filter>& filter) override {
    filter = std::make_shared<PulseSourceFilter>(source_.name);
    return kOk;
  }

 private:
  PulseSource source_;
};

class MonikerList final : public MonikerEnumerator {
 public:
  explicit MonikerList(std::vector<std::shared_ptr<Moniker>> monikers)
      : monikers_(std::move(monikers)) {}
  Status Next(std::shared_ptr<Moniker>& moniker) override {
    if (next_ >= monikers_.size()) return kFalse;
    moniker = monikers_[next_++];
    return kOk;
  }

 private:
  std::vector<std::shared_ptr<Moniker>> monikers_;
  std::size_t next_ = 0;
};

class LinuxDeviceEnumerator final : public DeviceEnumerator {
 public:
  Status CreateClassEnumerator(DeviceCategory category,
                               std::unique_ptr<MonikerEnumerator>& enumerator) override {
    std::vector<std::shared_ptr<Moniker>> monikers;
    if (category == DeviceCategory::VideoInput) {
      for (auto& node : ListCaptureNodes()) {
        monikers.push_back(std::make_shared<CameraMoniker>(std::move(node)));
      }
    } else {
      for (auto& source : ListPulseSources(kPulseTimeout)) {
        monikers.push_back(std::make_shared<MicrophoneMoniker>(std::move(source)));
      }
    }
    enumerator.reset();
    if (monikers.empty()) return kFalse;  // an empty category
    enumerator = std::make_unique<MonikerList>(std::move(monikers));
    return kOk;
  }
};

// The sound server's news, brought to the thread that watches.
class MicrophoneWatch final : public DeviceWatch {
 public:
  explicit MicrophoneWatch(DevicesChanged changed)
      : changed_(std::move(changed)),
        wakeUp_([this] { Deliver(); }),
        watch_(std::make_unique<PulseSourceWatch>([this](std::vector<PulseSource> sources) {
          {
            std::lock_guard lock(mutex_);
            sources_ = std::move(sources);
          }
          wakeUp_.Post();
        })) {}
  // The server's thread first, so that nothing posts to a wake-up that is gone.
  ~MicrophoneWatch() override { watch_.reset(); }

 private:
  void Deliver() {
    std::vector<std::shared_ptr<Moniker>> monikers;
    {
      std::lock_guard lock(mutex_);
      for (const PulseSource& source : sources_)
        monikers.push_back(std::make_shared<MicrophoneMoniker>(source));
    }
    changed_(std::make_unique<MonikerList>(std::move(monikers)));
  }

  DevicesChanged changed_;
  std::mutex mutex_;
  std::vector<PulseSource> sources_;
  stream::ThreadWakeUp wakeUp_;
  std::unique_ptr<PulseSourceWatch> watch_;
};

class LinuxPlatform final : public Platform {
 public:
  Status CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>& enumerator) override {
    enumerator = std::make_shared<LinuxDeviceEnumerator>();
    return kOk;
  }
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  Status WatchDevices(DeviceCategory category, DevicesChanged changed,
                      std::unique_ptr<DeviceWatch>& watch) override {
    watch.reset();
    // Cameras: not followed yet.
    if (category != DeviceCategory::AudioInput) return kNoInterface;
    watch = std::make_unique<MicrophoneWatch>(std::move(changed));
    return kOk;
  }
};

}  // namespace
}  // namespace linux_backend

std::shared_ptr<Platform> CreateLinuxPlatform() {
  return std::make_shared<linux_backend::LinuxPlatform>();
}

}  // namespace kinovo::media
