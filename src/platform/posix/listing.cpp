// Metadata, folder listings and canonical folder names on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/long_path.h"

namespace qel::platform {
namespace {

EntryKind kind_of(const struct stat& st) {
  if (S_ISLNK(st.st_mode)) return EntryKind::link;
  if (S_ISDIR(st.st_mode)) return EntryKind::folder;
  return EntryKind::file;
}

std::uint64_t size_of(const struct stat& st) {
  // Only regular files have a size to send; a device, pipe or socket counts as empty and
  // is therefore never read.
  return S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
}

struct DirClose {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

Result<FileMeta> stat_path(const fs::path& path) {
  struct stat st{};
  if (path.native().size() < PATH_MAX) {
    if (::stat(path.c_str(), &st) != 0) return fail(last_error_text());
  } else {
    const int fd = posix::open_path(path.native(), O_PATH);
    if (fd < 0) return fail(last_error_text());
    const int rc = ::fstat(fd, &st);
    const int code = errno;
    ::close(fd);
    if (rc != 0) return fail(system_error_text(code));
  }
  return FileMeta{kind_of(st), size_of(st)};
}

// An open folder is its descriptor; sub-folders open relative to it.
struct Folder::State {
  explicit State(int fd) : fd(fd) {}
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { ::close(fd); }
  int fd;
};

Folder::Folder() = default;
Folder::Folder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;
Folder::~Folder() = default;

Result<Folder> Folder::open(const fs::path& path) {
  const int fd = posix::open_path(path.native(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return fail(last_error_text());
  return Folder(std::make_unique<State>(fd));
}

Result<Folder> Folder::open_child(const fs::path& name) const {
  const int fd = ::openat(state_->fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return fail(last_error_text());
  return Folder(std::make_unique<State>(fd));
}

Result<std::vector<FolderEntry>> Folder::entries() const {
  // The stream gets its own descriptor, so this folder stays usable for open_child.
  const int fd = ::openat(state_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(last_error_text());
  std::unique_ptr<DIR, DirClose> dir(::fdopendir(fd));
  if (!dir) {
    const int code = errno;
    ::close(fd);
    return fail(system_error_text(code));
  }
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;  // the end, or a failure that ends the listing here
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat st{};
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Gone since the listing named it: as if it had not been there.
      if (errno == ENOENT) continue;
      // Without search permission no entry can be examined (nor read later): the folder
      // cannot be walked, which is reported rather than passed over as empty.
      return fail(last_error_text());
    }
    entries.push_back(FolderEntry{fs::path(name), kind_of(st), size_of(st)});
  }
  return entries;
}

std::optional<fs::path> canonical_folder(const fs::path& folder) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::nullopt;
  return fs::path(resolved.get());
}

}  // namespace qel::platform
