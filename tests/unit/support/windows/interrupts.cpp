// Children for interrupts on Windows: the test program itself, started again with a console
// of its own (only a console process can be sent Ctrl-C; CREATE_NO_WINDOW gives one without
// a window), runs the body named in QEL_TEST_CHILD before any test and ends with its result.
#include "support/interrupts.h"

#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/env.h"
#include "support/system.h"

namespace qel::test {
namespace {

constexpr const char* CHILD_VARIABLE = "QEL_TEST_CHILD";
constexpr DWORD CHILD_WAIT_MS = 60'000;

// Runs once the bodies are all registered (environments start after static initialisation).
class ChildStart : public ::testing::Environment {
 public:
  void SetUp() override {
    const auto name = system::get_env(CHILD_VARIABLE);
    if (!name) return;
    const ChildBody body = child_body(*name);
    std::_Exit(body != nullptr ? body() : 1);
  }
};

[[maybe_unused]] ::testing::Environment* const child_start =
    ::testing::AddGlobalTestEnvironment(new ChildStart);

std::wstring own_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

ChildEnd run_child(const std::string& name) {
  if (child_body(name) == nullptr) {
    ADD_FAILURE() << "no child body named " << name;
    return {-1};
  }
  ScopedEnv env;
  env.set(CHILD_VARIABLE, name);
  const std::wstring self = own_path();
  std::wstring command = L"\"" + self + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start the child: error " << ::GetLastError();
    return {-1};
  }
  ::CloseHandle(process.hThread);
  DWORD code = 0;
  if (::WaitForSingleObject(process.hProcess, CHILD_WAIT_MS) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 1);
    ADD_FAILURE() << "the child did not end";
  }
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return {static_cast<int>(code)};
}

void interrupt_self(InterruptKind kind) {
  ::GenerateConsoleCtrlEvent(kind == InterruptKind::ctrl_c ? CTRL_C_EVENT : CTRL_BREAK_EVENT, 0);
}

}  // namespace qel::test
