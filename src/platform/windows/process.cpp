// Child processes on Windows: captured output, fed input, and detached handlers.
//
// The helpers are console programs; they start without a console window of their own, and
// inherit exactly the three handles meant for them.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows/environment.h"
#include "platform/windows/wide.h"
#include "platform/windows_rules.h"

namespace qel::platform {
namespace {

using windows::UniqueHandle;

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "X:\..." or "\\server\...": a PATH entry of any other form depends on the current folder
// or drive, which is never searched.
bool is_absolute_folder(std::wstring_view dir) {
  const bool drive = dir.size() >= 3 && ((dir[0] >= L'A' && dir[0] <= L'Z') ||
                                         (dir[0] >= L'a' && dir[0] <= L'z')) &&
                     dir[1] == L':' && is_separator(dir[2]);
  const bool unc = dir.size() >= 2 && is_separator(dir[0]) && is_separator(dir[1]);
  return drive || unc;
}

std::wstring joined(std::wstring folder, std::wstring_view name) {
  if (!folder.empty() && !is_separator(folder.back())) folder += L'\\';
  folder += name;
  return folder;
}

// The folder of the running program's file.
std::optional<std::wstring> own_folder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::nullopt;
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);  // cut short: try again with more room
  }
  const std::size_t cut = path.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return std::nullopt;
  path.resize(cut);
  return path;
}

// GetSystemDirectoryW and GetWindowsDirectoryW report the size they need when it is larger.
std::optional<std::wstring> system_folder(UINT(WINAPI* get)(LPWSTR, UINT)) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const UINT n = get(path.data(), static_cast<UINT>(path.size()));
    if (n == 0) return std::nullopt;
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(n);
  }
}

