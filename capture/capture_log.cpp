#include "capture/capture_log.h"

Q_LOGGING_CATEGORY(lcCapture, "kinovo.capture", QtWarningMsg)

namespace kinovo {

QString DescribeDevice(const VideoDevice& device) {
  const QString& where = device.devicePath.isEmpty() ? device.deviceId : device.devicePath;
  return QStringLiteral("\"%1\" (%2)").arg(device.name, where);
}

QString DescribeStatus(Status status) { return QString::fromStdString(media::StatusText(status)); }

}  // namespace kinovo
