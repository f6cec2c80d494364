#pragma once

// The capture engine's log: failures are warnings (on by default), details
// are debug messages (QT_LOGGING_RULES="kinovo.capture.debug=true").

#include <QLoggingCategory>
#include <QString>

#include "capture/capture_types.h"

Q_DECLARE_LOGGING_CATEGORY(lcCapture)

namespace kinovo {

// `"Name" (/dev/video0)`: how the log names a camera.
QString DescribeDevice(const VideoDevice& device);
// A status in words: "Device or resource busy".
QString DescribeStatus(Status status);

}  // namespace kinovo
