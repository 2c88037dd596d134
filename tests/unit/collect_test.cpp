// Collection of the files of a transfer over real folder trees.
#include "upload/collect.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2ee/e2ee.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using namespace qel;

const std::string TOO_MANY =
    "too many files (a transfer can have at most 100; archive the folder first)";

class Collect : public ::testing::Test {
 protected:
  void SetUp() override {
    unsigned char tag[9];
    ASSERT_TRUE(random_bytes(tag, sizeof tag));
    root_ = fs::temp_directory_path() / ("qel-collect-" + base64url(tag, sizeof tag));
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(root_ / "Locked", fs::perms::owner_all, ec);
    fs::remove_all(root_, ec);
  }

  fs::path file(const fs::path& rel, std::string_view content = "x") {
    const fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  fs::path folder(const fs::path& rel) {
    fs::create_directories(root_ / rel);
    return root_ / rel;
  }

  static std::vector<std::string> names(const std::vector<FileEntry>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.name);
    return out;
  }

  fs::path root_;
};

TEST_F(Collect, SortsByCodePointAndExpandsSubFoldersInPlace) {
  file("Photos/b.jpg", "bb");
  file("Photos/A.txt", "a");
  file("Photos/2024/a.jpg", "aaa");
  file("Photos/B.txt");
  file("Photos/10.txt");
  file("Photos/9.txt");
  file("Photos/z");
  file("Photos/\xc3\xa9");  // é sorts after every ASCII letter
  file("Photos/a.txt");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Photos"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files),
            (std::vector<std::string>{"Photos_10.txt", "Photos_2024_a.jpg", "Photos_9.txt",
                                      "Photos_A.txt", "Photos_B.txt", "Photos_a.txt",
                                      "Photos_b.jpg", "Photos_z", "Photos_\xc3\xa9"}));
  EXPECT_EQ((*files)[1].path, root_ / "Photos" / "2024" / "a.jpg");
  EXPECT_EQ((*files)[1].size, 3u);
  EXPECT_TRUE(warnings.empty());
}

TEST_F(Collect, NamesAndPathsFollowThePathAsNamed) {
  const fs::path a = file("docs/report.pdf", "pdf");
  file("X/a_b/c");
  file("X/a/b_c");
  std::vector<std::string> warnings;
  // A trailing separator gets no second one; a file named twice is sent twice; names that
  // coincide are left as they are.
  auto files = collect_files({a, root_.string() + "/X/", a}, warnings);
  ASSERT_TRUE(files) << files.error();
  ASSERT_EQ(files->size(), 4u);
  EXPECT_EQ(names(*files),
            (std::vector<std::string>{"report.pdf", "X_a_b_c", "X_a_b_c", "report.pdf"}));
  EXPECT_EQ((*files)[0].path, a);
  EXPECT_EQ((*files)[1].path.native(), root_.string() + "/X/a/b_c");
  EXPECT_EQ((*files)[2].path.native(), root_.string() + "/X/a_b/c");
  EXPECT_EQ((*files)[0].size, 3u);
}

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

TEST_F(Collect, DotTakesTheCurrentFoldersName) {
  file("Current/here.txt");
  const fs::path before = fs::current_path();
  fs::current_path(root_ / "Current");
  std::vector<std::string> warnings;
  auto files = collect_files({"."}, warnings);
  fs::current_path(before);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files), std::vector<std::string>{"Current_here.txt"});
  EXPECT_EQ((*files)[0].path, fs::path("./here.txt"));
}

// Every level keeps a sub-folder for later while the walk goes deeper first, more levels
// than the walk keeps open at once; the folders it had to close are found again.
TEST_F(Collect, ManyLevelsWithSubFoldersStillToCome) {
  constexpr int LEVELS = 45;
  fs::path level = "Comb";
  std::vector<std::string> expected;
  std::string prefix = "Comb";
  for (int k = 0; k < LEVELS; ++k) {
    file(level / "b" / "f");
    expected.insert(expected.begin(), prefix + "_b_f");
    level /= "a";
    prefix += "_a";
  }
  folder(level);
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Comb"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files), expected);
  for (const auto& f : *files) EXPECT_TRUE(fs::is_regular_file(f.path)) << f.path;
}

TEST_F(Collect, NamesThatAreNotUtf8) {
  file("Raw/\xff.bin", "1");
  file("Raw/z.bin", "2");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Raw"}, warnings);
  ASSERT_TRUE(files) << files.error();
  // Sorted by the stored bytes; shown with the bad byte replaced, read from the raw path.
  EXPECT_EQ(names(*files), (std::vector<std::string>{"Raw_z.bin", "Raw_\xef\xbf\xbd.bin"}));
  EXPECT_EQ((*files)[1].path.native(), (root_ / "Raw").native() + "/\xff.bin");
}

