// Collection over what only POSIX systems let a test make: symbolic links, folders
// without access, and a tree deeper than any path can name.
#include "upload/collect.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "collect_fixture.h"
#include "e2ee/e2ee.h"
#include "platform/platform.h"

namespace qel::test {
namespace {

TEST_F(Collect, LinksAndEmptyFilesAreSkippedWithWarnings) {
  const fs::path target = file("target.txt", "data");
  folder("Mixed/empty-sub");
  file("Mixed/empty.txt", "");
  fs::create_symlink(target, root_ / "Mixed" / "link.txt");
  fs::create_directory_symlink(root_ / "Mixed" / "empty-sub", root_ / "Mixed" / "dirlink");
  fs::create_symlink(root_ / "missing", root_ / "Mixed" / "dangling");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Mixed"}, warnings);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(), "no files to send");
  const std::string m = (root_ / "Mixed").string() + "/";
  EXPECT_EQ(warnings, (std::vector<std::string>{"skipped symbolic link: " + m + "dangling",
                                                "skipped symbolic link: " + m + "dirlink",
                                                "skipped empty file: " + m + "empty.txt",
                                                "skipped symbolic link: " + m + "link.txt"}));

  // An empty file named directly is skipped under the path as named; a link named
  // directly is followed.
  warnings.clear();
  const fs::path empty = file("alone.txt", "");
  files = collect_files({empty, root_ / "Mixed" / "link.txt"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files), std::vector<std::string>{"link.txt"});
  EXPECT_EQ((*files)[0].size, 4u);
  EXPECT_EQ(warnings, std::vector<std::string>{"skipped empty file: " + empty.string()});
}

TEST_F(Collect, FolderNamedThroughALinkTakesTheTargetsName) {
  file("Real/inner.txt");
  fs::create_directory_symlink(root_ / "Real", root_ / "Alias");
  fs::create_directory_symlink(root_ / "Real", root_ / "Real" / "loop");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Alias"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files), std::vector<std::string>{"Real_inner.txt"});
  EXPECT_EQ((*files)[0].path, root_ / "Alias" / "inner.txt");
  EXPECT_EQ(warnings, std::vector<std::string>{"skipped symbolic link: " +
                                               (root_ / "Alias" / "loop").string()});
}

TEST_F(Collect, WalkAfterTooManyNamedFilesPassesOverLinks) {
  std::vector<fs::path> paths;
  for (int i = 0; i < 101; ++i) paths.push_back(file("many/f" + std::to_string(i)));
  const fs::path target = file("t", "t");
  folder("OnlyLinks");
  fs::create_symlink(target, root_ / "OnlyLinks" / "l1");
  fs::create_symlink(target, root_ / "OnlyLinks" / "l2");
  std::vector<std::string> warnings;
  paths.push_back(root_ / "OnlyLinks");
  auto files = collect_files(paths, warnings);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(),
            "too many files: 101 (a transfer can have at most 100; archive the folder first)");
  EXPECT_EQ(warnings.size(), 2u);
}

TEST_F(Collect, AFolderThatCannotBeListedFailsWithItsPath) {
  std::vector<std::string> warnings;
  file("Outer/Locked/secret");
  file("Outer/a.txt");
  fs::permissions(root_ / "Outer" / "Locked", fs::perms::none);
  if (platform::list_folder(root_ / "Outer" / "Locked")) {
    fs::permissions(root_ / "Outer" / "Locked", fs::perms::owner_all);
    GTEST_SKIP() << "permissions are not enforced for this user";
  }
  auto files = collect_files({root_ / "Outer"}, warnings);
  fs::permissions(root_ / "Outer" / "Locked", fs::perms::owner_all);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(),
            (root_ / "Outer" / "Locked").string() + ": Permission denied (os error 13)");
}

TEST_F(Collect, FolderThatCanBeListedButNotSearchedIsAnError) {
  file("Blind/inside.txt");
  fs::permissions(root_ / "Blind", fs::perms::owner_read);
  const bool enforced = !platform::stat_path(root_ / "Blind" / "inside.txt");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Blind"}, warnings);
  fs::permissions(root_ / "Blind", fs::perms::owner_all);
  if (!enforced) GTEST_SKIP() << "permissions are not enforced for this user";
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(), (root_ / "Blind").string() + ": Permission denied (os error 13)");
}

// Removes the deep tree however the test ends: from the top, by lifting each level's
// child into its place, since the whole path is too long for the system and removing
// from the bottom is slow in the kernel.
struct DeepTree {
  fs::path root;
  ~DeepTree() {
    std::error_code ec;
    const fs::path before = fs::current_path(ec);
    fs::current_path(root / "Deep", ec);
    if (ec) return;
    while (fs::exists("d/d", ec)) {
      fs::rename("d/d", "t", ec);
      fs::remove("d", ec);
      fs::rename("t", "d", ec);
      if (ec) break;
    }
    fs::current_path(before, ec);
    fs::remove_all(root, ec);
  }
};

// A folder nested far deeper than both the call stack and the path length limit allow
// a recursive, path-based walk to go. Built in memory-backed storage when there is some:
// on a disk each of the 100,000 levels costs a journal write.
TEST(CollectDeep, FolderNestedOneHundredThousandLevels) {
  constexpr int DEPTH = 100000;
  unsigned char tag[9];
  ASSERT_TRUE(random_bytes(tag, sizeof tag));
  const fs::path shm = "/dev/shm";
  const fs::path base = fs::is_directory(shm) ? shm : fs::temp_directory_path();
  const DeepTree tree{base / ("qel-deep-" + base64url(tag, sizeof tag))};
  const fs::path before = fs::current_path();
  fs::create_directories(tree.root / "Deep");
  fs::current_path(tree.root / "Deep");
  for (int i = 0; i < DEPTH; ++i) {
    fs::create_directory("d");
    fs::current_path("d");
  }
  std::ofstream("bottom.txt", std::ios::binary) << "deep content";
  fs::current_path(before);
  std::ofstream(tree.root / "Deep" / "e.txt") << "after";
  std::ofstream(tree.root / "Deep" / "c.txt") << "before";

  std::vector<std::string> warnings;
  auto files = collect_files({tree.root / "Deep"}, warnings);

  std::string deep_name = "Deep";
  for (int i = 0; i < DEPTH; ++i) deep_name += "_d";
  ASSERT_TRUE(files) << files.error().substr(0, 200);
  ASSERT_EQ(files->size(), 3u);
  EXPECT_EQ((*files)[0].name, "Deep_c.txt");
  EXPECT_TRUE((*files)[1].name == deep_name + "_bottom.txt");
  EXPECT_EQ((*files)[2].name, "Deep_e.txt");
  EXPECT_EQ((*files)[1].path.native().size(),
            (tree.root / "Deep").native().size() + 2 * DEPTH + 11);

  // A worker can read the file behind that long path.
  auto input = platform::InputFile::open((*files)[1].path);
  ASSERT_TRUE(input) << input.error();
  std::string content(12, '\0');
  ASSERT_TRUE(input->read_exact(reinterpret_cast<unsigned char*>(content.data()), 12));
  EXPECT_EQ(content, "deep content");
}

}  // namespace
}  // namespace qel::test
