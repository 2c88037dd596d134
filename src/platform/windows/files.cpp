// Files, folders and error texts on Windows.
#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/wide.h"
#include "platform/windows_rules.h"

namespace qel::platform {
namespace {

using windows::UniqueHandle;
using windows::win32_path;

// The delete request that ignores the read-only attribute. Older SDK headers declare it
// only for newer target versions, so its class number, layout and flags are given here.
constexpr auto FILE_DISPOSITION_INFO_EX_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionInfoEx {
  DWORD flags;
};
constexpr DWORD DISPOSITION_DELETE = 0x1;
constexpr DWORD DISPOSITION_POSIX_SEMANTICS = 0x2;
constexpr DWORD DISPOSITION_IGNORE_READONLY = 0x10;

// ReadFile and WriteFile count in 32 bits.
constexpr std::size_t MAX_IO = 1u << 30;

bool is_folder(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesW(win32_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

std::string system_error_text(int code) {
  const auto number = static_cast<DWORD>(code);
  std::string message;
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, number, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length != 0 && buffer != nullptr) {
    std::wstring_view text(buffer, length);
    // The system's messages end in CR LF; the final period stays.
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
      text.remove_suffix(1);
    }
    message = windows::utf8_from_wide_lossy(text);
  }
  if (buffer != nullptr) ::LocalFree(buffer);
  if (message.empty()) message = "Unknown error " + std::to_string(number);
  return message + " (os error " + std::to_string(number) + ")";
}

std::string last_error_text() { return system_error_text(static_cast<int>(::GetLastError())); }

std::string path_text(const fs::path& path) { return windows::utf8_from_wide_lossy(path.native()); }

std::string name_bytes(const fs::path& name) { return windows::wtf8_from_wide(name.native()); }

fs::path path_from_text(std::string_view text) { return fs::path(windows::wide_from_wtf8(text)); }

std::optional<fs::path> roaming_app_data() {
  wchar_t* folder = nullptr;
  const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder);
  std::optional<fs::path> found;
  if (result == S_OK && folder != nullptr) {
    found = fs::path(std::wstring(folder, static_cast<std::size_t>(::lstrlenW(folder))));
  }
  // The buffer is the caller's to free, also when the call failed.
  ::CoTaskMemFree(folder);
  return found;
}

Status create_folders(const fs::path& folder, bool /*private_access*/) {
  // The roaming folder is the user's own already, so new folders need no access rules of
  // their own. Walk up to the first folder that exists, then create each level below it; a
  // file in the way makes the creation fail with the system's own error.
  std::vector<fs::path> missing;
  for (fs::path p = folder; !p.empty();) {
    if (::GetFileAttributesW(win32_path(p).c_str()) != INVALID_FILE_ATTRIBUTES) break;
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) break;
    missing.push_back(p);
    fs::path parent = p.parent_path();
    if (parent == p) break;
    p = std::move(parent);
  }
  if (missing.empty()) {
    const DWORD attributes = ::GetFileAttributesW(win32_path(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(last_error_text());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return fail(system_error_text(ERROR_ALREADY_EXISTS));
    }
    return {};
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::CreateDirectoryW(win32_path(*it).c_str(), nullptr)) continue;
    const DWORD code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS && is_folder(*it)) continue;  // made meanwhile
    return fail(system_error_text(static_cast<int>(code)));
  }
  return {};
}

Status write_file(const fs::path& path, std::string_view bytes, bool /*private_access*/) {
  // Files in the user's own folders inherit the folder's access rules, which already keep
  // other users out; there is nothing to restrict further.
  UniqueHandle file(::CreateFileW(win32_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return fail(last_error_text());
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size(), MAX_IO));
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) {
      return fail(last_error_text());
    }
    bytes.remove_prefix(written);
  }
  if (!::CloseHandle(file.release())) return fail(last_error_text());
  return {};
}

