// A stand-in for the programs qel starts (clipboard tools, URL openers, hostname). Each copy
// writes down how it was started into the folder named by QEL_TEST_RECORDER_DIR and
// answers as control files there say:
//   <name>.exit          its exit code (default 0)
//   <name>.stdout        what it prints on standard output (default "recorded\n")
//   <name>.ignore-input  present: it never reads its standard input
//   <name>.hold          present: after recording it waits until <name>.release appears
// where <name> is its own file name without extension. A run leaves <name>.<id>.record
// (fields "<key> <length>\n<bytes>\n": self, one arg per argument, input) and, just before
// it exits, <name>.<id>.done. It always prints one fixed line on standard error.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qel_stand_in {

struct Start {
  std::filesystem::path self;     // its own file
  std::string self_text;          // the same as text (bytes on POSIX, WTF-8 on Windows)
  std::vector<std::string> args;  // after the program name, as text
  std::optional<std::filesystem::path> records;
};

// Reads standard input and writes standard output in binary; the caller sets the streams up.
int run(const Start& start);

}  // namespace qel_stand_in
