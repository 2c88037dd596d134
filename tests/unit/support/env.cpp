#include "support/env.h"

#include "support/system.h"

namespace qel::test {

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) system::put_env(name, value);
}

void ScopedEnv::remember(const std::string& name) {
  if (saved_.find(name) == saved_.end()) saved_[name] = system::get_env(name);
}

void ScopedEnv::set(const std::string& name, std::string_view value) {
  remember(name);
  system::put_env(name, std::string(value));
}

void ScopedEnv::unset(const std::string& name) {
  remember(name);
  system::put_env(name, std::nullopt);
}

void ScopedEnv::put(const std::string& name, const std::optional<std::string>& value) {
  remember(name);
  system::put_env(name, value);
}

}  // namespace qel::test
