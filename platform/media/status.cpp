#include "platform/media/status.h"

#include <cstdio>
#include <cstring>

namespace kinovo::media {

std::string StatusText(Status status) {
  if (const int error = ErrnoFromStatus(status)) return std::strerror(error);
  switch (status) {
    case kOk: return "success";
    case kFalse: return "nothing to work on";
    case kFail: return "unspecified failure";
    case kNoInterface: return "not supported by the device";
    case kPointer: return "missing object";
    case kUnexpected: return "unexpected state";
    case kOutOfMemory: return "out of memory";
    case kInvalidArg: return "invalid argument";
    case kPropertyUnsupported: return "control not supported";
    case kInvalidMediaType: return "format not accepted";
    default: break;
  }
  char text[32];
  std::snprintf(text, sizeof text, "status 0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace kinovo::media
