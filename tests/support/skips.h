#pragma once
// A test of what only a POSIX system has (pseudo-terminals, signals, file modes) skips itself on
// Windows, saying why; the rest of its file runs there as well.

#include <gtest/gtest.h>

#ifdef _WIN32
#define VELTRACE_SKIP_ON_WINDOWS(why) GTEST_SKIP() << "not on Windows: " << (why)
#else
#define VELTRACE_SKIP_ON_WINDOWS(why) static_cast<void>(0)
#endif

// In a table whose rows run over a pseudo-terminal or TCP, the pseudo-terminal rows are left
// out on Windows.
#ifdef _WIN32
inline constexpr bool noPseudoTerminals = true;
#else
inline constexpr bool noPseudoTerminals = false;
#endif
