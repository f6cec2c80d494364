#pragma once

#include <chrono>
#include <memory>

#include "capture/capture_types.h"

namespace kinovo {

// How long a freshly opened camera is given before its controls are read.
inline constexpr std::chrono::milliseconds kOpenSettleTime{200};

// Names under which the sources enter the graph.
inline constexpr QStringView kCaptureFilterName = u"Capture Filter";
inline constexpr QStringView kAudioInputName = u"AudioInput";

// Opens a listed camera: binds its filter, finds its pins, reads its
// formats and image controls.
Status OpenVideoDevice(VideoDevice& device);

// The one media graph of the selected camera and microphone: previews into
// the preview window and, on demand, records into an AVI file.
struct CCaptureGraph {
  CCaptureGraph() = default;
  ~CCaptureGraph();
  CCaptureGraph(const CCaptureGraph&) = delete;
  CCaptureGraph& operator=(const CCaptureGraph&) = delete;

  VideoDevice* device = nullptr;                      // not owned
  std::shared_ptr<media::VideoWindow> videoWindow;
  std::shared_ptr<media::Filter> videoFilter;         // the device's, not owned
  std::shared_ptr<media::Filter> audioFilter;         // the microphone's, not owned
  std::shared_ptr<media::Filter> mux;                 // only while recording
  std::shared_ptr<media::FilterGraph> graph;
  std::shared_ptr<media::CaptureGraphBuilder> builder;
  std::shared_ptr<media::MediaControl> mediaControl;
};

Status BuildGraph(CCaptureGraph& holder, VideoDevice* camera,
                  const std::shared_ptr<media::Filter>& audioFilter);
Status StartPreview(CCaptureGraph& holder, media::WindowHandle previewWindow);
Status AttachVideoWindow(CCaptureGraph& holder, media::WindowHandle owner,
                         media::WindowHandle drain);
bool ResizeVideoWindow(CCaptureGraph& holder, int width, int height);
void StopPreview(CCaptureGraph& holder);
Status StartRecording(CCaptureGraph& holder, const QString& path);
Status StopRecording(CCaptureGraph& holder);
void ReleaseGraph(CCaptureGraph& holder);

}  // namespace kinovo
