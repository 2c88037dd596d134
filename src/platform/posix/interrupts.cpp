// Interrupts on POSIX: SIGINT and SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <memory>

#include "platform/platform.h"

namespace qel::platform {
namespace {

// Written by the signal handler, so it must be lock-free to be safe there.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

constexpr int SIGNALS[] = {SIGINT, SIGTERM};

void on_interrupt(int) {
  // The first interrupt only asks; a second one means it, and ends the process at once.
  if (interrupted.exchange(true)) ::_exit(INTERRUPTED_EXIT_CODE);
}

}  // namespace

struct InterruptGuard::State {
  struct sigaction saved[std::size(SIGNALS)]{};
};

InterruptGuard::InterruptGuard() : state_(std::make_unique<State>()) {
  interrupted.store(false);
  struct sigaction action{};
  action.sa_handler = on_interrupt;
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
    ::sigaction(SIGNALS[i], nullptr, &state_->saved[i]);
    // A signal the program was started with ignored (a background job of a shell without
    // job control ignores SIGINT) stays ignored.
    if (state_->saved[i].sa_handler == SIG_IGN) continue;
    ::sigaction(SIGNALS[i], &action, nullptr);
  }
}

InterruptGuard::~InterruptGuard() {
  for (std::size_t i = 0; i < std::size(SIGNALS); ++i) {
    ::sigaction(SIGNALS[i], &state_->saved[i], nullptr);
  }
}

const std::atomic<bool>& interrupt_flag() { return interrupted; }

}  // namespace qel::platform
