// Windows command-line quoting: any list of arguments without NUL, joined into one line,
// must split back into the same list by the rules the Windows side reads it with.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/windows_rules.h"
#include "support/windows_split.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::string> args;
  while (in.remaining_bytes() > 0 && args.size() < 16) {
    std::string arg = in.ConsumeRandomLengthString(64);
    std::erase(arg, '\0');  // a command line cannot carry NUL
    args.push_back(std::move(arg));
  }
  const std::string line = qel::platform::windows_command_line(args);
  FUZZ_CHECK(line.find('\0') == std::string::npos);
  FUZZ_CHECK(split_windows_command_line(line) == args);
  return 0;
}
