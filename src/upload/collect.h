// Turns the paths a person named into the flat list of files of one transfer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/result.h"
#include "platform/platform.h"

namespace qel {

struct FileEntry {
  std::filesystem::path path;
  std::string name;
  std::uint64_t size = 0;
};

inline constexpr std::size_t MAX_FILES = 100;

Result<std::vector<FileEntry>> collect_files(const std::vector<std::filesystem::path>& paths,
                                             std::vector<std::string>& warnings);

Status walk_folder(const std::filesystem::path& folder, const std::string& prefix,
                   std::vector<FileEntry>& files, std::vector<std::string>& warnings);

void add_file(std::vector<FileEntry>& files, std::filesystem::path path, std::string name,
              std::uint64_t size, std::vector<std::string>& warnings);

// The sum of the files' sizes, as the summary line and the progress bar show it.
std::uint64_t total_size(const std::vector<FileEntry>& files);

bool compare_entry_names(const platform::FolderEntry& a, const platform::FolderEntry& b);

}  // namespace qel
