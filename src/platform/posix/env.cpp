// Environment variables on POSIX.
#include <cstdlib>

#include "common/text.h"
#include "platform/platform.h"

namespace qel::platform {

EnvVar get_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return {};
  std::string text(value);
  if (!is_valid_utf8(text)) return {EnvVar::State::invalid, {}};
  return {EnvVar::State::set, std::move(text)};
}

}  // namespace qel::platform
