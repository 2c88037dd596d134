#include "desktop/open_url.h"

#include "platform/platform.h"

namespace qel {

bool open_url(std::string_view url) {
  // No command line or argument vector can carry a NUL.
  if (url.find('\0') != std::string_view::npos) return false;
  platform::Command command = platform::url_opener();
  command.args.emplace_back(url);
  return platform::spawn_detached(command);
}

std::string windows_command_line(const std::vector<std::string>& args) {
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i > 0) line += ' ';
    const bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
    if (quote) line += '"';
    std::size_t backslashes = 0;
    for (const char ch : arg) {
      if (ch == '\\') {
        ++backslashes;
        continue;
      }
      if (ch == '"') {
        // Backslashes right before a quote are doubled, and the quote itself escaped.
        line.append(backslashes * 2 + 1, '\\');
      } else {
        line.append(backslashes, '\\');
      }
      backslashes = 0;
      line += ch;
    }
    // Before the closing quote, trailing backslashes are doubled so it stays a quote.
    line.append(quote ? backslashes * 2 : backslashes, '\\');
    if (quote) line += '"';
  }
  return line;
}

}  // namespace qel
