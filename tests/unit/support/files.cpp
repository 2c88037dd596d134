#include "support/files.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/platform.h"

namespace qel::test {

void write_file(const fs::path& path, std::string_view bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + platform::path_text(path));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TempFolder::TempFolder() {
  static std::mt19937_64 names{std::random_device{}()};
  const fs::path base = fs::temp_directory_path();
  // A name nobody else holds: create_directory reports whether this call made it.
  do {
    path_ = base / ("qel-test-" + std::to_string(names()));
  } while (!fs::create_directory(path_));
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace);
}

TempFolder::~TempFolder() { remove_tree(path_); }

fs::path TempFolder::write(std::string_view relative_text, std::string_view bytes) const {
  return write_at(platform::path_from_text(relative_text), bytes);
}

fs::path TempFolder::write_at(const fs::path& relative, std::string_view bytes) const {
  const fs::path file = path_ / relative;
  write_file(file, bytes);
  return file;
}

fs::path TempFolder::folder(std::string_view relative_text) const {
  const fs::path made = path_ / platform::path_from_text(relative_text);
  fs::create_directories(made);
  return made;
}

namespace {

// Read and write access back on every folder and file below `folder`, the folder first so
// that its entries can be listed.
void give_access_back(const fs::path& folder) {
  std::error_code ec;
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ec);
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const auto status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) {
      give_access_back(it->path());
    } else if (!fs::is_symlink(status)) {
      fs::permissions(it->path(), fs::perms::owner_read | fs::perms::owner_write,
                      fs::perm_options::add, ec);
    }
  }
}

}  // namespace

void remove_tree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (!ec) return;
  give_access_back(path);
  fs::remove_all(path, ec);
}

}  // namespace qel::test
