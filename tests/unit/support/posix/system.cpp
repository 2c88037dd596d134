// The test helpers' system calls on POSIX.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>

#include "support/system.h"

namespace qel::test::system {

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void put_env(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

bool under_wine() { return false; }

bool stderr_to_terminal(int columns) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
  const char* name = ::ptsname(master);
  const int terminal = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY) : -1;
  if (terminal < 0) return false;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  // The master stays open (and is never read): the child writes little.
  return ::ioctl(terminal, TIOCSWINSZ, &size) == 0 && ::dup2(terminal, STDERR_FILENO) >= 0;
}

bool stderr_to_null() {
  const int null = ::open("/dev/null", O_WRONLY);
  return null >= 0 && ::dup2(null, STDERR_FILENO) >= 0;
}

}  // namespace qel::test::system
