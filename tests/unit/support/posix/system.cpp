// The test helpers' system calls on POSIX.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/system.h"

namespace qel::test::system {

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void put_env(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

bool under_wine() { return false; }

bool stderr_to_terminal(int columns) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
  const char* name = ::ptsname(master);
  const int terminal = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY) : -1;
  if (terminal < 0) return false;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  // The master stays open (and is never read): the child writes little.
  return ::ioctl(terminal, TIOCSWINSZ, &size) == 0 && ::dup2(terminal, STDERR_FILENO) >= 0;
}

bool stderr_to_null() {
  const int null = ::open("/dev/null", O_WRONLY);
  return null >= 0 && ::dup2(null, STDERR_FILENO) >= 0;
}

namespace {

int descriptor(StreamIntoPipe::Stream stream) {
  return stream == StreamIntoPipe::Stream::output ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

StreamIntoPipe::StreamIntoPipe(Stream stream, bool reader_gone) : stream_(stream) {
  int ends[2];
  std::fflush(stream == Stream::output ? stdout : stderr);
  if (::pipe(ends) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
  saved_ = ::dup(descriptor(stream));
  ::dup2(ends[1], descriptor(stream));
  ::close(ends[1]);
  if (reader_gone) {
    ::close(ends[0]);
  } else {
    reader_ = ends[0];
  }
}

StreamIntoPipe::~StreamIntoPipe() {
  std::fflush(stream_ == Stream::output ? stdout : stderr);
  ::dup2(static_cast<int>(saved_), descriptor(stream_));
  ::close(static_cast<int>(saved_));
  if (reader_ >= 0) ::close(static_cast<int>(reader_));
}

std::string StreamIntoPipe::taken() {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while (reader_ >= 0 && (n = ::read(static_cast<int>(reader_), buffer, sizeof buffer)) > 0) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

SmallFileSystem::SmallFileSystem(const std::filesystem::path& folder) : folder_(folder) {
  // The mount program rather than the call, whose form differs between systems.
  const std::string command =
      "mount -t tmpfs -o size=64k tmpfs '" + folder.string() + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    why_not_ = "\"mount -t tmpfs\" failed: mounting needs root (as CI runs) and a system "
               "with tmpfs";
  }
}

SmallFileSystem::~SmallFileSystem() {
  if (mounted()) {
    const std::string command = "umount -l '" + folder_.string() + "'";
    (void)std::system(command.c_str());
  }
}

IdlePipe::IdlePipe(const std::filesystem::path& folder) : path_(folder / "idle-fifo") {
  if (::mkfifo(path_.c_str(), 0600) != 0) {
    throw std::runtime_error(std::string("mkfifo: ") + std::strerror(errno));
  }
}

IdlePipe::~IdlePipe() { ::unlink(path_.c_str()); }

StdinFromFile::StdinFromFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  saved_ = ::dup(STDIN_FILENO);
  if (fd < 0 || saved_ < 0 || ::dup2(fd, STDIN_FILENO) < 0) {
    throw std::runtime_error(std::string("redirecting standard input: ") + std::strerror(errno));
  }
  opened_ = fd;
}

StdinFromFile::~StdinFromFile() {
  ::dup2(static_cast<int>(saved_), STDIN_FILENO);
  ::close(static_cast<int>(saved_));
  ::close(static_cast<int>(opened_));
}

}  // namespace qel::test::system
