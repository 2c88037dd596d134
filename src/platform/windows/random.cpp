// The operating system's random generator on Windows.
#include <windows.h>
#include <bcrypt.h>
#include <ntsecapi.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace qel::platform {

Status random_fill(unsigned char* buffer, std::size_t size) {
  constexpr std::size_t MAX_CHUNK = 0xFFFFFFFFu;  // one call takes a ULONG count
  while (size > 0) {
    const ULONG n = static_cast<ULONG>(size < MAX_CHUNK ? size : MAX_CHUNK);
    const NTSTATUS status = ::BCryptGenRandom(nullptr, buffer, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    // The older interface stands in when the preferred generator is unavailable.
    if (status < 0 && !::RtlGenRandom(buffer, n)) {
      char text[80];
      std::snprintf(text, sizeof text,
                    "BCryptGenRandom failed (NTSTATUS 0x%08lX), and so did RtlGenRandom",
                    static_cast<unsigned long>(status));
      return fail(std::string(text));
    }
    buffer += n;
    size -= n;
  }
  return {};
}

}  // namespace qel::platform
