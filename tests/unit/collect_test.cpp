// Collection of the files of a transfer over real folder trees.
#include "upload/collect.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect_fixture.h"
#include "platform/platform.h"
#include "support/build.h"
#include "support/system.h"

namespace qel::test {
namespace {

TEST_F(Collect, SortsByCodePointAndExpandsSubFoldersInPlace) {
  file("Photos/b.jpg", "bb");
  file("Photos/A.txt", "a");
  file("Photos/2024/a.jpg", "aaa");
  file("Photos/B.txt");
  file("Photos/10.txt");
  file("Photos/9.txt");
  file("Photos/z");
  file("Photos/\xc3\xa9");  // é sorts after every ASCII letter
  file("Photos/a.md");      // not "a.txt": on Windows that is the same file as "A.txt"
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Photos"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files),
            (std::vector<std::string>{"Photos_10.txt", "Photos_2024_a.jpg", "Photos_9.txt",
                                      "Photos_A.txt", "Photos_B.txt", "Photos_a.md",
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
  // coincide are left as they are. Below the path as named, the platform's separator.
  const std::string root = platform::name_bytes(root_);
  const std::string sep(build::separator);
  auto files = collect_files({a, platform::path_from_text(root + "/X/"), a}, warnings);
  ASSERT_TRUE(files) << files.error();
  ASSERT_EQ(files->size(), 4u);
  EXPECT_EQ(names(*files),
            (std::vector<std::string>{"report.pdf", "X_a_b_c", "X_a_b_c", "report.pdf"}));
  EXPECT_EQ((*files)[0].path, a);
  EXPECT_EQ(platform::name_bytes((*files)[1].path), root + "/X/a" + sep + "b_c");
  EXPECT_EQ(platform::name_bytes((*files)[2].path), root + "/X/a_b" + sep + "c");
  EXPECT_EQ((*files)[0].size, 3u);
}

TEST_F(Collect, EmptyFilesAreSkippedWithWarnings) {
  folder("Hollow/empty-sub");
  file("Hollow/empty.txt", "");
  file("Hollow/sub/also-empty", "");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Hollow"}, warnings);
  ASSERT_FALSE(files);
  EXPECT_EQ(files.error(), "no files to send");
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "skipped empty file: " + platform::path_text(root_ / "Hollow" / "empty.txt"),
                "skipped empty file: " +
                    platform::path_text(root_ / "Hollow" / "sub" / "also-empty")}));

  // An empty file named directly is skipped under the path as named.
  warnings.clear();
  const fs::path empty = file("alone.txt", "");
  const fs::path full = file("full.txt", "data");
  files = collect_files({empty, full}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files), std::vector<std::string>{"full.txt"});
  EXPECT_EQ((*files)[0].size, 4u);
  EXPECT_EQ(warnings, std::vector<std::string>{"skipped empty file: " + platform::path_text(empty)});
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
    file_at(level / "b" / "f");
    expected.insert(expected.begin(), prefix + "_b_f");
    level /= "a";
    prefix += "_a";
  }
  fs::create_directories(root_ / level);
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Comb"}, warnings);
  ASSERT_TRUE(files) << files.error();
  EXPECT_EQ(names(*files), expected);
  for (const auto& f : *files) EXPECT_TRUE(fs::is_regular_file(f.path)) << f.path;
}

TEST_F(Collect, NamesThatAreNotValidUnicode) {
  if (system::under_wine()) {
    GTEST_SKIP() << "Wine cannot create a file whose name holds an unpaired surrogate";
  }
  const std::string bad = std::string(build::invalid_text) + ".bin";
  const fs::path raw = file("Raw/" + bad, "1");
  file("Raw/z.bin", "2");
  std::vector<std::string> warnings;
  auto files = collect_files({root_ / "Raw"}, warnings);
  ASSERT_TRUE(files) << files.error();
  // Sorted by the stored name's lossless form; shown with U+FFFD, read from the raw path.
  EXPECT_EQ(names(*files), (std::vector<std::string>{"Raw_z.bin", "Raw_\xef\xbf\xbd.bin"}));
  EXPECT_EQ(platform::name_bytes((*files)[1].path), platform::name_bytes(raw));
  EXPECT_EQ((*files)[1].size, 1u);
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
  struct Case {
    const char* name;
    std::string expected;
    std::size_t warnings;
  };
  folder("EmptySub/sub");
  file("EmptyFile/e", "");
  const Case cases[] = {
      {"EmptySub", TOO_MANY, 0},
      {"EmptyFile", TOO_MANY, 1},
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
  EXPECT_EQ(files.error(), platform::path_text(root_ / "nope") + ": " + platform::system_error_text(2));
}

TEST_F(Collect, WalkOfSomethingThatIsNoFolderFailsWithItsPath) {
  const fs::path p = file("plain.txt");
  std::vector<FileEntry> files;
  std::vector<std::string> warnings;
  const auto walked = walk_folder(p, "plain", files, warnings);
  ASSERT_FALSE(walked);
  const auto opened = platform::Folder::open(p);
  ASSERT_FALSE(opened);
  EXPECT_EQ(walked.error(), platform::path_text(p) + ": " + opened.error());
}

}  // namespace
}  // namespace qel::test
