// Console, arguments and standard streams on Windows. The standard handles are written with
// WriteFile or WriteConsoleW directly, never through the C runtime, so no byte is translated.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/text.h"
#include "platform/platform.h"
#include "platform/windows/wide.h"
#include "platform/windows_rules.h"

namespace qel::platform {
namespace {

using windows::UniqueHandle;

// GetStdHandle's answer, or null when the stream is missing.
HANDLE standard_handle(DWORD which) {
  const HANDLE h = ::GetStdHandle(which);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool is_console(HANDLE h) {
  DWORD mode;
  return h != nullptr && ::GetConsoleMode(h, &mode) != 0;
}

// MSYS and Cygwin terminals hand their programs named pipes in place of a console.
bool is_msys_pty(HANDLE h) {
  if (h == nullptr || ::GetFileType(h) != FILE_TYPE_PIPE) return false;
  // FILE_NAME_INFO holds the length and then the name, not terminated.
  alignas(FILE_NAME_INFO) unsigned char buffer[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!::GetFileInformationByHandleEx(h, FileNameInfo, info, sizeof buffer)) return false;
  const auto* name = reinterpret_cast<const char16_t*>(info->FileName);
  return is_msys_pty_pipe_name(std::u16string_view(name, info->FileNameLength / sizeof(WCHAR)));
}

bool is_terminal(DWORD which) {
  const HANDLE h = standard_handle(which);
  return is_console(h) || is_msys_pty(h);
}

// Console output in UTF-16, so the text shows whatever the console's code page. Pieces stay
// small because older consoles refuse very large writes; a surrogate pair is never split.
Status write_console(HANDLE h, std::string_view text) {
  const std::wstring units = windows::wide_from_wtf8(text);
  constexpr std::size_t PIECE = 8192;
  std::size_t done = 0;
  while (done < units.size()) {
    std::size_t n = std::min(PIECE, units.size() - done);
    if (done + n < units.size() && units[done + n - 1] >= 0xD800 && units[done + n - 1] <= 0xDBFF) {
      --n;
    }
    DWORD written = 0;
    if (!::WriteConsoleW(h, units.data() + done, static_cast<DWORD>(n), &written, nullptr)) {
      return fail(last_error_text());
    }
    if (written == 0) return fail("failed to write whole buffer");
    done += written;
  }
  return {};
}

Status write_bytes(HANDLE h, std::string_view text) {
  while (!text.empty()) {
    const DWORD want = text.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(text.size());
    DWORD written = 0;
    if (!::WriteFile(h, text.data(), want, &written, nullptr)) return fail(last_error_text());
    if (written == 0) return fail("failed to write whole buffer");
    text.remove_prefix(written);
  }
  return {};
}

Status write_stream(DWORD which, std::string_view text) {
  if (text.empty()) return {};
  const HANDLE h = standard_handle(which);
  if (h == nullptr) return fail(system_error_text(ERROR_INVALID_HANDLE));
  if (is_console(h) && ::GetConsoleOutputCP() != CP_UTF8) return write_console(h, text);
  return write_bytes(h, text);
}

constexpr char LINE_TOO_LONG[] = "the input line is longer than 1 MiB";

// The line's length without its line end (LF or CR LF).
template <class Text>
std::size_t content_size(const Text& line) {
  std::size_t size = line.size();
  if (size > 0 && line[size - 1] == '\n') --size;
  if (size > 0 && line[size - 1] == '\r') --size;
  return size;
}

// One line of bytes, read one at a time so that nothing past the line end is consumed.
// A broken pipe is the end of the input, like a read of nothing. A line longer than
// MAX_LINE_SIZE stops the reading instead of growing without end.
std::optional<std::string> read_line_bytes(HANDLE h, bool& io_error) {
  std::string line;
  io_error = false;
  if (h == nullptr) return std::nullopt;
  for (;;) {
    char ch;
    DWORD n = 0;
    if (!::ReadFile(h, &ch, 1, &n, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) io_error = true;
      n = 0;
    }
    if (n == 0) break;
    line += ch;
    if (ch == '\n' || line.size() > MAX_LINE_SIZE + 1) break;  // room for a CR before the LF
  }
  if (line.empty()) return std::nullopt;
  return line;
}

// One line typed on the console, line end included, as UTF-16. In line mode a read returns
// at most one line; a line longer than the buffer comes in further reads, so only a read
// that filled the whole buffer without ending in LF can have more to come. The reading
// stops past MAX_LINE_SIZE units; a line that long is refused anyway.
std::optional<std::wstring> read_console_line(HANDLE h, bool& io_error) {
  std::wstring line;
  io_error = false;
  wchar_t buffer[1024];
  for (;;) {
    DWORD n = 0;
    if (!::ReadConsoleW(h, buffer, static_cast<DWORD>(std::size(buffer)), &n, nullptr)) {
      io_error = true;
      break;
    }
    line.append(buffer, n);
    if (n < std::size(buffer) || buffer[n - 1] == L'\n') break;
    if (line.size() > MAX_LINE_SIZE + 1) break;
  }
  if (line.empty()) return std::nullopt;
  return line;
}

// A line of standard input, from the console or from a file or pipe; `too_long` when its
// UTF-8 text is longer than MAX_LINE_SIZE bytes besides its line end.
std::optional<std::string> read_line(HANDLE h, bool& io_error, bool& too_long) {
  too_long = false;
  std::optional<std::string> line;
  if (is_console(h)) {
    auto units = read_console_line(h, io_error);
    if (units) line = windows::utf8_from_wide_lossy(*units);
  } else {
    line = read_line_bytes(h, io_error);
  }
  too_long = line && content_size(*line) > MAX_LINE_SIZE;
  return line;
}

std::string strip_line_end(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

// Restores the console's input mode on every way out, Ctrl+C and a closed window included:
// the control handler runs on its own thread, restores the mode, and lets the next handler
// (the system's, which ends the process) run.
struct EchoGuard {
  static inline SRWLOCK lock = SRWLOCK_INIT;
  static inline HANDLE console = nullptr;
  static inline DWORD saved = 0;

  static void restore() {
    ::AcquireSRWLockExclusive(&lock);
    if (console != nullptr) {
      ::SetConsoleMode(console, saved);
      console = nullptr;
    }
    ::ReleaseSRWLockExclusive(&lock);
  }
  static BOOL WINAPI on_control(DWORD) {
    restore();
    return FALSE;
  }
};

Result<std::string> checked_answer(std::string answer) {
  if (!is_valid_utf8(answer)) return fail("stream did not contain valid UTF-8");
  return answer;
}

}  // namespace

void init_process() {
  // A path on an empty drive fails with an error instead of a system dialog box.
  ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS);
  // The progress bar erases its line and the Send To flow sets the window title with escape
  // sequences, which a console shows as text unless it is asked to interpret them.
  for (const DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
      ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
  }
}

std::vector<std::string> process_arguments(int, char**) {
  // The runtime's argv is in the ANSI code page; the wide command line holds every name.
  std::vector<std::string> args;
  const wchar_t* line = ::GetCommandLineW();
  if (line != nullptr && line[0] != L'\0') {
    int count = 0;
    wchar_t** list = ::CommandLineToArgvW(line, &count);
    if (list != nullptr) {
      for (int i = 0; i < count; ++i) args.push_back(windows::wtf8_from_wide(list[i]));
      ::LocalFree(list);
    }
  }
  // Started with an empty command line: the running program's own path names it.
  if (args.empty()) {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
      if (n == 0) {
        self.clear();
        break;
      }
      if (n < self.size()) {
        self.resize(n);
        break;
      }
      self.resize(self.size() * 2);
    }
    args.push_back(self.empty() ? std::string("qel") : windows::wtf8_from_wide(self));
  }
  return args;
}

std::string_view os_name() { return "windows"; }
std::string_view os_display_name() { return "Windows"; }

bool stdin_is_terminal() { return is_terminal(STD_INPUT_HANDLE); }
bool stdout_is_terminal() { return is_terminal(STD_OUTPUT_HANDLE); }
bool stderr_is_terminal() { return is_terminal(STD_ERROR_HANDLE); }

bool is_own_console() {
  DWORD processes[4] = {};
  return console_is_own(::GetConsoleProcessList(processes, 4));
}

// A closed pipe or a full disk: dropped, never fatal.
void write_stdout(std::string_view text) { (void)write_stdout_checked(text); }
void write_stderr(std::string_view text) { (void)write_stderr_checked(text); }

Status write_stdout_checked(std::string_view text) {
  std::fflush(stdout);
  return write_stream(STD_OUTPUT_HANDLE, text);
}

Status write_stderr_checked(std::string_view text) {
  return write_stream(STD_ERROR_HANDLE, text);
}

std::optional<std::string> read_stdin_line() {
  bool io_error, too_long;
  auto line = read_line(standard_handle(STD_INPUT_HANDLE), io_error, too_long);
  if (io_error || too_long) return std::nullopt;
  return line;
}

Result<std::string> read_secret(std::string_view prompt) {
  if (!stdin_is_terminal()) {
    bool io_error, too_long;
    auto line = read_line(standard_handle(STD_INPUT_HANDLE), io_error, too_long);
    if (io_error) return fail(last_error_text());
    if (too_long) return fail(LINE_TOO_LONG);
    return checked_answer(strip_line_end(line.value_or(std::string())));
  }

  // The console's own devices, whatever the standard streams are.
  const auto open_console = [](const wchar_t* name) {
    return UniqueHandle(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
  };
  UniqueHandle input = open_console(L"CONIN$");
  if (!input) return fail(last_error_text());
  UniqueHandle output = open_console(L"CONOUT$");
  if (!output) return fail(last_error_text());
  (void)write_console(output.get(), prompt);  // an answer can be typed without it

  DWORD mode = 0;
  if (!::GetConsoleMode(input.get(), &mode)) return fail(last_error_text());
  ::AcquireSRWLockExclusive(&EchoGuard::lock);
  EchoGuard::console = input.get();
  EchoGuard::saved = mode;
  ::ReleaseSRWLockExclusive(&EchoGuard::lock);
  ::SetConsoleCtrlHandler(EchoGuard::on_control, TRUE);
  const DWORD silent = (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                       ENABLE_PROCESSED_INPUT;
  if (!::SetConsoleMode(input.get(), silent)) {
    const std::string error = last_error_text();
    EchoGuard::restore();
    ::SetConsoleCtrlHandler(EchoGuard::on_control, FALSE);
    return fail(error);
  }

  bool io_error;
  auto units = read_console_line(input.get(), io_error);
  const std::string read_error = io_error ? last_error_text() : std::string();

  EchoGuard::restore();
  ::SetConsoleCtrlHandler(EchoGuard::on_control, FALSE);

  if (io_error) return fail(read_error);
  std::wstring line = units.value_or(std::wstring());
  // The Enter that ended the line was not echoed; the next output starts on a line of its own.
  if (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) {
    (void)write_console(output.get(), "\r\n");
  }
  while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
  std::string answer = windows::wtf8_from_wide(line);
  if (answer.size() > MAX_LINE_SIZE) return fail(LINE_TOO_LONG);
  return checked_answer(std::move(answer));
}

}  // namespace qel::platform
