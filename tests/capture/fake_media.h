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
  Status errorStatus = kOk;   // what GetError tells (not logged)
  QString errorReason;

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
  Status Stop() override {
    log_->push_back("Stop " + name_);
    return kOk;
  }
  Status GetError(QString& reason) override {
    reason = errorReason;
    return errorStatus;
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

inline std::string FilterName(const std::shared_ptr<Filter>& f) {
  const auto* fake = dynamic_cast<const FakeFilter*>(f.get());
  return fake ? fake->Name() : (f ? "?" : "none");
}

inline std::string GuidName(const Guid* g) {
  if (!g) return "none";
  if (*g == PIN_CATEGORY_PREVIEW) return "PREVIEW";
  if (*g == PIN_CATEGORY_CAPTURE) return "CAPTURE";
  if (*g == MEDIATYPE_Video) return "Video";
  if (*g == MEDIATYPE_Audio) return "Audio";
  return "?";
}

class FakeMediaControl final : public MediaControl {
 public:
  explicit FakeMediaControl(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
  ~FakeMediaControl() override { log_->push_back("~control"); }
  Status runStatus = kOk;
  Status Run() override {
    log_->push_back("Run");
    return runStatus;
  }
  Status Stop() override {
    log_->push_back("Stop graph");
    return kOk;
  }

 private:
  std::shared_ptr<CallLog> log_;
};

class FakeVideoWindow final : public VideoWindow {
 public:
  explicit FakeVideoWindow(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
  ~FakeVideoWindow() override { log_->push_back("~window"); }
  int failAtCall = -1;  // index of the put_Left/Top/Width/Height call that fails
  // The windows last given.
  WindowHandle owner = nullptr;
  WindowHandle drain = nullptr;
  Status put_Visible(bool v) override { return Log("Visible " + std::to_string(v)); }
  Status put_Owner(WindowHandle w) override {
    owner = w;
    return Log(std::string("Owner ") + (w ? "window" : "none"));
  }
  Status put_MessageDrain(WindowHandle w) override {
    drain = w;
    return Log(std::string("Drain ") + (w ? "window" : "none"));
  }
  Status put_WindowStyle(std::int32_t s) override { return Log("Style " + std::to_string(s)); }
  Status put_Left(std::int32_t v) override { return Place("Left", v); }
  Status put_Top(std::int32_t v) override { return Place("Top", v); }
  Status put_Width(std::int32_t v) override { return Place("Width", v); }
  Status put_Height(std::int32_t v) override { return Place("Height", v); }

 private:
  Status Log(std::string s) {
    log_->push_back(std::move(s));
    return kOk;
  }
  Status Place(const char* what, std::int32_t v) {
    log_->push_back(std::string(what) + " " + std::to_string(v));
    return placeCalls_++ == failAtCall ? kFail : kOk;
  }
  std::shared_ptr<CallLog> log_;
  int placeCalls_ = 0;
};

class FakeMediaEvent final : public MediaEvent {
 public:
  explicit FakeMediaEvent(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
  Status SetNotifyWindow(WindowHandle, std::int32_t message, std::intptr_t instance) override {
    log_->push_back("SetNotifyWindow " + std::to_string(message) + " " + std::to_string(instance));
    return kOk;
  }

 private:
  std::shared_ptr<CallLog> log_;
};

class FakeFilterGraph final : public FilterGraph {
 public:
  explicit FakeFilterGraph(std::shared_ptr<CallLog> log, int id) : log_(std::move(log)), id_(id) {}
  ~FakeFilterGraph() override { log_->push_back("~graph " + std::to_string(id_)); }
  std::shared_ptr<FakeVideoWindow> window;  // none: no video window
  Status controlStatus = kOk;
  Status eventStatus = kOk;

  Status AddFilter(const std::shared_ptr<Filter>& f, const QString& name) override {
    log_->push_back("AddFilter " + FilterName(f) + " as " + name.toStdString());
    return kOk;
  }
  Status RemoveFilter(const std::shared_ptr<Filter>& f) override {
    log_->push_back("RemoveFilter " + FilterName(f));
    return kOk;
  }
  Status QueryMediaControl(std::shared_ptr<MediaControl>& out) override {
    if (Failed(controlStatus)) return controlStatus;
    out = std::make_shared<FakeMediaControl>(log_);
    return controlStatus;
  }
  Status QueryVideoWindow(std::shared_ptr<VideoWindow>& out) override {
    if (!window) return kNoInterface;
    out = window;
    return kOk;
  }
  Status QueryMediaEvent(std::shared_ptr<MediaEvent>& out) override {
    if (Failed(eventStatus)) return eventStatus;
    out = std::make_shared<FakeMediaEvent>(log_);
    return eventStatus;
  }

 private:
  std::shared_ptr<CallLog> log_;
  int id_;
};

class FakeCaptureGraphBuilder final : public CaptureGraphBuilder {
 public:
  explicit FakeCaptureGraphBuilder(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
  ~FakeCaptureGraphBuilder() override { log_->push_back("~builder"); }
  Status attachStatus = kOk;
  Status outputStatus = kOk;
  Status videoRenderStatus = kOk;
  // The multiplexer of the last file output; its caller holds the only
  // reference, and "~mux" is logged when that goes.
  std::weak_ptr<FakeFilter> mux;
  // What the next multiplexer's GetError tells.
  Status muxErrorStatus = kOk;
  QString muxErrorReason;

  Status SetFiltergraph(const std::shared_ptr<FilterGraph>&) override {
    log_->push_back("SetFiltergraph");
    return attachStatus;
  }
  Status SetOutputFileName(const Guid& subtype, const QString& path,
                           std::shared_ptr<Filter>& out) override {
    log_->push_back(std::string("SetOutputFileName ") + (subtype == MEDIASUBTYPE_Avi ? "Avi " : "? ") +
                    path.toStdString());
    if (outputStatus != kOk) return outputStatus;
    auto made = std::make_shared<FakeFilter>(log_, "mux");
    made->logRelease = true;
    made->errorStatus = muxErrorStatus;
    made->errorReason = muxErrorReason;
    mux = made;
    out = std::move(made);
    return kOk;
  }
  Status RenderStream(const Guid* category, const Guid* type, const std::shared_ptr<Filter>& source,
                      const std::shared_ptr<Filter>& intermediate,
                      const std::shared_ptr<Filter>& sink) override {
    log_->push_back("RenderStream " + GuidName(category) + " " + GuidName(type) + " " +
                    FilterName(source) + " " + FilterName(intermediate) + " " + FilterName(sink));
    return type && *type == MEDIATYPE_Video ? videoRenderStatus : kOk;
  }

 private:
  std::shared_ptr<CallLog> log_;
};

class FakePlatform final : public Platform {
 public:
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  std::shared_ptr<FakeDeviceEnumerator> devices = std::make_shared<FakeDeviceEnumerator>();
  Status createStatus = kOk;
  Status builderStatus = kOk;
  Status graphStatus = kOk;
  // What the next graph and builder are given; the last ones made.
  std::shared_ptr<FakeVideoWindow> nextWindow;
  Status nextControlStatus = kOk;
  Status nextAttachStatus = kOk;
  std::shared_ptr<FakeCaptureGraphBuilder> lastBuilder;
  std::weak_ptr<FakeFilterGraph> lastGraph;
  int graphsMade = 0;

  Status CreateCaptureGraphBuilder(std::shared_ptr<CaptureGraphBuilder>& out) override {
    log->push_back("CreateCaptureGraphBuilder");
    if (Failed(builderStatus)) return builderStatus;
    lastBuilder = std::make_shared<FakeCaptureGraphBuilder>(log);
    lastBuilder->attachStatus = nextAttachStatus;
    out = lastBuilder;
    return builderStatus;
  }
  Status CreateFilterGraph(std::shared_ptr<FilterGraph>& out) override {
    log->push_back("CreateFilterGraph");
    if (Failed(graphStatus)) return graphStatus;
    auto graph = std::make_shared<FakeFilterGraph>(log, ++graphsMade);
    graph->window = nextWindow;
    graph->controlStatus = nextControlStatus;
    lastGraph = graph;
    out = graph;
    return graphStatus;
  }

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
