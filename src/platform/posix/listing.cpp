// Placeholder until file listing and reading land.
#include "platform/platform.h"

namespace qel::platform {

Result<FileMeta> stat_path(const fs::path&) { return fail("not available yet"); }
Result<std::vector<FolderEntry>> list_folder(const fs::path&) { return fail("not available yet"); }
std::optional<fs::path> canonical_folder(const fs::path&) { return std::nullopt; }
InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
InputFile& InputFile::operator=(InputFile&& other) noexcept {
  std::swap(handle_, other.handle_);
  return *this;
}
InputFile::~InputFile() = default;
Result<InputFile> InputFile::open(const fs::path&) { return fail("not available yet"); }
Status InputFile::seek(std::uint64_t) { return fail("not available yet"); }
Status InputFile::read_exact(unsigned char*, std::size_t) { return fail("not available yet"); }
Status random_fill(unsigned char*, std::size_t) { return fail("not available yet"); }

}  // namespace qel::platform
