// Environment variables set or unset for a scope, restored afterwards.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace qel::test {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

  // `value` is text in the platform's lossless form: bytes on POSIX, WTF-8 on Windows (so
  // "\xED\xA0\x80" sets an unpaired surrogate there). The empty text sets an empty value.
  void set(const std::string& name, std::string_view value);
  void unset(const std::string& name);
  // Sets the value, or unsets the variable when there is none.
  void put(const std::string& name, const std::optional<std::string>& value);

 private:
  void remember(const std::string& name);
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace qel::test
