#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include <QString>

namespace kinovo::media {

// A 16-byte identifier laid out as the media services define them.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
QString GuidToString(const Guid& guid);

// The subtype family built from a four-character code:
// {fourcc-0000-0010-8000-00AA00389B71}.
constexpr Guid SubtypeFromFourcc(std::uint32_t fourcc) {
  return Guid{fourcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// The four-character code of a subtype of that family, if it is one.
std::optional<std::uint32_t> FourccOfSubtype(const Guid& subtype);

constexpr std::uint32_t MakeFourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24;
}

// Device categories.
inline constexpr Guid CLSID_VideoInputDeviceCategory{
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
inline constexpr Guid CLSID_AudioInputDeviceCategory{
    0x33D9A762, 0x90C8, 0x11D0, {0xBD, 0x43, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};

// Source filters of the Linux back end (their "CLSID" property).
inline constexpr Guid CLSID_V4l2VideoSource{
    0x042D3A78, 0x5CAC, 0x4C68, {0xAE, 0xE5, 0xF5, 0x33, 0x76, 0x03, 0x85, 0x6E}};
inline constexpr Guid CLSID_PulseAudioSource{
    0xD10072D1, 0x2711, 0x412F, {0x85, 0xB6, 0x00, 0x07, 0xA8, 0xC5, 0x25, 0x08}};

// Pin categories.
inline constexpr Guid PIN_CATEGORY_CAPTURE{
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr Guid PIN_CATEGORY_PREVIEW{
    0xFB6C4282, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr Guid PIN_CATEGORY_STILL{
    0xFB6C428A, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

// Major types.
inline constexpr Guid MEDIATYPE_Video = SubtypeFromFourcc(MakeFourcc('v', 'i', 'd', 's'));

// Format types.
inline constexpr Guid FORMAT_VideoInfo{
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr Guid FORMAT_VideoInfo2{
    0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr Guid FORMAT_WaveFormatEx{
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

// Video subtypes.
inline constexpr Guid MEDIASUBTYPE_UYVY = SubtypeFromFourcc(MakeFourcc('U', 'Y', 'V', 'Y'));
inline constexpr Guid MEDIASUBTYPE_YUY2 = SubtypeFromFourcc(MakeFourcc('Y', 'U', 'Y', '2'));
inline constexpr Guid MEDIASUBTYPE_YV12 = SubtypeFromFourcc(MakeFourcc('Y', 'V', '1', '2'));
inline constexpr Guid MEDIASUBTYPE_IYUV = SubtypeFromFourcc(MakeFourcc('I', 'Y', 'U', 'V'));
inline constexpr Guid MEDIASUBTYPE_MJPG = SubtypeFromFourcc(MakeFourcc('M', 'J', 'P', 'G'));
inline constexpr Guid MEDIASUBTYPE_RGB24{
    0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr Guid MEDIASUBTYPE_RGB32{
    0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr Guid MEDIASUBTYPE_MPEG2_VIDEO{
    0xE06D8026, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};

// Short name of a video subtype: "YUY2", "RGB24", "MPEG2_VIDEO", ...; a
// subtype of the four-character family is named by its code ("NV12"); any
// other identifier by its text form.
QString SubtypeName(const Guid& subtype);

}  // namespace kinovo::media
