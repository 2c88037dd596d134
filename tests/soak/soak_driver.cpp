// Runs `qel send --quiet FOLDER` once per FOLDER argument, all in this one process, the way
// the program's entry point runs a command: each send reads the configuration, builds its
// own client and connection pool, uploads, prints the link and drops everything again. Built
// with AddressSanitizer, LeakSanitizer checks at exit that nothing of the sends stayed
// allocated; the open file descriptors are counted after every send, so a socket or file
// left open by one send shows as growth between the first and the last.
//
//   qel_soak REPORT FOLDER...
//
// REPORT receives one JSON object: sends, failed, and the descriptor counts.
#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "main/cli.h"
#include "main/runner.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// Entries of /proc/self/fd, less the one the listing itself holds open; 0 when unreadable.
std::size_t open_descriptors() {
  std::error_code error;
  std::size_t count = 0;
  for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return error || count == 0 ? 0 : count - 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qel;
  if (argc < 3) {
    platform::write_stderr("usage: qel_soak REPORT FOLDER...\n");
    return 2;
  }
  platform::init_process();

  std::size_t failed = 0;
  std::size_t after_first = 0;
  std::size_t lowest = 0;
  std::size_t highest = 0;
  std::size_t after_last = 0;
  for (int i = 2; i < argc; ++i) {
    auto parsed = parse_cli({"qel", "send", "--quiet", argv[i]});
    const Cli* cli = std::get_if<Cli>(&parsed);
    if (cli == nullptr) {
      platform::write_stderr("qel_soak: cannot parse the send command\n");
      return 2;
    }
    if (auto error = run_command(*cli)) {
      ++failed;
      platform::write_stderr("send " + std::to_string(i - 1) + ": Error: " + *error + "\n");
    }
    after_last = open_descriptors();
    if (i == 2) after_first = lowest = highest = after_last;
    lowest = std::min(lowest, after_last);
    highest = std::max(highest, after_last);
  }

  std::ofstream report(argv[1]);
  report << "{\"sends\": " << argc - 2 << ", \"failed\": " << failed
         << ", \"fds_after_first\": " << after_first << ", \"fds_after_last\": " << after_last
         << ", \"fds_lowest\": " << lowest << ", \"fds_highest\": " << highest << "}\n";
  return report && failed == 0 ? 0 : 1;
}
