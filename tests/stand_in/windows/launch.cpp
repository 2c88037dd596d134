// A Windows parent for the end-to-end tests: starts a program with an environment and
// arguments that a Linux parent cannot hand over through Wine, which sets APPDATA and
// COMPUTERNAME itself and turns text that is not UTF-8 into U+FFFD. The one argument names a
// file of UTF-16LE items, each ended by a NUL:
//   set NAME VALUE     the variable is set to VALUE (any UTF-16, unpaired surrogates too)
//   unset NAME         the variable is removed
//   run PROGRAM ARG... the program (a path) and its arguments; the last item
// The program inherits the standard streams; the launcher ends with its exit code, or with
// 125 when it cannot start it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int LAUNCH_FAILED = 125;

int fail(const char* what) {
  std::fprintf(stderr, "qel-test-launch: %s (error %lu)\n", what, ::GetLastError());
  return LAUNCH_FAILED;
}

bool read_items(const wchar_t* file, std::vector<std::wstring>& items) {
  const HANDLE h = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  char buffer[65536];
  DWORD n = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
  ::CloseHandle(h);
  if (bytes.size() % 2 != 0) return false;
  std::wstring item;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    const auto unit = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit == L'\0') {
      items.push_back(item);
      item.clear();
    } else {
      item += unit;
    }
  }
  return item.empty();
}

// The quoting that CommandLineToArgvW undoes.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qel-test-launch LAUNCH-FILE\n");
    return LAUNCH_FAILED;
  }
  std::vector<std::wstring> items;
  if (!read_items(argv[1], items)) return fail("cannot read the launch file");

  std::size_t i = 0;
  for (; i < items.size() && items[i] != L"run"; ++i) {
    if (items[i] == L"set" && i + 2 < items.size()) {
      if (!::SetEnvironmentVariableW(items[i + 1].c_str(), items[i + 2].c_str())) {
        return fail("cannot set a variable");
      }
      i += 2;
    } else if (items[i] == L"unset" && i + 1 < items.size()) {
      ::SetEnvironmentVariableW(items[i + 1].c_str(), nullptr);
      i += 1;
    } else {
      ::SetLastError(ERROR_INVALID_DATA);
      return fail("malformed launch file");
    }
  }
  if (i + 1 >= items.size()) {
    ::SetLastError(ERROR_INVALID_DATA);
    return fail("no program in the launch file");
  }
  const std::wstring& program = items[i + 1];
  std::wstring line;
  for (std::size_t a = i + 1; a < items.size(); ++a) append_quoted(line, items[a]);

  STARTUPINFOW info{};
  info.cb = sizeof info;
  info.dwFlags = STARTF_USESTDHANDLES;
  const DWORD streams[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE* targets[] = {&info.hStdInput, &info.hStdOutput, &info.hStdError};
  for (int s = 0; s < 3; ++s) {
    const HANDLE h = ::GetStdHandle(streams[s]);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
      ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    *targets[s] = h;
  }
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &info, &process)) {
    return fail("cannot start the program");
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = LAUNCH_FAILED;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
