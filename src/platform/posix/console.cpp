// Console, arguments and standard streams on POSIX.
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "common/text.h"
#include "platform/platform.h"

namespace qel::platform {
namespace {

Status write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(last_error_text());
    if (n == 0) return fail("failed to write whole buffer");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

constexpr char LINE_TOO_LONG[] = "the input line is longer than 1 MiB";

// The line's length without its line end (LF or CR LF).
std::size_t content_size(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line.size();
}

// Reads one line byte by byte so nothing past the line end is consumed. A line longer than
// MAX_LINE_SIZE stops the reading (`too_long`) instead of growing without end.
std::optional<std::string> read_line_fd(int fd, bool& io_error, bool& too_long) {
  std::string line;
  io_error = false;
  too_long = false;
  for (;;) {
    char ch;
    const ssize_t n = ::read(fd, &ch, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) io_error = true;
    if (n <= 0) break;
    line += ch;
    if (ch == '\n') break;
    if (line.size() > MAX_LINE_SIZE + 1) break;  // room for a CR before the LF
  }
  too_long = content_size(line) > MAX_LINE_SIZE;
  if (line.empty()) return std::nullopt;
  return line;
}

std::string strip_line_end(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

Result<std::string> checked_answer(std::optional<std::string> line) {
  std::string answer = strip_line_end(std::move(line).value_or(std::string()));
  if (!is_valid_utf8(answer)) return fail("stream did not contain valid UTF-8");
  return answer;
}

// Restores the terminal modes on every way out, signals included.
struct TerminalEcho {
  static inline int fd = -1;
  static inline termios saved{};
  static inline volatile sig_atomic_t active = 0;

  static void restore() {
    if (active) {
      ::tcsetattr(fd, TCSAFLUSH, &saved);
      active = 0;
    }
  }
  static void on_signal(int sig) {
    restore();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
  }
};

}  // namespace

void init_process() {
  // Writes to a closed pipe must fail with EPIPE instead of ending the program.
  ::signal(SIGPIPE, SIG_IGN);
#if defined(__GLIBC__)
  // The upload workers allocate little besides their one chunk buffer; a single malloc
  // arena lets them reuse each other's freed request buffers instead of every thread
  // keeping its own (about half a megabyte per worker otherwise).
  ::mallopt(M_ARENA_MAX, 1);
#endif
}

std::vector<std::string> process_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  // Started with an empty argument list: the running program's own path names it.
  if (args.empty()) {
    auto self = executable_path();
    args.emplace_back(self ? self->string() : std::string("qel"));
  }
  return args;
}

std::string_view os_name() {
#if defined(__APPLE__)
  return "macos";
#else
  return "linux";
#endif
}

std::string_view os_display_name() {
#if defined(__APPLE__)
  return "macOS";
#else
  return "Linux";
#endif
}

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }
bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

// POSIX has no console of the program's own: a start without a subcommand prints the help.
bool is_own_console() { return false; }

// A closed pipe or a full disk: dropped, never fatal.
void write_stdout(std::string_view text) { (void)write_stdout_checked(text); }
void write_stderr(std::string_view text) { (void)write_stderr_checked(text); }

Status write_stdout_checked(std::string_view text) {
  std::fflush(stdout);
  return write_all(STDOUT_FILENO, text);
}

Status write_stderr_checked(std::string_view text) { return write_all(STDERR_FILENO, text); }

std::optional<std::string> read_stdin_line() {
  bool io_error, too_long;
  auto line = read_line_fd(STDIN_FILENO, io_error, too_long);
  if (io_error || too_long) return std::nullopt;
  return line;
}

Result<std::string> read_secret(std::string_view prompt) {
  if (!stdin_is_terminal()) {
    bool io_error, too_long;
    auto line = read_line_fd(STDIN_FILENO, io_error, too_long);
    if (io_error) return fail(last_error_text());
    if (too_long) return fail(LINE_TOO_LONG);
    return checked_answer(std::move(line));
  }

  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return fail(last_error_text());
  (void)write_all(fd, prompt);  // an answer can be typed without it

  termios modes{};
  const bool have_modes = ::tcgetattr(fd, &modes) == 0;
  struct sigaction old_int{}, old_term{}, old_hup{}, old_quit{};
  if (have_modes) {
    TerminalEcho::fd = fd;
    TerminalEcho::saved = modes;
    struct sigaction sa{};
    sa.sa_handler = TerminalEcho::on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &old_int);
    ::sigaction(SIGTERM, &sa, &old_term);
    ::sigaction(SIGHUP, &sa, &old_hup);
    ::sigaction(SIGQUIT, &sa, &old_quit);
    termios silent = modes;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    TerminalEcho::active = 1;
    ::tcsetattr(fd, TCSAFLUSH, &silent);
  }

  bool io_error, too_long;
  auto line = read_line_fd(fd, io_error, too_long);
  const int saved_errno = errno;

  if (have_modes) {
    TerminalEcho::restore();
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGTERM, &old_term, nullptr);
    ::sigaction(SIGHUP, &old_hup, nullptr);
    ::sigaction(SIGQUIT, &old_quit, nullptr);
  }
  ::close(fd);

  if (io_error) return fail(system_error_text(saved_errno));
  if (too_long) return fail(LINE_TOO_LONG);
  return checked_answer(std::move(line));
}

}  // namespace qel::platform
