// Child processes on POSIX: captured output, fed input, and detached handlers.
//
// The program may have upload threads running, so between fork and exec the child calls
// only async-signal-safe functions; everything it needs is prepared before the fork.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

extern char** environ;

namespace qel::platform {
namespace {

// Closes a descriptor on every way out.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

bool make_pipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read = Fd(fds[0]);
  p.write = Fd(fds[1]);
  return true;
}

bool is_executable_file(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A bare name is looked up in the absolute folders of PATH; an empty or relative entry
// would mean the current folder, which is never searched. A name with a slash is a path.
std::optional<std::string> find_program(const std::string& name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return name;
  const char* path_var = std::getenv("PATH");
  const std::string_view dirs = path_var != nullptr ? path_var : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string_view::npos) end = dirs.size();
    const std::string_view dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir.front() == '/') {
      std::string candidate(dir);
      if (candidate.back() != '/') candidate += '/';
      candidate += name;
      if (is_executable_file(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// The program's path and its argument vector, ready before the fork. None when the
// program is not found or an argument holds a NUL, which no argument vector can carry.
struct Prepared {
  std::string path;
  std::vector<std::string> storage;
  std::vector<char*> argv;
};

std::optional<Prepared> prepare(const Command& command) {
  auto path = find_program(command.program);
  if (!path) return std::nullopt;
  Prepared p;
  p.path = std::move(*path);
  p.storage.push_back(command.program);
  for (const auto& arg : command.args) {
    if (arg.find('\0') != std::string::npos) return std::nullopt;
    p.storage.push_back(arg);
  }
  if (p.path.find('\0') != std::string::npos) return std::nullopt;
  for (auto& s : p.storage) p.argv.push_back(s.data());
  p.argv.push_back(nullptr);
  return p;
}

[[noreturn]] void report_and_exit(int status_fd, int error) {
  while (::write(status_fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// Child side: standard streams in place, signals as a fresh program expects them. Yields
// the status descriptor, moved above 2 like the others so that no dup2 overwrites it (a
// parent started with closed standard streams may have handed out 0, 1 or 2).
int child_setup(int in_fd, int out_fd, int err_fd, int status_fd) {
  const int status = ::fcntl(status_fd, F_DUPFD_CLOEXEC, 3);
  if (status < 0) report_and_exit(status_fd, errno);
  // SIGPIPE is ignored by this program; an ignored signal would stay ignored across exec.
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int src[3] = {::fcntl(in_fd, F_DUPFD_CLOEXEC, 3), ::fcntl(out_fd, F_DUPFD_CLOEXEC, 3),
                      ::fcntl(err_fd, F_DUPFD_CLOEXEC, 3)};
  for (int target = 0; target < 3; ++target) {
    if (src[target] < 0 || ::dup2(src[target], target) < 0) report_and_exit(status, errno);
  }
  return status;
}

// Reads the child's report from the close-on-exec status pipe: end of file means exec
// succeeded, an error number means it did not.
bool exec_succeeded(int status_fd) {
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(status_fd, &error, sizeof error);
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

std::optional<int> wait_child(pid_t pid) {
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return std::nullopt;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return std::nullopt;
}

// Starts the program with the given standard streams. `detach` puts it in a new session
// as the grandchild of a short-lived middle process, so it is never left as a zombie and
// never waited for. Yields the child to wait for (the middle process when detached).
std::optional<pid_t> start(const Prepared& p, int in_fd, int out_fd, int err_fd, bool detach) {
  Pipe status;
  if (!make_pipe(status)) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    const int status_fd = child_setup(in_fd, out_fd, err_fd, status.write.get());
    if (detach) {
      ::setsid();
      const pid_t grandchild = ::fork();
      if (grandchild < 0) report_and_exit(status_fd, errno);
      if (grandchild > 0) ::_exit(0);
    }
    ::execve(p.path.c_str(), p.argv.data(), environ);
    report_and_exit(status_fd, errno);
  }
  status.write.reset();
  if (!exec_succeeded(status.read.get())) {
    wait_child(pid);
    return std::nullopt;
  }
  return pid;
}

Fd open_null(int flags) { return Fd(::open("/dev/null", flags | O_CLOEXEC)); }

}  // namespace

std::optional<std::string> run_capture(const Command& command) {
  const auto p = prepare(command);
  if (!p) return std::nullopt;
  Fd null_in = open_null(O_RDONLY);
  Fd null_out = open_null(O_WRONLY);
  Pipe out;
  if (null_in.get() < 0 || null_out.get() < 0 || !make_pipe(out)) return std::nullopt;
  const auto pid = start(*p, null_in.get(), out.write.get(), null_out.get(), false);
  out.write.reset();
  if (!pid) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(out.read.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  out.read.reset();
  if (!wait_child(*pid)) return std::nullopt;
  return text;
}

std::optional<int> run_with_input(const Command& command, std::string_view input) {
  const auto p = prepare(command);
  if (!p) return std::nullopt;
  Fd null_out = open_null(O_WRONLY);
  Pipe in;
  if (null_out.get() < 0 || !make_pipe(in)) return std::nullopt;
  const auto pid = start(*p, in.read.get(), null_out.get(), null_out.get(), false);
  in.read.reset();
  if (!pid) return std::nullopt;
  // A child that stops reading early makes the write fail with EPIPE (SIGPIPE is
  // ignored); its exit code still tells the caller how it went.
  while (!input.empty()) {
    const ssize_t n = ::write(in.write.get(), input.data(), input.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    input.remove_prefix(static_cast<std::size_t>(n));
  }
  in.write.reset();
  return wait_child(*pid);
}

bool spawn_detached(const Command& command) {
  const auto p = prepare(command);
  if (!p) return false;
  Fd null_in = open_null(O_RDONLY);
  Fd null_out = open_null(O_WRONLY);
  if (null_in.get() < 0 || null_out.get() < 0) return false;
  const auto middle = start(*p, null_in.get(), null_out.get(), null_out.get(), true);
  if (!middle) return false;
  wait_child(*middle);  // the middle process ends at once; its grandchild runs on
  return true;
}

Command url_opener() {
#if defined(__APPLE__)
  return {"open", {}};
#else
  return {"xdg-open", {}};
#endif
}

}  // namespace qel::platform
