// The few things the test helpers need from the system itself. Each platform has its own
// implementation (support/posix, support/windows), chosen by the build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace qel::test::system {

// An environment variable as the platform's own API sees it (GetEnvironmentVariableW on
// Windows), in its lossless text form: bytes on POSIX, WTF-8 on Windows. None when unset.
std::optional<std::string> get_env(const std::string& name);
// Sets it (an empty value included) or, given none, removes it.
void put_env(const std::string& name, const std::optional<std::string>& value);

// True when the tests run in Wine rather than on Windows itself.
bool under_wine();

// For a child process of the tests (support/interrupts.h) only: standard error becomes a
// terminal `columns` wide (POSIX: a new pseudo-terminal; Windows: the child's own console),
// or the null device. False when that cannot be done.
bool stderr_to_terminal(int columns);
bool stderr_to_null();

// For its lifetime, the process's standard input reads from `file`.
class StdinFromFile {
 public:
  explicit StdinFromFile(const std::filesystem::path& file);
  ~StdinFromFile();
  StdinFromFile(const StdinFromFile&) = delete;
  StdinFromFile& operator=(const StdinFromFile&) = delete;

 private:
  std::intptr_t saved_ = -1;
  std::intptr_t opened_ = -1;
};

// For its lifetime, standard output or standard error writes into a pipe: one whose other end
// this object reads (`taken`), or, with `reader_gone`, one whose reading end is closed, so
// that every write to it fails.
class StreamIntoPipe {
 public:
  enum class Stream { output, error };
  StreamIntoPipe(Stream stream, bool reader_gone);
  ~StreamIntoPipe();
  StreamIntoPipe(const StreamIntoPipe&) = delete;
  StreamIntoPipe& operator=(const StreamIntoPipe&) = delete;

  // What was written so far (no more than the pipe holds).
  std::string taken();

 private:
  Stream stream_;
  std::intptr_t saved_ = -1;
  std::intptr_t reader_ = -1;
  std::intptr_t writer_ = -1;
};

// A file system of 64 KiB mounted on `folder` for its lifetime, where the system lets a test
// mount one (POSIX, as root); otherwise `why_not` says why there is none.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::filesystem::path& folder);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return why_not_.empty(); }
  const std::string& why_not() const { return why_not_; }

 private:
  std::filesystem::path folder_;
  std::string why_not_;
};

// A pipe that a path names and nobody ever writes into: a FIFO in `folder` on POSIX, a named
// pipe of this process on Windows. A reader that waits for its data waits for ever.
class IdlePipe {
 public:
  explicit IdlePipe(const std::filesystem::path& folder);
  ~IdlePipe();
  IdlePipe(const IdlePipe&) = delete;
  IdlePipe& operator=(const IdlePipe&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::intptr_t handle_ = -1;  // the pipe's server end on Windows
};

}  // namespace qel::test::system
