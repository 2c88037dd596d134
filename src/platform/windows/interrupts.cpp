// Interrupts on Windows: Ctrl-C, Ctrl-Break and a closed console window.
#include "platform/windows/interrupts.h"

#include <atomic>
#include <memory>

#include "platform/platform.h"

namespace qel::platform {
namespace {

std::atomic<bool> interrupted{false};

}  // namespace

namespace windows {

BOOL WINAPI on_console_control(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // The first interrupt only asks; a second one means it, and ends the process at once.
  if (interrupted.exchange(true)) ::ExitProcess(INTERRUPTED_EXIT_CODE);
  if (event == CTRL_CLOSE_EVENT) {
    // The system ends the process as soon as this handler returns, and a few seconds after
    // the window closed in any case: waiting here leaves the program that time to stop
    // cleanly. It ends the process itself.
    ::Sleep(INFINITE);
  }
  return TRUE;
}

}  // namespace windows

struct InterruptGuard::State {};

InterruptGuard::InterruptGuard() : state_(std::make_unique<State>()) {
  interrupted.store(false);
  ::SetConsoleCtrlHandler(windows::on_console_control, TRUE);
}

InterruptGuard::~InterruptGuard() { ::SetConsoleCtrlHandler(windows::on_console_control, FALSE); }

const std::atomic<bool>& interrupt_flag() { return interrupted; }

}  // namespace qel::platform
