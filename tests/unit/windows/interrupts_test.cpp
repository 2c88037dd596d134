// The console control handler's own cases, called directly: the events that no test can
// generate (a closed window, a log-off), and Ctrl-Break, which Wine cannot generate.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/windows/interrupts.h"
#include "support/interrupts.h"

namespace qel::test {
namespace {

// Closing the window raises the flag, and the handler does not return: the system would end
// the process as soon as it did, before the program has stopped in its own way.
[[maybe_unused]] const bool close_body_registered =
    register_child_body("window closed", [] {
      platform::InterruptGuard guard;
      static std::atomic<bool> returned{false};
      std::thread([] {
        platform::windows::on_console_control(CTRL_CLOSE_EVENT);
        returned = true;
      }).detach();
      for (int i = 0; i < 1000 && !platform::interrupt_flag().load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!platform::interrupt_flag().load()) return 2;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      return returned.load() ? 3 : CHILD_SURVIVED;
    });

[[maybe_unused]] const bool break_body_registered =
    register_child_body("ctrl-break", [] {
      platform::InterruptGuard guard;
      if (platform::windows::on_console_control(CTRL_BREAK_EVENT) != TRUE) return 2;
      return platform::interrupt_flag().load() ? CHILD_SURVIVED : 3;
    });

TEST(WindowsInterrupts, CtrlBreakIsTakenLikeCtrlC) {
  EXPECT_EQ(run_child("ctrl-break"), ChildEnd{CHILD_SURVIVED});
}

TEST(WindowsInterrupts, ClosingTheWindowRaisesTheFlagAndHoldsTheHandler) {
  EXPECT_EQ(run_child("window closed"), ChildEnd{CHILD_SURVIVED});
}

TEST(WindowsInterrupts, LogoffAndShutdownAreLeftToTheSystem) {
  for (DWORD event : {CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    EXPECT_EQ(platform::windows::on_console_control(event), FALSE) << event;
  }
}

}  // namespace
}  // namespace qel::test
