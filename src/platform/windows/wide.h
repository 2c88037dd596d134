// Helpers shared by the Windows platform files only: wide strings to and from the 8-bit text
// forms, and an owner for kernel handles.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "platform/utf16.h"

namespace qel::platform::windows {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

// The UTF-16 units of a WTF-8 (or UTF-8) text; lossless for what wtf8_from_wide gives.
inline std::wstring wide_from_wtf8(std::string_view text) {
  const std::u16string units = utf16_from_wtf8(text);
  return std::wstring(units.begin(), units.end());
}

// The lossless text form of UTF-16 units: an unpaired surrogate as its three-byte form.
inline std::string wtf8_from_wide(std::wstring_view units) {
  return wtf8_from_utf16(std::u16string(units.begin(), units.end()));
}

// UTF-8 for display and messages: unpaired surrogates become U+FFFD.
inline std::string utf8_from_wide_lossy(std::wstring_view units) {
  return utf8_from_utf16_lossy(std::u16string(units.begin(), units.end()));
}

// The path in the form the Win32 file functions take: unchanged while it is short, otherwise
// made absolute and given the "\\?\" prefix (for UNC paths "\\?\UNC\"), so the system's path
// length limit does not apply. One that cannot be made absolute is left as it is.
std::wstring win32_path(const std::filesystem::path& path);

// Owns a kernel handle and closes it on every way out. INVALID_HANDLE_VALUE and null are
// both "no handle", since the APIs that create handles report failure with one or the other.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset(HANDLE handle = nullptr) {
    if (valid()) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace qel::platform::windows
