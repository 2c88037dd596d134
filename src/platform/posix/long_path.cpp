#include "platform/posix/long_path.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

namespace qel::platform::posix {
namespace {

void close_keeping_errno(int fd) {
  if (fd == AT_FDCWD) return;
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

int open_path(const std::string& path, int flags) {
  flags |= O_CLOEXEC;
  if (path.size() < PATH_MAX) return ::open(path.c_str(), flags);

  int dir = AT_FDCWD;
  std::size_t pos = 0;
  if (path.front() == '/') {
    dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    pos = 1;
  }
  for (;;) {
    if (path.size() - pos < PATH_MAX) {
      const int fd = ::openat(dir, path.c_str() + pos, flags);
      close_keeping_errno(dir);
      return fd;
    }
    // The longest run of whole components that stays below the limit.
    const std::size_t slash = path.rfind('/', pos + PATH_MAX - 2);
    if (slash == std::string::npos || slash < pos) {
      close_keeping_errno(dir);
      errno = ENAMETOOLONG;
      return -1;
    }
    const std::string piece = slash == pos ? std::string(".") : path.substr(pos, slash - pos);
    const int next = ::openat(dir, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    close_keeping_errno(dir);
    if (next < 0) return -1;
    dir = next;
    pos = slash + 1;
  }
}

}  // namespace qel::platform::posix
