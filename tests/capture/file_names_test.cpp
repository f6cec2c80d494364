// File names pass from bytes to text and back unchanged, whatever they hold.

#include <gtest/gtest.h>

#include "platform/media/file_names.h"

namespace kinovo {
namespace {

using media::FileNameFromBytes;
using media::FileNameToBytes;

TEST(FileNames, BytesComeBackAsTheyWereAndUtf8ReadsAsText) {
  const struct {
    const char* label;
    QByteArray bytes;
    QString text;  // empty: not compared
  } cases[] = {
      {"ASCII", "/tmp/k.avi", QStringLiteral("/tmp/k.avi")},
      {"UTF-8", "/v/caf\xc3\xa9 \xe6\x97\xa5.avi", QStringLiteral(u"/v/café 日.avi")},
      {"outside the BMP", "/v/\xf0\x9f\x8e\xa5.avi", QString::fromUcs4(U"/v/\U0001F3A5.avi")},
      {"Latin-1", "/v/caf\xe9.avi", {}},
      {"lone continuation and 0xFF", "/v/\x80\xff.avi", {}},
      {"overlong slash", "/v/\xc0\xaf.avi", {}},
      {"encoded surrogate", "/v/\xed\xa0\x80.avi", {}},
      {"sequence cut off at the end", "/v/a\xe6\x97", {}},
      {"lead byte followed by ASCII", "/v/\xe6x.avi", {}},
  };
  for (const auto& c : cases) {
    const QString text = FileNameFromBytes(c.bytes);
    EXPECT_EQ(FileNameToBytes(text), c.bytes) << c.label;
    if (!c.text.isEmpty()) {
      EXPECT_EQ(text, c.text) << c.label;
    }
    EXPECT_FALSE(text.contains(QChar(0xFFFD))) << c.label;
  }
  // Text typed by the user is written as UTF-8.
  EXPECT_EQ(FileNameToBytes(QStringLiteral(u"/v/Ünïcødé.avi")), QByteArray("/v/\xc3\x9cn\xc3\xaf\x63\xc3\xb8\x64\xc3\xa9.avi"));
}

}  // namespace
}  // namespace kinovo
