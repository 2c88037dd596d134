// Desktop services on POSIX: the program's own path, the UI language, the clipboard tools.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "platform/platform.h"

namespace qel::platform {

Result<fs::path> executable_path() {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string buffer(size, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return fail(system_error_text(ENAMETOOLONG));
  buffer.resize(buffer.find('\0'));
  char* resolved = ::realpath(buffer.c_str(), nullptr);
  if (resolved == nullptr) return fail(last_error_text());
  fs::path path(resolved);
  std::free(resolved);
  return path;
#else
  // The link's length is not known in advance: grow the buffer until the name fits.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return fail(last_error_text());
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return fs::path(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
#endif
}

bool ui_language_is_romanian() {
  // The locale variables in the order the C library consults them for messages.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    return (value[0] | 0x20) == 'r' && value[1] != '\0' && (value[1] | 0x20) == 'o';
  }
  return false;
}

std::vector<Command> clipboard_commands() {
#if defined(__APPLE__)
  return {{"pbcopy", {}}};
#else
  return {
      {"wl-copy", {}},
      {"xclip", {"-selection", "clipboard"}},
      {"xsel", {"--clipboard", "--input"}},
  };
#endif
}

}  // namespace qel::platform
