// The terminal's width on POSIX.
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/platform.h"

namespace qel::platform {

std::optional<std::size_t> stderr_terminal_width() {
  winsize size{};
  // A terminal that does not know its size says 0 columns.
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return std::nullopt;
  return size.ws_col;
}

}  // namespace qel::platform