// An existing regular file (links followed): not a folder, not a device.
bool is_regular_file(const std::wstring& path) {
  UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileType(file.get()) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandle(file.get(), &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A bare name gains ".exe" and is looked up in the program's own folder, the system folder,
// the Windows folder and the absolute folders of PATH, in this order; the current folder is
// never searched. A name with a folder in it is a path and is taken as it is.
std::optional<std::wstring> find_program(const std::string& name) {
  if (name.empty()) return std::nullopt;
  const std::wstring wide = windows::wide_from_wtf8(name);
  if (wide.find_first_of(L"\\/:") != std::wstring::npos) {
    if (is_regular_file(wide)) return wide;
    return std::nullopt;
  }
  const std::wstring file = wide + L".exe";
  for (const auto& folder : {own_folder(), system_folder(::GetSystemDirectoryW),
                             system_folder(::GetWindowsDirectoryW)}) {
    if (!folder) continue;
    std::wstring candidate = joined(*folder, file);
    if (is_regular_file(candidate)) return candidate;
  }
  const std::wstring dirs = windows::wide_env(L"PATH").value_or(std::wstring());
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(L';', start);
    if (end == std::wstring::npos) end = dirs.size();
    const std::wstring_view dir = std::wstring_view(dirs).substr(start, end - start);
    if (is_absolute_folder(dir)) {
      std::wstring candidate = joined(std::wstring(dir), file);
      if (is_regular_file(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// The program's path and its command line. None when the program is not found or a text
// holds a NUL, which no command line can carry.
struct Prepared {
  std::wstring path;
  std::wstring line;
};

std::optional<Prepared> prepare(const Command& command) {
  std::vector<std::string> argv{command.program};
  argv.insert(argv.end(), command.args.begin(), command.args.end());
  for (const auto& arg : argv) {
    if (arg.find('\0') != std::string::npos) return std::nullopt;
  }
  auto path = find_program(command.program);
  if (!path) return std::nullopt;
  return Prepared{std::move(*path), windows::wide_from_wtf8(windows_command_line(argv))};
}

// The null device, inheritable, for every stream the child does not use.
UniqueHandle open_null() {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return UniqueHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                    0, nullptr));
}

// A pipe of which only the child's end is inheritable.
struct Pipe {
  UniqueHandle read;
  UniqueHandle write;
};

bool make_pipe(Pipe& pipe, bool child_reads) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, nullptr, 0)) return false;
  pipe.read.reset(read);
  pipe.write.reset(write);
  const HANDLE child_end = child_reads ? read : write;
  return ::SetHandleInformation(child_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// Frees the attribute list on every way out.
class AttributeList {
 public:
  explicit AttributeList(DWORD count) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size > 0 && ::InitializeProcThreadAttributeList(list, count, 0, &size)) list_ = list;
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() {
    if (list_ != nullptr) ::DeleteProcThreadAttributeList(list_);
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Starts the program with the given standard handles, which alone it inherits: other
// inheritable handles of this process stay out of it. Yields the process handle.
std::optional<UniqueHandle> start(Prepared& p, HANDLE in, HANDLE out, HANDLE err) {
  // Each handle once: the list refuses repeats.
  HANDLE handles[3];
  DWORD count = 0;
  for (const HANDLE h : {in, out, err}) {
    bool seen = false;
    for (DWORD i = 0; i < count; ++i) seen = seen || handles[i] == h;
    if (!seen) handles[count++] = h;
  }
  AttributeList attributes(1);
  if (attributes.get() == nullptr ||
      !::UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   handles, count * sizeof(HANDLE), nullptr, nullptr)) {
    return std::nullopt;
  }
  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = in;
  info.StartupInfo.hStdOutput = out;
  info.StartupInfo.hStdError = err;
  info.lpAttributeList = attributes.get();
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(p.path.c_str(), p.line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                        &info.StartupInfo, &process)) {
    return std::nullopt;
  }
  ::CloseHandle(process.hThread);
  return UniqueHandle(process.hProcess);
}

bool wait_for(const UniqueHandle& process) {
  return ::WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0;
}

}  // namespace

std::optional<std::string> run_capture(const Command& command) {
  auto p = prepare(command);
  if (!p) return std::nullopt;
  UniqueHandle null = open_null();
  Pipe out;
  if (!null || !make_pipe(out, false)) return std::nullopt;
  const auto process = start(*p, null.get(), out.write.get(), null.get());
  out.write.reset();  // the child's copy alone keeps the pipe open
  if (!process) return std::nullopt;
  std::string text;
  char buffer[4096];
  // A read of nothing is a zero-length write, not the end: the end is the broken pipe.
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(out.read.get(), buffer, sizeof buffer, &n, nullptr)) break;
    text.append(buffer, n);
  }
  out.read.reset();
  if (!wait_for(*process)) return std::nullopt;
  return text;
}

std::optional<int> run_with_input(const Command& command, std::string_view input) {
  auto p = prepare(command);
  if (!p) return std::nullopt;
  UniqueHandle null = open_null();
  Pipe in;
  if (!null || !make_pipe(in, true)) return std::nullopt;
  const auto process = start(*p, in.read.get(), null.get(), null.get());
  in.read.reset();
  if (!process) return std::nullopt;
  // A child that stops reading early makes the write fail; its exit code still tells the
  // caller how it went.
  while (!input.empty()) {
    const DWORD want = input.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(input.size());
    DWORD n = 0;
    if (!::WriteFile(in.write.get(), input.data(), want, &n, nullptr) || n == 0) break;
    input.remove_prefix(n);
  }
  in.write.reset();
  DWORD code = 0;
  if (!wait_for(*process) || !::GetExitCodeProcess(process->get(), &code)) return std::nullopt;
  return static_cast<int>(code);
}

bool spawn_detached(const Command& command) {
  auto p = prepare(command);
  if (!p) return false;
  UniqueHandle null = open_null();
  if (!null) return false;
  // Started and let go: its handle is closed at once, never waited for.
  return start(*p, null.get(), null.get(), null.get()).has_value();
}

}  // namespace qel::platform
