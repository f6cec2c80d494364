// Unit tests run without a display: the video window is tested on Qt's
// offscreen platform.

#include <gtest/gtest.h>

#include <QApplication>

// Qt, not built with ThreadSanitizer, hands objects between threads (posted
// events, its image-scaling thread pool) through atomics the sanitizer
// does not see.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libQt6Widgets.so\nrace:libQt6XcbQpa.so\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