TEST_F(Collect, LimitOfOneHundredFiles) {
  for (int i = 0; i < 100; ++i) file("Hundred/f" + std::to_string(1000 + i));
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Hundred"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(files->size(), 100u);

  // The 101st file of a walk ends it at once, with the text without a count.
  file("Hundred/f1100");
  file("Hundred/g/nested");
  files = collect_files({root_ / "Hundred", root_ / "missing"}, warnings);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(), TOO_MANY);

  // Files named directly are counted at the end, after every path was looked at.
  std::vector<fs::path> paths;
  for (int i = 0; i < 150; ++i) paths.push_back(root_ / "Hundred" / ("f" + std::to_string(1000 + i % 100)));
  files = collect_files(paths, warnings);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(),
            "too many files: 150 (a transfer can have at most 100; archive the folder first)");
  EXPECT_TRUE(warnings.empty());
}

TEST_F(Collect, WalkAfterTooManyNamedFilesFailsAtItsFirstEntryThatIsNotALink) {
  std::vector<fs::path> paths;
  for (int i = 0; i < 101; ++i) paths.push_back(file("many/f" + std::to_string(i)));
  const fs::path target = file("t", "t");
  struct Case {
    const char* name;
    std::string expected;
    std::size_t warnings;
  };
  folder("EmptySub/sub");
  file("EmptyFile/e", "");
  folder("OnlyLinks");
  fs::create_symlink(target, root_ / "OnlyLinks" / "l1");
  fs::create_symlink(target, root_ / "OnlyLinks" / "l2");
  const Case cases[] = {
      {"EmptySub", TOO_MANY, 0},
      {"EmptyFile", TOO_MANY, 1},
      {"OnlyLinks",
       "too many files: 101 (a transfer can have at most 100; archive the folder first)", 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> warnings;
    std::vector<fs::path> all = paths;
    all.push_back(root_ / c.name);
    auto files = collect_files(all, warnings);
    ASSERT_FALSE(files) << c.name;
    EXPECT_EQ(files.error(), c.expected) << c.name;
    EXPECT_EQ(warnings.size(), c.warnings) << c.name;
  }
}

TEST_F(Collect, FailuresNameThePath) {
  file("ok.txt");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "ok.txt", root_ / "nope"}, warnings);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(),
            (root_ / "nope").string() + ": No such file or directory (os error 2)");

  file("Outer/Locked/secret");
  file("Outer/a.txt");
  fs::permissions(root_ / "Outer" / "Locked", fs::perms::none);
  if (platform::list_folder(root_ / "Outer" / "Locked")) {
    fs::permissions(root_ / "Outer" / "Locked", fs::perms::owner_all);
    GTEST_SKIP() << "permissions are not enforced for this user";
  }
  files = collect_files({root_ / "Outer"}, warnings);
  fs::permissions(root_ / "Outer" / "Locked", fs::perms::owner_all);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(),
            (root_ / "Outer" / "Locked").string() + ": Permission denied (os error 13)");
}

TEST_F(Collect, WalkOfSomethingThatIsNoFolderFailsWithItsPath) {
  const fs::path p = file("plain.txt");
  std::vector<FileEntry> files;
  std::vector<std::string> warnings;
  const auto walked = walk_folder(p, "plain", files, warnings);
  ASSERT_FALSE(walked);
  EXPECT_EQ(walked.error(), p.string() + ": Not a directory (os error 20)");
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

// A folder nested far deeper than both the call stack and the path length limit allow
// a recursive, path-based walk to go. Built in memory-backed storage when there is some:
// on a disk each of the 100,000 levels costs a journal write.
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

TEST_F(Collect, InputFileReadsExactlyOrSaysWhy) {
  const fs::path p = file("data.bin", "0123456789");
  auto input = platform::InputFile::open(p);
  ASSERT_TRUE(input) << input.error();
  unsigned char buf[8];
  ASSERT_TRUE(input->seek(6));
  ASSERT_TRUE(input->read_exact(buf, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "6789");
  ASSERT_TRUE(input->seek(4));
  const auto short_read = input->read_exact(buf, 8);
  ASSERT_FALSE(short_read);
  EXPECT_EQ(short_read.error(), "failed to fill whole buffer");

  auto missing = platform::InputFile::open(root_ / "missing.bin");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

}  // namespace
