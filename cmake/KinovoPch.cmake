# Precompiled headers. Qt's and GoogleTest's headers cost about two seconds
# of parsing in every source file that includes them; parsed once per build
# tree instead, they no longer dominate the build. Two header sets: one for
# the program (Qt and the standard library) and one for the tests (the same
# and GoogleTest). Each set is compiled once, by a target of its own, and
# reused by every target that links Qt; the build flags are the tree's, so
# the sanitizer trees get theirs.
# Test code is compiled with these (tests/CMakeLists.txt); the tests'
# precompiled headers must be made with the same. Unoptimised: the tests
# spend their time in the program's code and in waiting, not in their own,
# and the main tree builds in four fifths of the time it takes at -O1.
set(KINOVO_TEST_COMPILE_OPTIONS -O0 -g1)

option(KINOVO_PCH "Precompile the Qt, standard library and GoogleTest headers" ON)

set(KINOVO_PCH_HEADERS
  <QApplication> <QCoreApplication> <QElapsedTimer> <QFile> <QImage> <QLoggingCategory>
  <QPainter> <QPointer> <QString> <QTimer> <QWidget>
  <algorithm> <array> <atomic> <chrono> <cmath> <condition_variable> <cstdint> <cstdio>
  <cstdlib> <cstring> <filesystem> <functional> <map> <memory> <mutex> <optional> <string>
  <system_error> <thread> <utility> <vector>)

if(KINOVO_PCH)
  # PulseAudio's pkg-config flags define _REENTRANT, and a precompiled
  # header is only used where the same macros are defined: define it for
  # every target (a no-op for glibc).
  add_compile_definitions(_REENTRANT)
  add_library(kinovo_pch STATIC ${CMAKE_CURRENT_LIST_DIR}/pch.cpp)
  target_link_libraries(kinovo_pch PRIVATE Qt6::Widgets)
  target_precompile_headers(kinovo_pch PRIVATE ${KINOVO_PCH_HEADERS})

  add_library(kinovo_pch_tests STATIC ${CMAKE_CURRENT_LIST_DIR}/pch.cpp)
  target_link_libraries(kinovo_pch_tests PRIVATE Qt6::Widgets GTest::gtest)
  target_compile_options(kinovo_pch_tests PRIVATE ${KINOVO_TEST_COMPILE_OPTIONS})
  target_precompile_headers(kinovo_pch_tests PRIVATE ${KINOVO_PCH_HEADERS} <gtest/gtest.h>)
endif()

# kinovo_use_pch(PROGRAM targets... TESTS targets...): targets that do not
# exist in this tree (a part left out) are passed over.
function(kinovo_use_pch)
  if(NOT KINOVO_PCH)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "PROGRAM;TESTS")
  foreach(target ${arg_PROGRAM})
    if(TARGET ${target})
      target_precompile_headers(${target} REUSE_FROM kinovo_pch)
    endif()
  endforeach()
  foreach(target ${arg_TESTS})
    if(TARGET ${target})
      target_precompile_headers(${target} REUSE_FROM kinovo_pch_tests)
    endif()
  endforeach()
endfunction()
