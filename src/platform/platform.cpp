// The seam's functions that are built from its other functions, the same on every system.
#include "platform/platform.h"

namespace qel::platform {

std::optional<std::string> env_text(const char* name) {
  EnvVar var = get_env(name);
  if (var.state != EnvVar::State::set) return std::nullopt;
  return std::move(var.value);
}

Result<std::vector<FolderEntry>> list_folder(const fs::path& folder) {
  auto opened = Folder::open(folder);
  if (!opened) return fail(std::move(opened).error());
  return opened->entries();
}

}  // namespace qel::platform
