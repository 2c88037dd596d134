// Files read by the upload workers.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "platform/platform.h"
#include "platform/windows/wide.h"

namespace qel::platform {

struct InputFile::State {
  explicit State(windows::UniqueHandle file) : file(std::move(file)) {}
  windows::UniqueHandle file;
};

InputFile::InputFile() = default;
InputFile::InputFile(std::unique_ptr<State> state) : state_(std::move(state)) {}
InputFile::InputFile(InputFile&& other) noexcept = default;
InputFile& InputFile::operator=(InputFile&& other) noexcept = default;
InputFile::~InputFile() = default;

Result<InputFile> InputFile::open(const fs::path& path) {
  // Others may go on reading, writing, renaming or deleting the file meanwhile, as they could
  // before it was opened.
  windows::UniqueHandle file(::CreateFileW(windows::win32_path(path).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                           nullptr));
  if (!file) return fail(last_error_text());
  // Only a file on a disk is read: a name that now leads to a device or a pipe (a reserved
  // name such as CON, a pipe in a file's place) could block the upload forever.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
    return fail(system_error_text(ERROR_NOT_SUPPORTED));
  }
  return InputFile(std::make_unique<State>(std::move(file)));
}

Status InputFile::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max())) {
    return fail(system_error_text(ERROR_INVALID_PARAMETER));
  }
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!::SetFilePointerEx(state_->file.get(), distance, nullptr, FILE_BEGIN)) {
    return fail(last_error_text());
  }
  return {};
}

Status InputFile::read_exact(unsigned char* buffer, std::size_t size) {
  while (size > 0) {
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD n = 0;
    if (!::ReadFile(state_->file.get(), buffer, wanted, &n, nullptr)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_HANDLE_EOF) return fail("failed to fill whole buffer");
      return fail(system_error_text(static_cast<int>(code)));
    }
    if (n == 0) return fail("failed to fill whole buffer");
    buffer += n;
    size -= n;
  }
  return {};
}

}  // namespace qel::platform
