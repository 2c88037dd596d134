// Files for tests: writing and reading given bytes, and a temporary folder of a test's own.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qel::test {

namespace fs = std::filesystem;

// Creates or truncates the file, missing parent folders included, and writes `bytes`
// exactly (no line-end translation).
void write_file(const fs::path& path, std::string_view bytes);
// The file's bytes; empty when it cannot be read.
std::string read_file(const fs::path& path);

// A private folder under the system's temporary folder, removed with everything in it
// when the object goes, read-only entries and folders without access included.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& path() const { return path_; }

  // Writes the file at `relative_text` (text with "/" between its parts, converted as the
  // program converts text to paths) and yields its path.
  fs::path write(std::string_view relative_text, std::string_view bytes = "x") const;
  fs::path write_at(const fs::path& relative, std::string_view bytes = "x") const;
  // Creates the folder at `relative_text` and its parents; yields its path.
  fs::path folder(std::string_view relative_text) const;

 private:
  fs::path path_;
};

// Removes `path` and everything under it, first giving back the access a test took away.
void remove_tree(const fs::path& path);

}  // namespace qel::test
