// Which build the tests run in, for expectations that differ by build. CMake sets
// QEL_TEST_WINDOWS to 1 for the Windows build and to 0 otherwise; tests read only the
// constants below, never the macro.
#pragma once

#include <string_view>

#ifndef QEL_TEST_WINDOWS
#error "QEL_TEST_WINDOWS must be defined (0 or 1) by the build"
#endif

namespace qel::test::build {

inline constexpr bool windows = QEL_TEST_WINDOWS != 0;

// The separator the platform puts between a folder and a name it joins.
inline constexpr std::string_view separator = windows ? "\\" : "/";
// Between the folders of PATH.
inline constexpr std::string_view path_list_separator = windows ? ";" : ":";
// What a program's file name ends with.
inline constexpr std::string_view exe_suffix = windows ? ".exe" : "";

// Text that names a file or fills an environment variable yet is not valid Unicode: a
// byte that starts no UTF-8 sequence on POSIX, an unpaired surrogate (in WTF-8) on
// Windows. path_text shows either as one U+FFFD.
inline constexpr std::string_view invalid_text = windows ? "\xED\xA0\x80" : "\xFF";

}  // namespace qel::test::build
