#include "platform/media/guid.h"

#include <cctype>

namespace kinovo::media {

QString GuidToString(const Guid& g) {
  return QString::asprintf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                           g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                           g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

std::optional<std::uint32_t> FourccOfSubtype(const Guid& subtype) {
  if (SubtypeFromFourcc(subtype.data1) == subtype) return subtype.data1;
  return std::nullopt;
}

QString SubtypeName(const Guid& subtype) {
  struct Named {
    const Guid* guid;
    const char* name;
  };
  static const Named kNamed[] = {
      {&MEDIASUBTYPE_UYVY, "UYVY"},   {&MEDIASUBTYPE_YUY2, "YUY2"},
      {&MEDIASUBTYPE_YV12, "YV12"},   {&MEDIASUBTYPE_IYUV, "IYUV"},
      {&MEDIASUBTYPE_RGB32, "RGB32"}, {&MEDIASUBTYPE_RGB24, "RGB24"},
      {&MEDIASUBTYPE_MJPG, "MJPG"},   {&MEDIASUBTYPE_MPEG2_VIDEO, "MPEG2_VIDEO"},
  };
  for (const auto& n : kNamed) {
    if (*n.guid == subtype) return QString::fromLatin1(n.name);
  }
  if (const auto fourcc = FourccOfSubtype(subtype)) {
    QString name;
    for (int i = 0; i < 4; ++i) {
      const auto c = static_cast<unsigned char>((*fourcc >> (8 * i)) & 0xFF);
      if (!std::isprint(c)) return GuidToString(subtype);
      name += QLatin1Char(static_cast<char>(c));
    }
    return name.trimmed();
  }
  return GuidToString(subtype);
}

}  // namespace kinovo::media
