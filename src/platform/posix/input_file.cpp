// Files read by the upload workers.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/long_path.h"

namespace qel::platform {

struct InputFile::State {
  explicit State(int fd) : fd(fd) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { ::close(fd); }
  int fd;
};

InputFile::InputFile() = default;
InputFile::InputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;
InputFile::~InputFile() = default;

Result<InputFile> InputFile::open(const fs::path& path) {
  // Opened without waiting, so a file replaced by a named pipe since it was collected
  // cannot block the upload; reads then block as usual.
  const int fd = posix::open_path(path.native(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return fail(last_error_text());
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return InputFile(std::make_unique<State>(fd));
}

Status InputFile::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return fail(system_error_text(EINVAL));
  }
  if (::lseek(state_->fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return fail(last_error_text());
  }
  return {};
}

Status InputFile::read_exact(unsigned char* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(state_->fd, buffer, size);
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
