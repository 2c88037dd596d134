// Environment access shared by the Windows platform files only.
#pragma once

#include <optional>
#include <string>

namespace qel::platform::windows {

// The variable's value as UTF-16 units, unchecked; none when the variable is unset. An empty
// value is set and empty.
std::optional<std::wstring> wide_env(const wchar_t* name);

}  // namespace qel::platform::windows
