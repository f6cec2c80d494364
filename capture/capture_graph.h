#pragma once

#include <QByteArray>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "capture/capture_types.h"
#include "platform/media/linux/capture_session.h"

namespace kinovo {

// How long a freshly opened camera is given before its controls are read.
inline constexpr std::chrono::milliseconds kOpenSettleTime{200};

// When an opened camera's image controls are read: after waiting
// kOpenSettleTime, or later by the caller (ReadImageProperties once that
// time has passed), so that a user interface never waits for them.
enum class ControlsRead { AfterSettling, ByCaller };

// Opens a listed camera (once: an opened one stays open), reads its
// formats and, by `controls`, its image controls.
Status OpenVideoDevice(VideoDevice& device, ControlsRead controls = ControlsRead::AfterSettling);

// The capture of the selected camera and microphone: previews into the
// picture's area of a window and, on demand, records into an AVI file while
// the camera goes on streaming.
struct CCaptureGraph {
  CCaptureGraph() = default;
  ~CCaptureGraph();
  CCaptureGraph(const CCaptureGraph&) = delete;
  CCaptureGraph& operator=(const CCaptureGraph&) = delete;

  VideoDevice* device = nullptr;  // not owned
  QString microphone;             // the sound server's source; empty: no sound
  bool built = false;
  // The camera's session; none without a camera that can be bound.
  std::unique_ptr<media::CaptureSession> session;
};

// What a finished recording came to; runs on the caller's thread.
using RecordingFinished = std::function<void(const media::RecordingResult&)>;

// Opens `camera` where it is not open and makes its session; a camera that
// cannot be opened leaves the holder built without one.
Status BuildGraph(CCaptureGraph& holder, VideoDevice* camera, const QString& microphone);
// Shows the preview as a child of `previewWindow` (a widget, not
// necessarily a window of its own) and starts the camera. A camera that
// cannot stream is a failure; `reason` tells why in words, and `failedCall`
// which device call failed ("VIDIOC_REQBUFS"; empty when none did).
Status StartPreview(CCaptureGraph& holder, QWidget* previewWindow, QString* reason = nullptr,
                    QString* failedCall = nullptr);
bool ResizeVideoWindow(CCaptureGraph& holder, int width, int height);
// Ends the camera's stream, so that its format can be changed.
void StopPreview(CCaptureGraph& holder);
// A recording whose file cannot be made, whose microphone cannot be
// recorded or whose camera does not stream is not started: the result is
// that failure, `reason` says it in words, and no file is left.
Status StartRecording(CCaptureGraph& holder, const QString& path, QString* reason = nullptr);
// Ends the recording now; the camera goes on streaming. The file is
// finished in the background and `finished` runs on this thread once it is
// complete. 1 when nothing is recorded (and `finished` never runs).
Status StopRecording(CCaptureGraph& holder, RecordingFinished finished = nullptr);
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
// Ends the session; a recording in progress is finished in the background.
void ReleaseGraph(CCaptureGraph& holder);

// The frame the preview was given last (the picture on screen), for a
// photo: a shared reference, neither copied nor decoded, so cheap on the
// user-interface thread. Empty when the camera does not stream or has given
// no picture yet; `reason` says why.
media::StillFrame LatestFrame(const CCaptureGraph& holder, QString* reason = nullptr);
// The size of a photo: the mode the camera applied; else `chosen` (the mode
// chosen in the list); else 1024 x 768.
QSize PhotoSize(const CCaptureGraph& holder, std::optional<QSize> chosen = std::nullopt);
// Writes `frame` as a JPEG at `path`: decoded exactly at `size`, encoded by
// Qt's `encoder` ("jpeg") at quality 90. Never over an existing file; a
// file that cannot be finished is removed. Decoding a 4K frame takes tens
// of milliseconds: for a background thread (media::RunInBackground). False,
// with `why` in words, when no photo was written.
bool SavePhoto(const media::StillFrame& frame, QSize size, const QString& path,
               const QByteArray& encoder, QString* why = nullptr);

}  // namespace kinovo
