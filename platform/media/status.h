#pragma once

#include <cstdint>
#include <string>

namespace kinovo::media {

// 32-bit status in the style of the original media services: 0 success,
// 1 "nothing to work on" / "no more", other positive values informational,
// negative values are failures that callers pass on unchanged.
using Status = std::int32_t;

inline constexpr Status kOk = 0;
inline constexpr Status kFalse = 1;

inline constexpr Status kFail = static_cast<Status>(0x80004005u);
inline constexpr Status kNoInterface = static_cast<Status>(0x80004002u);
inline constexpr Status kPointer = static_cast<Status>(0x80004003u);
inline constexpr Status kUnexpected = static_cast<Status>(0x8000FFFFu);
inline constexpr Status kOutOfMemory = static_cast<Status>(0x8007000Eu);
inline constexpr Status kInvalidArg = static_cast<Status>(0x80070057u);
// A control or property the device does not have.
inline constexpr Status kPropertyUnsupported = static_cast<Status>(0x80070490u);
// A media type the pin cannot take as it stands.
inline constexpr Status kInvalidMediaType = static_cast<Status>(0x80040200u);

// Kernel and library errors keep their errno in the low 16 bits under a
// facility of their own, so a status can be traced back to the call.
inline constexpr std::uint32_t kErrnoFacility = 0x7E0;

constexpr Status StatusFromErrno(int error) {
  if (error <= 0) return kFail;
  return static_cast<Status>(0x80000000u | (kErrnoFacility << 16) |
                             (static_cast<std::uint32_t>(error) & 0xFFFFu));
}

// The errno a status came from, or 0 when it is not an errno status.
constexpr int ErrnoFromStatus(Status status) {
  const auto bits = static_cast<std::uint32_t>(status);
  if ((bits & 0xFFFF0000u) != (0x80000000u | (kErrnoFacility << 16))) return 0;
  return static_cast<int>(bits & 0xFFFFu);
}

constexpr bool Failed(Status status) { return status < 0; }

// The reason of a status in words: the system's text for an errno status
// ("Device or resource busy"), a name for the others.
std::string StatusText(Status status);

}  // namespace kinovo::media
