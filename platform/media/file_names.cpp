#include "platform/media/file_names.h"

#include <cstdint>

namespace kinovo::media {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF carry the bytes 0x80..0xFF

// The length of the UTF-8 sequence at `at` and its code point; 0 when the
// bytes there are not one (overlong, a surrogate, beyond U+10FFFF, cut off).
int Utf8Sequence(const QByteArray& bytes, qsizetype at, char32_t& code) {
  const auto byte = [&](qsizetype i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(at);
  int length = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  for (int i = 1; i < length; ++i) {
    const std::uint8_t next = byte(at + i);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void AppendUtf8(QByteArray& out, char32_t code) {
  if (code < 0x80) {
    out.append(static_cast<char>(code));
  } else if (code < 0x800) {
    out.append(static_cast<char>(0xC0 | (code >> 6)));
    out.append(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.append(static_cast<char>(0xE0 | (code >> 12)));
    out.append(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.append(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.append(static_cast<char>(0xF0 | (code >> 18)));
    out.append(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.append(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.append(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

QString FileNameFromBytes(const QByteArray& bytes) {
  QString name;
  name.reserve(bytes.size());
  for (qsizetype at = 0; at < bytes.size();) {
    char32_t code = 0;
    const int length = Utf8Sequence(bytes, at, code);
    if (length == 0) {
      name.append(QChar(static_cast<char16_t>(kEscapeBase + static_cast<std::uint8_t>(bytes[at]))));
      ++at;
      continue;
    }
    if (code >= 0x10000) {
      name.append(QChar(QChar::highSurrogate(code)));
      name.append(QChar(QChar::lowSurrogate(code)));
    } else {
      name.append(QChar(static_cast<char16_t>(code)));
    }
    at += length;
  }
  return name;
}

QByteArray FileNameToBytes(const QString& name) {
  QByteArray bytes;
  bytes.reserve(name.size());
  for (qsizetype i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i].unicode();
    if (QChar::isHighSurrogate(unit) && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
      AppendUtf8(bytes, QChar::surrogateToUcs4(unit, name[i + 1].unicode()));
      ++i;
    } else if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF) {
      bytes.append(static_cast<char>(unit - kEscapeBase));  // a byte kept as it came
    } else if (QChar::isSurrogate(unit)) {
      AppendUtf8(bytes, 0xFFFD);  // no name holds this; as Qt would write it
    } else {
      AppendUtf8(bytes, unit);
    }
  }
  return bytes;
}

}  // namespace kinovo::media
