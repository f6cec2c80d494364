#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include "capture/capture_types.h"

namespace kinovo::probe {

// Names of the ten image-property slots, in slot order.
QString SlotName(ImageSlot slot);

QJsonObject FormatToJson(const VideoFormat& format);
QJsonObject PropertyToJson(ImageSlot slot, const ImageProperty& property);
QJsonArray PropertiesToJson(const VideoDevice& device);
// A camera after OpenVideoDevice returned `openStatus`.
QJsonObject CameraToJson(const VideoDevice& device, Status openStatus);
QJsonObject MicrophoneToJson(const AudioDevice& device);

}  // namespace kinovo::probe
