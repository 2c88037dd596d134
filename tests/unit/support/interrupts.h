// Interrupts in the tests: a child process to receive them, and a way to send one. An
// interrupt cannot be aimed at a test process itself, for it may end it, and on Windows
// only a process with a console of its own can be sent a Ctrl-C. The children also serve
// tests that change the process's standard streams.
#pragma once

#include <optional>
#include <string>

namespace qel::test {

// What a child's body returns when it ran to its end.
inline constexpr int CHILD_SURVIVED = 42;

using ChildBody = int (*)();

// Names a body for run_child; called at static initialisation (the result is only for that).
bool register_child_body(const std::string& name, ChildBody body);

struct ChildEnd {
  std::optional<int> exit_code;  // none: ended by a signal
  bool operator==(const ChildEnd&) const = default;
};

// Runs the body registered as `name` in a child process and tells how it ended: the body's
// result as its exit code, unless the child ended otherwise. On POSIX the child starts with
// the system's default handling of SIGINT and SIGTERM; on Windows it has a console of its own
// (without a window).
ChildEnd run_child(const std::string& name);

// Interrupts the calling process: SIGINT or SIGTERM on POSIX; Ctrl-C or Ctrl-Break on the
// console on Windows.
enum class InterruptKind { ctrl_c, other };
void interrupt_self(InterruptKind kind);

// The body registered as `name`, for the children's own start.
ChildBody child_body(const std::string& name);

}  // namespace qel::test
