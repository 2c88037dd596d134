// Environment variables on Windows, read as UTF-16.
#include <windows.h>

#include <string>

#include "common/text.h"
#include "platform/platform.h"
#include "platform/windows/environment.h"
#include "platform/windows/wide.h"

namespace qel::platform {

std::optional<std::wstring> windows::wide_env(const wchar_t* name) {
  std::wstring value(128, L'\0');
  for (;;) {
    // An empty value gives 0 too and leaves the last error as it was: cleared first, it tells
    // an empty value from an unset variable (ERROR_ENVVAR_NOT_FOUND).
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() != ERROR_SUCCESS) return std::nullopt;
      return std::wstring();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // the size needed, terminator included; the value may grow meanwhile
  }
}

EnvVar get_env(const char* name) {
  const auto value = windows::wide_env(windows::wide_from_wtf8(name).c_str());
  if (!value) return {};
  // An unpaired surrogate gives a WTF-8 form that is not valid UTF-8.
  std::string text = windows::wtf8_from_wide(*value);
  if (!is_valid_utf8(text)) return {EnvVar::State::invalid, {}};
  return {EnvVar::State::set, std::move(text)};
}

}  // namespace qel::platform
