#pragma once
// Included by exactly one main per test program. Settings every test program starts with, whether
// ctest, a debugger or a person runs it: where the sources and the build are, and sanitizer options
// that keep leak reports about our code rather than about system libraries.

#include <cstdlib>

#ifndef TALVEK_TEST_SOURCE_DIR
#error "TALVEK_TEST_SOURCE_DIR must be defined by the build"
#endif

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6\nleak:libdbus\nleak:libglib\nleak:libgobject\n";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1";
}

inline void setUpTestEnvironment() {
    setenv("TALVEK_TEST_SOURCE_DIR", TALVEK_TEST_SOURCE_DIR, 0);
    setenv("TALVEK_BUILD_DIR", TALVEK_BUILD_DIR, 0);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
}
