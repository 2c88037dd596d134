// A temporary tree of files and folders to collect, shared by the portable and the
// system-specific collection tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/files.h"
#include "upload/collect.h"

namespace qel::test {

inline const std::string TOO_MANY =
    "too many files (a transfer can have at most 100; archive the folder first)";

class Collect : public ::testing::Test {
 protected:
  // `relative` is text with "/" between its parts.
  fs::path file(std::string_view relative, std::string_view content = "x") {
    return folder_.write(relative, content);
  }
  fs::path file_at(const fs::path& relative, std::string_view content = "x") {
    return folder_.write_at(relative, content);
  }
  fs::path folder(std::string_view relative) { return folder_.folder(relative); }

  static std::vector<std::string> names(const std::vector<FileEntry>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.name);
    return out;
  }

  TempFolder folder_;
  const fs::path root_ = folder_.path();
};

}  // namespace qel::test
