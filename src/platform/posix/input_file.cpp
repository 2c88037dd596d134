// Files read by the upload workers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/long_path.h"

namespace qel::platform {

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

InputFile& InputFile::operator=(InputFile&& other) noexcept {
  std::swap(handle_, other.handle_);
  return *this;
}

InputFile::~InputFile() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
}

Result<InputFile> InputFile::open(const fs::path& path) {
  // Opened without waiting, so a file replaced by a named pipe since it was collected
  // cannot block the upload; reads then block as usual.
  const int fd = posix::open_path(path.native(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return fail(last_error_text());
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return InputFile(fd);
}

Status InputFile::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return fail(system_error_text(EINVAL));
  }
  if (::lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) {
    return fail(last_error_text());
  }
  return {};
}

Status InputFile::read_exact(unsigned char* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_error_text());
    }
    if (n == 0) return fail("failed to fill whole buffer");
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace qel::platform
