// Children for interrupts on POSIX: a fork that runs the body.
#include "support/interrupts.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace qel::test {

ChildEnd run_child(const std::string& name) {
  const ChildBody body = child_body(name);
  if (body == nullptr) {
    ADD_FAILURE() << "no child body named " << name;
    return {-1};
  }
  const pid_t child = ::fork();
  if (child < 0) {
    ADD_FAILURE() << "cannot fork";
    return {-1};
  }
  if (child == 0) {
    // As a program started from a terminal finds them, whatever the test runner set.
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "cannot wait for the child";
      return {-1};
    }
  }
  if (WIFSIGNALED(status)) return {std::nullopt};
  return {WEXITSTATUS(status)};
}

void interrupt_self(InterruptKind kind) { ::raise(kind == InterruptKind::ctrl_c ? SIGINT : SIGTERM); }

}  // namespace qel::test
