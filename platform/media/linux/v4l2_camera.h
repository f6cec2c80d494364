#pragma once

// V4L2 cameras behind the media layer's interfaces: one source filter per
// opened node, with one capture output pin, its stream configuration and
// the video processing amplifier mapped onto V4L2 controls.

#include <memory>
#include <string>
#include <vector>

#include "platform/media/media.h"

namespace kinovo::media::linux_backend {

// A video node that can capture, as found when listing.
struct VideoNodeInfo {
  std::string node;        // "/dev/videoN"
  std::string card;        // the driver's card name
  std::string devicePath;  // stable path of the node
};

// The capture nodes /dev/video0 ... /dev/video255 that open, in numeric
// order. Metadata, output and memory-to-memory nodes are left out.
std::vector<VideoNodeInfo> ListCaptureNodes();

// The /dev/v4l/by-id link to `node` when there is one, else the
// /dev/v4l/by-path link, else `node` itself.
std::string StableDevicePath(const std::string& node);

// Opens `node` and makes its source filter. A node that no longer opens, or
// that is not a capture node any more, gives a negative status.
Status OpenV4l2SourceFilter(const std::string& node, std::shared_ptr<Filter>& filter);

}  // namespace kinovo::media::linux_backend
