// The console's width on Windows.
#include <windows.h>

#include "platform/platform.h"

namespace qel::platform {

std::optional<std::size_t> stderr_terminal_width() {
  const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  // A line wraps at the width of the screen buffer, which may be wider than the window. An
  // MSYS terminal's pipe is no console: its width stays unknown.
  if (h == INVALID_HANDLE_VALUE || h == nullptr || !::GetConsoleScreenBufferInfo(h, &info) ||
      info.dwSize.X <= 0) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(info.dwSize.X);
}

}  // namespace qel::platform
