// The test helpers' system calls on Windows. Variables go through the Win32 environment
// block, which is what the program reads and what child processes inherit.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/utf16.h"
#include "support/system.h"

namespace qel::test::system {
namespace {

std::wstring wide(std::string_view wtf8) {
  const std::u16string units = platform::utf16_from_wtf8(wtf8);
  return std::wstring(units.begin(), units.end());
}

}  // namespace

std::optional<std::string> get_env(const std::string& name) {
  const std::wstring wname = wide(name);
  std::wstring buffer(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(wname.c_str(), buffer.data(),
                                              static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();  // set, and empty
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      return platform::wtf8_from_utf16(std::u16string(buffer.begin(), buffer.end()));
    }
    buffer.resize(n);  // too small: n is the size needed, terminator included
  }
}

void put_env(const std::string& name, const std::optional<std::string>& value) {
  const std::wstring wname = wide(name);
  if (value) {
    ::SetEnvironmentVariableW(wname.c_str(), wide(*value).c_str());
  } else {
    ::SetEnvironmentVariableW(wname.c_str(), nullptr);
  }
}

bool stderr_to_terminal(int columns) {
  // The child's console: its window first made narrow enough for the buffer to follow.
  const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
  const SHORT width = static_cast<SHORT>(columns);
  SMALL_RECT window{0, 0, static_cast<SHORT>(width - 1), 20};
  return console != INVALID_HANDLE_VALUE && console != nullptr &&
         ::SetConsoleWindowInfo(console, TRUE, &window) &&
         ::SetConsoleScreenBufferSize(console, COORD{width, 300});
}

bool stderr_to_null() {
  const HANDLE null = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  return null != INVALID_HANDLE_VALUE && ::SetStdHandle(STD_ERROR_HANDLE, null);
}

bool under_wine() {
  // Wine's ntdll exports its version; Windows' own does not.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

DWORD handle_number(StreamIntoPipe::Stream stream) {
  return stream == StreamIntoPipe::Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
}

}  // namespace

StreamIntoPipe::StreamIntoPipe(Stream stream, bool reader_gone) : stream_(stream) {
  HANDLE reader = nullptr, writer = nullptr;
  if (!::CreatePipe(&reader, &writer, nullptr, 0)) {
    throw std::runtime_error("CreatePipe: error " + std::to_string(::GetLastError()));
  }
  saved_ = reinterpret_cast<std::intptr_t>(::GetStdHandle(handle_number(stream)));
  writer_ = reinterpret_cast<std::intptr_t>(writer);
  ::SetStdHandle(handle_number(stream), writer);
  if (reader_gone) {
    ::CloseHandle(reader);
  } else {
    reader_ = reinterpret_cast<std::intptr_t>(reader);
  }
}

StreamIntoPipe::~StreamIntoPipe() {
  ::SetStdHandle(handle_number(stream_), reinterpret_cast<HANDLE>(saved_));
  ::CloseHandle(reinterpret_cast<HANDLE>(writer_));
  if (reader_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(reader_));
}

std::string StreamIntoPipe::taken() {
  std::string out;
  const auto reader = reinterpret_cast<HANDLE>(reader_);
  DWORD available = 0;
  while (reader_ != -1 && ::PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) &&
         available > 0) {
    std::string piece(available, '\0');
    DWORD n = 0;
    if (!::ReadFile(reader, piece.data(), available, &n, nullptr)) break;
    out.append(piece.data(), n);
  }
  return out;
}

SmallFileSystem::SmallFileSystem(const std::filesystem::path& folder)
    : folder_(folder),
      why_not_(under_wine() ? "a Windows program under Wine cannot mount a file system"
                            : "a test cannot mount a small file system on Windows") {}

SmallFileSystem::~SmallFileSystem() = default;

IdlePipe::IdlePipe(const std::filesystem::path&)
    : path_(L"\\\\.\\pipe\\qel-test-idle-" + std::to_wstring(::GetCurrentProcessId())) {
  const HANDLE pipe = ::CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_OUTBOUND,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                         4096, 4096, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("CreateNamedPipeW: error " + std::to_string(::GetLastError()));
  }
  handle_ = reinterpret_cast<std::intptr_t>(pipe);
}

IdlePipe::~IdlePipe() { ::CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

StdinFromFile::StdinFromFile(const std::filesystem::path& file) {
  const HANDLE opened = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("redirecting standard input: error " +
                             std::to_string(::GetLastError()));
  }
  saved_ = reinterpret_cast<std::intptr_t>(::GetStdHandle(STD_INPUT_HANDLE));
  opened_ = reinterpret_cast<std::intptr_t>(opened);
  ::SetStdHandle(STD_INPUT_HANDLE, opened);
}

StdinFromFile::~StdinFromFile() {
  ::SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(saved_));
  ::CloseHandle(reinterpret_cast<HANDLE>(opened_));
}

}  // namespace qel::test::system
