// What CommandLineToArgvW makes of a command line (the rules since 2008), written apart
// from the quoting under test so that the unit tests and the fuzzer check one against the
// other.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

inline std::vector<std::string> split_windows_command_line(const std::string& line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  const auto blank = [&line](std::size_t at) { return line[at] == ' ' || line[at] == '\t'; };
  while (true) {
    while (i < line.size() && blank(i)) ++i;
    if (i == line.size()) return out;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(i))) {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        // 2n backslashes and a quote: n backslashes, and the quote opens or closes;
        // 2n+1: n backslashes and a literal quote. Inside quotes, "" is a literal quote.
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          arg += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(slashes, '\\');  // backslashes not before a quote are literal
        if (i < line.size() && (quoted || !blank(i))) arg += line[i++];
      }
    }
    out.push_back(std::move(arg));
  }
}
