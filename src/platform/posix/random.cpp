// The operating system's random generator.
#include <cerrno>

#if defined(__linux__)
#include <sys/random.h>
#else
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace qel::platform {

Status random_fill(unsigned char* buffer, std::size_t size) {
  while (size > 0) {
#if defined(__linux__)
    const ssize_t n = ::getrandom(buffer, size, 0);
#else
    const std::size_t want = size < 256 ? size : 256;  // getentropy's limit per call
    const ssize_t n = ::getentropy(buffer, want) == 0 ? static_cast<ssize_t>(want) : -1;
#endif
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_error_text());
    }
    buffer += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace qel::platform
