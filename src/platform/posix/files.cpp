// Files, folders and error texts on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "platform/platform.h"

namespace qel::platform {

std::string system_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::string last_error_text() { return system_error_text(errno); }

std::string path_text(const fs::path& path) { return utf8_lossy(path.native()); }

std::string name_bytes(const fs::path& name) { return name.native(); }

fs::path path_from_text(std::string_view text) { return fs::path(std::string(text)); }

std::optional<fs::path> roaming_app_data() {
  // The XDG base directory rules: an absolute XDG_CONFIG_HOME, else ~/.config. Both are
  // taken as bytes, as paths are on POSIX, valid UTF-8 or not.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return fs::path(xdg);
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return fs::path(home) / ".config";
  return std::nullopt;
}

Status create_folders(const fs::path& folder, bool private_access) {
  // Walk down from the first missing ancestor, creating each level.
  std::vector<fs::path> missing;
  for (fs::path p = folder; !p.empty(); p = p.parent_path()) {
    struct stat st{};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return fail(system_error_text(ENOTDIR));
      break;
    }
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), private_access ? 0700 : 0777) != 0 && errno != EEXIST) {
      return fail(last_error_text());
    }
  }
  return {};
}

Status write_file(const fs::path& path, std::string_view bytes, bool private_access) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        private_access ? 0600 : 0666);
  if (fd < 0) return fail(last_error_text());
  // A file that holds a credential stays the user's alone, also when it existed before.
  if (private_access) ::fchmod(fd, 0600);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(fd);
      return fail(system_error_text(code));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0) return fail(last_error_text());
  return {};
}

Status replace_file(const fs::path& path, std::string_view bytes) {
  // The new content goes to a file of its own beside the old one, which mkostemp makes the
  // user's alone, and takes the old one's place by rename only once all of it is on the
  // disk: a failed write (a full disk) leaves the old file whole.
  const fs::path folder = path.parent_path();
  std::string temp = (folder / ("." + path.filename().native() + ".XXXXXX")).native();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail(last_error_text());
  ::fchmod(fd, 0600);  // exactly, whatever the umask
  int code = 0;
  while (code == 0 && !bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) code = errno;
    if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (code == 0 && ::fsync(fd) != 0) code = errno;
  if (::close(fd) != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(temp.c_str(), path.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(temp.c_str());
    return fail(system_error_text(code));
  }
  // The folder's new entry reaches the disk too; the file is in place whatever this gives.
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

Result<std::string> read_file(const fs::path& path, std::size_t max_size) {
  // Opened without blocking, so a FIFO without a writer cannot hold the program up; a link to
  // a regular file, or a path through a linked folder, still reads.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(last_error_text());
  const auto failed = [fd](std::string error) {
    ::close(fd);
    return fail(std::move(error));
  };
  struct stat st{};
  if (::fstat(fd, &st) != 0) return failed(last_error_text());
  if (S_ISDIR(st.st_mode)) return failed(system_error_text(EISDIR));
  if (!S_ISREG(st.st_mode)) return failed("not a regular file");
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return failed(last_error_text());
  }
  const std::string too_large = "the file is larger than " + std::to_string(max_size) + " bytes";
  if (static_cast<std::uintmax_t>(st.st_size) > max_size) return failed(too_large);
  // The size can change while the file is read, and some files report none: the reading
  // itself stops one byte past the bound.
  std::string content;
  char buffer[65536];
  for (;;) {
    const std::size_t left = max_size - content.size();  // never more than the bound here
    const ssize_t n = ::read(fd, buffer, left < sizeof buffer ? left + 1 : sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(last_error_text());
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    if (content.size() > max_size) return failed(too_large);
  }
  ::close(fd);
  return content;
}

bool path_exists(const fs::path& path, bool follow) {
  struct stat st{};
  return (follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0;
}

Status remove_file(const fs::path& path) {
  // Unlinking ignores the file's own permission bits, so a read-only file goes too.
  if (::unlink(path.c_str()) != 0) return fail(last_error_text());
  return {};
}

}  // namespace qel::platform
