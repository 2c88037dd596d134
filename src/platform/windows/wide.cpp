#include "platform/windows/wide.h"

namespace qel::platform::windows {
namespace {

// Below this length every file function accepts a path as it is; CreateDirectoryW has the
// tightest limit, MAX_PATH less room for an 8.3 name.
constexpr std::size_t SHORT_PATH = MAX_PATH - 12;

bool starts_with(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::wstring full_path(const std::wstring& path) {
  std::wstring buffer(path.size() + 16, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                       buffer.data(), nullptr);
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n);  // n counts the terminating zero when the buffer was too small
  }
}

}  // namespace

std::wstring win32_path(const std::filesystem::path& path) {
  const std::wstring& native = path.native();
  if (native.size() < SHORT_PATH || starts_with(native, L"\\\\?\\") ||
      starts_with(native, L"\\\\.\\")) {
    return native;
  }
  // The verbatim form skips the system's clean-up of the path, so it is done here first:
  // "." and ".." resolved, "/" turned into "\".
  std::wstring full = full_path(native);
  if (full.empty()) return native;
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return full;
}

}  // namespace qel::platform::windows
