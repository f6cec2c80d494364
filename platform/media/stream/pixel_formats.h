#pragma once

// The pixel formats Kinovo knows, in one table: how a frame of each is laid
// out, what AVI files and the probe call it, how it is decoded for the
// screen, whether it can be recorded and how much the capture-mode list
// likes it. Discovery, the decoder, the writer and the mode list all read
// it here.

#include <cstdint>
#include <optional>
#include <string>

namespace kinovo::media::stream {

constexpr std::uint32_t Fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24);
}

// V4L2 pixel formats by name.
namespace fourcc {
inline constexpr std::uint32_t kMJPEG = Fourcc('M', 'J', 'P', 'G');
inline constexpr std::uint32_t kJPEG = Fourcc('J', 'P', 'E', 'G');
inline constexpr std::uint32_t kMPEG = Fourcc('M', 'P', 'E', 'G');
inline constexpr std::uint32_t kH264 = Fourcc('H', '2', '6', '4');
inline constexpr std::uint32_t kYUYV = Fourcc('Y', 'U', 'Y', 'V');
inline constexpr std::uint32_t kYVYU = Fourcc('Y', 'V', 'Y', 'U');
inline constexpr std::uint32_t kUYVY = Fourcc('U', 'Y', 'V', 'Y');
inline constexpr std::uint32_t kVYUY = Fourcc('V', 'Y', 'U', 'Y');
inline constexpr std::uint32_t kYUV420 = Fourcc('Y', 'U', '1', '2');
inline constexpr std::uint32_t kYVU420 = Fourcc('Y', 'V', '1', '2');
inline constexpr std::uint32_t kNV12 = Fourcc('N', 'V', '1', '2');
inline constexpr std::uint32_t kNV21 = Fourcc('N', 'V', '2', '1');
inline constexpr std::uint32_t kBGR24 = Fourcc('B', 'G', 'R', '3');
inline constexpr std::uint32_t kRGB24 = Fourcc('R', 'G', 'B', '3');
inline constexpr std::uint32_t kBGR32 = Fourcc('B', 'G', 'R', '4');
inline constexpr std::uint32_t kRGB32 = Fourcc('R', 'G', 'B', '4');
inline constexpr std::uint32_t kXBGR32 = Fourcc('X', 'R', '2', '4');
inline constexpr std::uint32_t kXRGB32 = Fourcc('B', 'X', '2', '4');
inline constexpr std::uint32_t kABGR32 = Fourcc('A', 'R', '2', '4');
inline constexpr std::uint32_t kARGB32 = Fourcc('B', 'A', '2', '4');
inline constexpr std::uint32_t kRGB565 = Fourcc('R', 'G', 'B', 'P');
inline constexpr std::uint32_t kRGB555 = Fourcc('R', 'G', 'B', 'O');
inline constexpr std::uint32_t kGREY = Fourcc('G', 'R', 'E', 'Y');
inline constexpr std::uint32_t kY16 = Fourcc('Y', '1', '6', ' ');
}  // namespace fourcc

enum class Layout {
  Packed,         // one plane of whole pixels
  Planar420,      // Y, then both chroma planes at half size
  SemiPlanar420,  // Y, then one plane of interleaved chroma
  Jpeg,           // a JPEG picture per frame
  Coded,          // another coded stream
};

struct PixelFormat {
  std::uint32_t fourcc;
  const char* name;  // what AVI files and the probe call it
  Layout layout;
  int bytesPerPixel;     // packed layouts
  bool chromaSwapped;    // planar layouts: V before U
  bool fullRange;        // luma over the whole 0..255, as luma-only sensors give it
  std::uint32_t aviTag;  // the AVI compression tag; 0: uncompressed RGB
  int aviBits;           // bits per pixel as AVI headers give them
  int avPixelFormat;     // FFmpeg's AVPixelFormat of a raw picture, for decoding and the file
  int avCodec;           // FFmpeg's AVCodecID it is stored as; AV_CODEC_ID_NONE: not recorded
  int modeRank;          // among formats of one picture size, lower is preferred
};

// The format's row; none for a format Kinovo does not know.
const PixelFormat* FindPixelFormat(std::uint32_t fourcc);

// Whether frames are coded (JPEG and the like) rather than raw pixels.
bool IsCompressed(std::uint32_t fourcc);
// Whether each frame is a JPEG picture (Motion-JPEG).
bool IsJpeg(std::uint32_t fourcc);

// Bytes of one raw frame by the layout's arithmetic (chroma planes round
// odd sizes up); none for coded or unknown formats.
std::optional<std::int64_t> FrameBytesByArithmetic(std::uint32_t fourcc, std::int32_t width,
                                                   std::int32_t height);

// The table's name, else the four characters ("0x…" when they do not print).
std::string PixelFormatName(std::uint32_t fourcc);

// The mode list's preference; formats without one come last.
int ModeRank(std::uint32_t fourcc);

}  // namespace kinovo::media::stream