Status replace_file(const fs::path& path, std::string_view bytes) {
  // The new content goes to a file of its own beside the old one and replaces it only once
  // all of it is on the disk: a failed write (a full disk) leaves the old file whole. Files
  // in the user's own folders inherit the folder's access rules, which keep other users out.
  unsigned char noise[8];
  if (Status drawn = random_fill(noise, sizeof noise); !drawn) return drawn;
  std::wstring name = L"." + path.filename().native() + L".";
  for (const unsigned char byte : noise) {
    name += L"0123456789abcdef"[byte >> 4];
    name += L"0123456789abcdef"[byte & 0xF];
  }
  const std::wstring temp = win32_path(path.parent_path() / (name + L".tmp"));
  UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return fail(last_error_text());
  DWORD code = ERROR_SUCCESS;
  while (code == ERROR_SUCCESS && !bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size(), MAX_IO));
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) {
      code = ::GetLastError();
    } else if (written == 0) {
      code = ERROR_WRITE_FAULT;
    }
    bytes.remove_prefix(written);
  }
  if (code == ERROR_SUCCESS && !::FlushFileBuffers(file.get())) code = ::GetLastError();
  if (!::CloseHandle(file.release()) && code == ERROR_SUCCESS) code = ::GetLastError();
  if (code == ERROR_SUCCESS &&
      !::MoveFileExW(temp.c_str(), win32_path(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    code = ::GetLastError();
  }
  if (code != ERROR_SUCCESS) {
    ::DeleteFileW(temp.c_str());
    return fail(system_error_text(static_cast<int>(code)));
  }
  return {};
}

Result<std::string> read_file(const fs::path& path, std::size_t max_size) {
  UniqueHandle file(::CreateFileW(win32_path(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return fail(last_error_text());
  // Only a file on a disk: a pipe or a device in its place could keep a read waiting.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return fail("not a regular file");
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return fail(last_error_text());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return fail("not a regular file");
  const std::string too_large = "the file is larger than " + std::to_string(max_size) + " bytes";
  const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  if (size > max_size) return fail(too_large);
  // The size can change while the file is read: the reading itself stops one byte past the
  // bound.
  std::string content;
  std::vector<char> buffer(65536);
  for (;;) {
    const std::size_t left = max_size - content.size();  // never more than the bound here
    const auto want = static_cast<DWORD>(left < buffer.size() ? left + 1 : buffer.size());
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer.data(), want, &n, nullptr)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) break;
      return fail(system_error_text(static_cast<int>(code)));
    }
    if (n == 0) break;
    content.append(buffer.data(), n);
    if (content.size() > max_size) return fail(too_large);
  }
  return content;
}

bool path_exists(const fs::path& path, bool follow) {
  const std::wstring name = win32_path(path);
  if (!follow) return ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
  // Opening without any access right reads no data and meets no sharing conflict; without
  // FILE_FLAG_OPEN_REPARSE_POINT it follows links, and a dangling one fails.
  const UniqueHandle handle(::CreateFileW(name.c_str(), 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
  return handle.valid();
}

Status remove_file(const fs::path& path) {
  const std::wstring name = win32_path(path);
  if (::DeleteFileW(name.c_str())) return {};
  const DWORD refused = ::GetLastError();
  if (delete_needs_readonly_override(refused)) {
    // A read-only file: delete it with that attribute ignored. The link itself is opened,
    // never its target, and a folder is not opened at all (no backup semantics).
    const UniqueHandle file(::CreateFileW(name.c_str(), DELETE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    DispositionInfoEx info{DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS |
                           DISPOSITION_IGNORE_READONLY};
    if (file && ::SetFileInformationByHandle(file.get(), FILE_DISPOSITION_INFO_EX_CLASS, &info,
                                             sizeof info)) {
      return {};
    }
  }
  // When the second way fails too, the first refusal is what the user needs to know.
  return fail(system_error_text(static_cast<int>(refused)));
}

Result<fs::path> executable_path() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return fail(last_error_text());
    if (n < buffer.size()) {
      buffer.resize(n);
      return fs::path(std::move(buffer));
    }
    // The whole buffer filled: the path was cut short.
    if (buffer.size() > 32768) return fail(system_error_text(ERROR_INSUFFICIENT_BUFFER));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace qel::platform
