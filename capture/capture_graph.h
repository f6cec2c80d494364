#pragma once

#include <chrono>
#include <cstdint>
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
// A recording whose file cannot be made, or whose camera fails as it
// begins, is not started: the result is that failure, and no file is left.
Status StartRecording(CCaptureGraph& holder, const QString& path);
// The status of running the graph again; when that works, the failure of
// the file, if it had one (a full disk, a camera that gave no picture, in
// which case no file is left). `reason`: that failure in words; `sound`:
// how the recording's sound ended up.
Status StopRecording(CCaptureGraph& holder);
Status StopRecording(CCaptureGraph& holder, QString* reason, media::SoundReport* sound = nullptr);
// How the recording in progress stands: 0 while its file is being written
// well; otherwise why it stopped on its own (a full disk, a write error),
// with `reason` in words. The file is then already finished and playable;
// the caller stops the recording. 1 when nothing is recorded.
Status RecordingStatus(const CCaptureGraph& holder, QString* reason = nullptr);
// Bytes of its disk the recording in progress keeps aside for the end of
// its file and gives back when it stops; 0 when nothing is recorded.
std::uint64_t RecordingSpaceHeld(const CCaptureGraph& holder);
// How the sound of the recording in progress stands; nothing recorded
// without one. Reads counters only: cheap enough for every timer tick.
media::SoundReport RecordingSound(const CCaptureGraph& holder);
void ReleaseGraph(CCaptureGraph& holder);

}  // namespace kinovo
