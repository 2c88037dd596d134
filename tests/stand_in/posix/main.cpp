// The recorder's entry point on POSIX: arguments and paths are bytes.
#include <cstdlib>
#include <system_error>

#include "../recorder.h"

int main(int argc, char** argv) {
  qel_stand_in::Start start;
  std::error_code ec;
  start.self = std::filesystem::read_symlink("/proc/self/exe", ec);
  start.self_text = start.self.native();
  for (int i = 1; i < argc; ++i) start.args.emplace_back(argv[i]);
  if (const char* records = std::getenv("QEL_TEST_RECORDER_DIR")) start.records = records;
  return qel_stand_in::run(start);
}
