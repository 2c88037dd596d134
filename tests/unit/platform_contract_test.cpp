// What every implementation of the platform seam (platform/platform.h) must do. The same
// cases run on each build; where the systems differ, the build is a parameter.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/build.h"
#include "support/env.h"
#include "support/files.h"
#include "support/interrupts.h"
#include "support/stand_ins.h"
#include "support/system.h"

namespace qel::test {
namespace {

using platform::EntryKind;

// A system error text: the system's message, then " (os error N)". POSIX texts are exact;
// Windows words its messages differently by version (and Wine), so there the message is
// only required to be there, and the code to be `windows_code` when the case knows it.
::testing::AssertionResult IsSystemError(const std::string& text, const std::string& posix_text,
                                         std::optional<int> windows_code = std::nullopt) {
  if (!build::windows) {
    if (text == posix_text) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" is not \"" << posix_text << "\"";
  }
  const std::size_t at = text.rfind(" (os error ");
  if (at == std::string::npos || at == 0 || !text.ends_with(")")) {
    return ::testing::AssertionFailure() << "\"" << text << "\" is no system error text";
  }
  const std::string code = text.substr(at + 11, text.size() - at - 12);
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (code.empty() || !std::all_of(code.begin(), code.end(), digit)) {
    return ::testing::AssertionFailure() << "\"" << text << "\" has no error code";
  }
  if (windows_code && code != std::to_string(*windows_code)) {
    return ::testing::AssertionFailure() << "\"" << text << "\" is not error " << *windows_code;
  }
  return ::testing::AssertionSuccess();
}

const std::string MISSING = "No such file or directory (os error 2)";

// The file as platform::read_file gives it, or its error.
std::string read_back(const fs::path& path) {
  auto content = platform::read_file(path, std::size_t{1} << 30);
  return content ? *content : "unreadable: " + content.error();
}

TEST(PlatformContract, NamesTheSystem) {
  EXPECT_EQ(platform::os_name(), build::windows ? "windows" : "linux");
  EXPECT_EQ(platform::os_display_name(), build::windows ? "Windows" : "Linux");
}

TEST(PlatformContract, SystemErrorTexts) {
  const std::string text = platform::system_error_text(2);
  EXPECT_TRUE(IsSystemError(text, MISSING, 2));
  EXPECT_GT(text.size(), std::string(" (os error 2)").size());
}

TEST(PlatformContract, EnvironmentVariableStates) {
  const char* NAME = "QEL_TEST_CONTRACT_VARIABLE";
  ScopedEnv env;
  struct Case {
    std::optional<std::string> value;  // none: unset
    platform::EnvVar::State state;
    std::string read;
  };
  const Case cases[] = {
      {std::nullopt, platform::EnvVar::State::unset, ""},
      {"", platform::EnvVar::State::set, ""},
      {"v\xC8\x99 x \xF0\x9F\x98\x80", platform::EnvVar::State::set, "v\xC8\x99 x \xF0\x9F\x98\x80"},
      {std::string(build::invalid_text), platform::EnvVar::State::invalid, ""},
      {"a" + std::string(build::invalid_text) + "b", platform::EnvVar::State::invalid, ""},
  };
  for (const auto& c : cases) {
    env.put(NAME, c.value);
    const platform::EnvVar var = platform::get_env(NAME);
    const std::string shown = c.value ? "\"" + *c.value + "\"" : "unset";
    EXPECT_EQ(var.state, c.state) << shown;
    EXPECT_EQ(var.value, c.read) << shown;
    const auto text = platform::env_text(NAME);
    if (c.state == platform::EnvVar::State::set) {
      EXPECT_EQ(text, std::optional<std::string>(c.read)) << shown;
    } else {
      EXPECT_EQ(text, std::nullopt) << shown;
    }
  }
}

TEST(PlatformContract, RandomFillFillsAndDrawsDiffer) {
  std::array<unsigned char, 64> a{}, b{};
  ASSERT_TRUE(platform::random_fill(a.data(), a.size()));
  ASSERT_TRUE(platform::random_fill(b.data(), b.size()));
  EXPECT_NE(a, (std::array<unsigned char, 64>{}));
  EXPECT_NE(a, b);
  EXPECT_TRUE(platform::random_fill(nullptr, 0));
}

TEST(PlatformContract, ExecutablePathNamesTheTestBinary) {
  const auto self = platform::executable_path();
  ASSERT_TRUE(self) << self.error();
  EXPECT_TRUE(self->is_absolute()) << platform::path_text(*self);
  EXPECT_EQ(platform::path_text(self->filename()), "qel_unit_tests" + std::string(build::exe_suffix));
  const auto meta = platform::stat_path(*self);
  ASSERT_TRUE(meta) << meta.error();
  EXPECT_EQ(meta->kind, EntryKind::file);
  EXPECT_GT(meta->size, 0u);
}

// ---- paths and text ----------------------------------------------------------------------

TEST(PlatformContract, TextToPathIsOneCharacterPerCodePoint) {
  // UTF-8 is decoded, not taken byte by byte: "é" is one UTF-16 unit on Windows.
  EXPECT_EQ(platform::path_from_text("\xC3\xA9").native().size(), build::windows ? 1u : 2u);
  const fs::path nested = platform::path_from_text("d\xC3\xA9j\xC3\xA0/vu");
  EXPECT_EQ(platform::name_bytes(nested.filename()), "vu");
  EXPECT_EQ(platform::name_bytes(nested.parent_path()), "d\xC3\xA9j\xC3\xA0");
}

// ---- folders and files -------------------------------------------------------------------

class PlatformFiles : public ::testing::Test {
 protected:
  // The entries as name (lossless text) -> kind and, for files, size.
  static std::map<std::string, std::pair<EntryKind, std::uint64_t>> described(
      const std::vector<platform::FolderEntry>& entries) {
    std::map<std::string, std::pair<EntryKind, std::uint64_t>> out;
    for (const auto& e : entries) {
      out[platform::name_bytes(e.name)] = {e.kind, e.kind == EntryKind::file ? e.size : 0};
    }
    return out;
  }

  TempFolder folder_;
  const fs::path root_ = folder_.path();
};

TEST_F(PlatformFiles, ListingGivesNamesKindsAndSizes) {
  folder_.write("empty", "");
  folder_.write("one", "1");
  folder_.write("big.bin", std::string(70000, 'b'));
  folder_.write("caf\xC3\xA9.txt", "abc");
  folder_.write("sub/inner", "12345");
  const std::map<std::string, std::pair<EntryKind, std::uint64_t>> expected = {
      {"empty", {EntryKind::file, 0}},
      {"one", {EntryKind::file, 1}},
      {"big.bin", {EntryKind::file, 70000}},
      {"caf\xC3\xA9.txt", {EntryKind::file, 3}},
      {"sub", {EntryKind::folder, 0}},
  };  // "." and ".." are left out

  const auto listed = platform::list_folder(root_);
  ASSERT_TRUE(listed) << listed.error();
  EXPECT_EQ(described(*listed), expected);

  auto opened = platform::Folder::open(root_);
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_TRUE(opened->is_open());
  const auto entries = opened->entries();
  ASSERT_TRUE(entries) << entries.error();
  EXPECT_EQ(described(*entries), expected);

  const auto sub = opened->open_child("sub");
  ASSERT_TRUE(sub) << sub.error();
  const auto inner = sub->entries();
  ASSERT_TRUE(inner) << inner.error();
  EXPECT_EQ(described(*inner), (std::map<std::string, std::pair<EntryKind, std::uint64_t>>{
                                   {"inner", {EntryKind::file, 5}}}));
  EXPECT_FALSE(opened->open_child("missing"));
  EXPECT_FALSE(platform::Folder().is_open());
}

TEST_F(PlatformFiles, FolderFailuresCarryTheSystemsText) {
  const auto missing = platform::Folder::open(root_ / "missing");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(IsSystemError(missing.error(), MISSING));
  const auto file = platform::Folder::open(folder_.write("plain.txt", "x"));
  ASSERT_FALSE(file);
  EXPECT_TRUE(IsSystemError(file.error(), "Not a directory (os error 20)"));
  const auto listed = platform::list_folder(root_ / "missing");
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error(), missing.error());
}

TEST_F(PlatformFiles, StatAndExistence) {
  const fs::path file = folder_.write("f.bin", std::string(1234, 'x'));
  const auto meta = platform::stat_path(file);
  ASSERT_TRUE(meta) << meta.error();
  EXPECT_EQ(meta->kind, EntryKind::file);
  EXPECT_EQ(meta->size, 1234u);
  const auto folder = platform::stat_path(folder_.folder("d"));
  ASSERT_TRUE(folder) << folder.error();
  EXPECT_EQ(folder->kind, EntryKind::folder);
  const auto missing = platform::stat_path(root_ / "missing");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(IsSystemError(missing.error(), MISSING, 2));

  EXPECT_TRUE(platform::path_exists(file, true));
  EXPECT_TRUE(platform::path_exists(file, false));
  EXPECT_FALSE(platform::path_exists(root_ / "missing", true));
  EXPECT_FALSE(platform::path_exists(root_ / "missing", false));
}

TEST_F(PlatformFiles, InputFileReadsAtAnOffsetOrSaysWhyNot) {
  const fs::path p = folder_.write("data.bin", "0123456789");
  auto input = platform::InputFile::open(p);
  ASSERT_TRUE(input) << input.error();
  unsigned char buf[8];
  ASSERT_TRUE(input->seek(6));
  ASSERT_TRUE(input->read_exact(buf, 4));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "6789");
  ASSERT_TRUE(input->seek(0));
  ASSERT_TRUE(input->read_exact(buf, 3));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "012");
  ASSERT_TRUE(input->seek(4));
  const auto short_read = input->read_exact(buf, 8);
  ASSERT_FALSE(short_read);
  EXPECT_EQ(short_read.error(), "failed to fill whole buffer");

  auto missing = platform::InputFile::open(root_ / "missing.bin");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(IsSystemError(missing.error(), MISSING, 2));
}

// Names go from text to the file system and back unchanged; a name that is not valid
// Unicode too, and path_text shows its invalid part as U+FFFD.
TEST_F(PlatformFiles, NamesRoundTripBetweenTextAndTheFileSystem) {
  const std::string invalid = std::string(build::invalid_text) + ".bin";
  for (const std::string& name : {std::string("caf\xC3\xA9.txt"), invalid}) {
    EXPECT_EQ(platform::name_bytes(platform::path_from_text(name)), name);
  }
  EXPECT_EQ(platform::path_text(platform::path_from_text(invalid)), "\xEF\xBF\xBD.bin");
  EXPECT_EQ(platform::path_text(platform::path_from_text("caf\xC3\xA9.txt")), "caf\xC3\xA9.txt");

  const std::vector<std::string> names = {"plain.txt", "caf\xC3\xA9.txt", "\xF0\x9F\x98\x80 pair",
                                          "a b"};
  for (const std::string& name : names) {
    const fs::path path = root_ / platform::path_from_text(name);
    ASSERT_TRUE(platform::write_file(path, name, false)) << name;
  }
  const auto listed = platform::list_folder(root_);
  ASSERT_TRUE(listed) << listed.error();
  std::vector<std::string> found;
  for (const auto& e : *listed) found.push_back(platform::name_bytes(e.name));
  std::sort(found.begin(), found.end());
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
  for (const std::string& name : names) {
    EXPECT_EQ(read_back(root_ / platform::path_from_text(name)), name);
  }
}

TEST_F(PlatformFiles, AFileWhoseNameIsNotValidUnicode) {
  if (system::under_wine()) {
    GTEST_SKIP() << "Wine cannot create a file whose name holds an unpaired surrogate "
                    "(CreateFileW fails with error 2)";
  }
  const std::string invalid = std::string(build::invalid_text) + ".bin";
  const fs::path path = root_ / platform::path_from_text(invalid);
  ASSERT_TRUE(platform::write_file(path, "odd", false));
  const auto listed = platform::list_folder(root_);
  ASSERT_TRUE(listed) << listed.error();
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ(platform::name_bytes(listed->front().name), invalid);
  EXPECT_EQ(platform::path_text(listed->front().name), "\xEF\xBF\xBD.bin");
  EXPECT_EQ(read_back(root_ / listed->front().name), "odd");
  EXPECT_TRUE(platform::remove_file(path));
}

TEST_F(PlatformFiles, CreateWriteReadAndRemove) {
  const fs::path deep = root_ / "a" / "b" / "c";
  ASSERT_TRUE(platform::create_folders(deep, false));
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_TRUE(platform::create_folders(deep, false)) << "an existing folder is no failure";

  // Bytes as they are: no line-end translation, NUL and non-UTF-8 bytes kept.
  const std::string bytes = std::string("line\r\nnext\n") + '\0' + "\xFF end";
  const fs::path file = deep / "data.bin";
  ASSERT_TRUE(platform::write_file(file, bytes, false));
  EXPECT_EQ(read_file(file), bytes);
  EXPECT_EQ(read_back(file), bytes);
  ASSERT_TRUE(platform::write_file(file, "short", false));
  EXPECT_EQ(read_back(file), "short") << "truncated";

  const auto in_the_way = platform::create_folders(file / "x", false);
  ASSERT_FALSE(in_the_way);
  EXPECT_TRUE(IsSystemError(in_the_way.error(), "Not a directory (os error 20)"));
  const auto onto_folder = platform::write_file(deep, "x", false);
  ASSERT_FALSE(onto_folder);
  EXPECT_TRUE(IsSystemError(onto_folder.error(), "Is a directory (os error 21)"));
  const auto unread = platform::read_file(root_ / "missing", 100);
  ASSERT_FALSE(unread);
  EXPECT_TRUE(IsSystemError(unread.error(), MISSING, 2));

  ASSERT_TRUE(platform::remove_file(file));
  EXPECT_FALSE(platform::path_exists(file, false));
  const auto again = platform::remove_file(file);
  ASSERT_FALSE(again);
  EXPECT_TRUE(IsSystemError(again.error(), MISSING, 2));
}

// Only a regular file is read: a pipe that nobody writes into, a device or a folder in its
// place is refused at once instead of keeping the reader waiting (or reading for ever).
TEST_F(PlatformFiles, ReadsRegularFilesOnly) {
  const system::IdlePipe pipe(root_);
  const fs::path device = build::windows ? "NUL" : "/dev/null";
  for (const fs::path& path : {pipe.path(), device}) {
    const auto read = platform::read_file(path, 100);
    ASSERT_FALSE(read) << platform::path_text(path);
    EXPECT_EQ(read.error(), "not a regular file") << platform::path_text(path);
  }
  const auto folder = platform::read_file(folder_.folder("sub"), 100);
  ASSERT_FALSE(folder);
  EXPECT_TRUE(IsSystemError(folder.error(), "Is a directory (os error 21)"));
}

TEST_F(PlatformFiles, ReadsUpToTheBoundAndNoMore) {
  const fs::path at_bound = folder_.write("ten", "0123456789");
  EXPECT_EQ(read_back(at_bound), "0123456789");  // read_back's bound is far larger
  EXPECT_EQ(platform::read_file(at_bound, 10).value(), "0123456789");
  const auto over = platform::read_file(at_bound, 9);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), "the file is larger than 9 bytes");
  EXPECT_EQ(platform::read_file(folder_.write("empty", ""), 0).value(), "");
}

// The names in a folder, as text, sorted.
std::vector<std::string> names_in(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(platform::name_bytes(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A replacement takes the old file's place whole, or fails and leaves everything as it was:
// no file of its own stays behind.
TEST_F(PlatformFiles, ReplaceTakesThePlaceWholeOrNotAtAll) {
  const fs::path file = folder_.write("config.json", "old and longer");
  ASSERT_TRUE(platform::replace_file(file, "new"));
  EXPECT_EQ(read_back(file), "new");
  const fs::path fresh = root_ / "fresh.json";
  ASSERT_TRUE(platform::replace_file(fresh, std::string(70000, 'f')));
  EXPECT_EQ(read_back(fresh), std::string(70000, 'f'));

  const fs::path in_the_way = folder_.folder("taken");
  const auto refused = platform::replace_file(in_the_way, "x");
  ASSERT_FALSE(refused);
  EXPECT_TRUE(IsSystemError(refused.error(), "Is a directory (os error 21)"));
  EXPECT_TRUE(fs::is_directory(in_the_way));
  EXPECT_EQ(names_in(root_), (std::vector<std::string>{"config.json", "fresh.json", "taken"}));

  const auto no_folder = platform::replace_file(root_ / "missing" / "config.json", "x");
  ASSERT_FALSE(no_folder);
  EXPECT_TRUE(IsSystemError(no_folder.error(), MISSING, 3));
}

// The case the replacement is for: a disk with no room for the new content.
TEST_F(PlatformFiles, ReplaceOnAFullDiskLeavesTheOldFileWhole) {
  const fs::path mount_point = folder_.folder("small");
  const system::SmallFileSystem disk(mount_point);
  if (!disk.mounted()) GTEST_SKIP() << disk.why_not();
  const fs::path file = mount_point / "config.json";
  write_file(file, "old");
  {
    std::ofstream filler(mount_point / "filler", std::ios::binary);
    const std::string block(4096, '\0');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size())).flush()) {
    }
  }
  // More than the block that emptying the old file would free.
  const auto full = platform::replace_file(file, std::string(10000, 'n'));
  ASSERT_FALSE(full);
  EXPECT_TRUE(IsSystemError(full.error(), "No space left on device (os error 28)"));
  EXPECT_EQ(read_back(file), "old");
  EXPECT_EQ(names_in(mount_point), (std::vector<std::string>{"config.json", "filler"}));
}

TEST_F(PlatformFiles, ReadOnlyFileIsRemovedToo) {
  if (system::under_wine()) {
    GTEST_SKIP() << "Wine answers FileDispositionInfoEx, which deleting a read-only file "
                    "needs, with ERROR_INVALID_PARAMETER";
  }
  const fs::path file = folder_.write("read-only.txt", "x");
  fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const auto removed = platform::remove_file(file);
  ASSERT_TRUE(removed) << removed.error();
  EXPECT_FALSE(platform::path_exists(file, false));
}

TEST_F(PlatformFiles, CanonicalFolder) {
  folder_.folder("a/b");
  const auto plain = platform::canonical_folder(root_ / "a");
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->is_absolute());
  EXPECT_TRUE(fs::equivalent(*plain, root_ / "a"));
  for (const auto& part : *plain) {
    EXPECT_NE(part, fs::path(".."));
    EXPECT_NE(part, fs::path("."));
  }
  EXPECT_EQ(platform::canonical_folder(root_ / "a" / "b" / ".." / "." / ".." / "a"), plain);

  const fs::path before = fs::current_path();
  fs::current_path(root_ / "a");
  const auto here = platform::canonical_folder(".");
  fs::current_path(before);
  EXPECT_EQ(here, plain);
  EXPECT_EQ(platform::canonical_folder(root_ / "missing"), std::nullopt);
}

// ---- standard output -----------------------------------------------------------------------

// The checked writes report what the plain ones drop without a word: output that a pipe whose
// reader has gone does not take. Results are looked at once the stream is back, so that a
// failure's message is not written into the pipe.
TEST(PlatformOutput, CheckedWritesReportLostOutput) {
  platform::init_process();  // as main does: a write to a closed pipe fails, the program goes on
  using Stream = system::StreamIntoPipe::Stream;
  for (const Stream stream : {Stream::output, Stream::error}) {
    const bool out = stream == Stream::output;
    const auto checked = out ? platform::write_stdout_checked : platform::write_stderr_checked;
    const auto plain = out ? platform::write_stdout : platform::write_stderr;
    const std::string name = out ? "standard output" : "standard error";

    std::string taken;
    Status written;
    {
      system::StreamIntoPipe pipe(stream, /*reader_gone=*/false);
      written = checked("link\n");
      plain("more\n");
      taken = pipe.taken();
    }
    EXPECT_TRUE(written) << name << ": " << written.error();
    EXPECT_EQ(taken, "link\nmore\n") << name;

    Status lost;
    {
      system::StreamIntoPipe pipe(stream, /*reader_gone=*/true);
      plain("dropped\n");
      lost = checked("link\n");
    }
    ASSERT_FALSE(lost) << name;
    EXPECT_TRUE(IsSystemError(lost.error(), "Broken pipe (os error 32)")) << name;
  }
}

// ---- standard input ------------------------------------------------------------------------

// A line of standard input (a file here, not a terminal) is taken up to MAX_LINE_SIZE bytes
// besides its line end; a longer one is refused instead of read without end.
TEST(PlatformInput, LinesAreBounded) {
  const TempFolder folder;
  const std::string longest(platform::MAX_LINE_SIZE, 'k');
  const std::string too_long(platform::MAX_LINE_SIZE + 1, 'k');
  const std::string TOO_LONG = "the input line is longer than 1 MiB";
  struct Case {
    std::string input;
    std::optional<std::string> answer;  // read_secret's; none: refused as too long
    std::optional<std::string> line;    // read_stdin_line's
  };
  const Case cases[] = {
      {longest + "\r\nnext\n", longest, longest + "\r\n"},
      {too_long + "\n", std::nullopt, std::nullopt},
      {"short\n" + too_long, "short", "short\n"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const fs::path input = folder.write("input-" + std::to_string(i), c.input);
    {
      const system::StdinFromFile redirected(input);
      const auto answer = platform::read_secret("unused: ");
      if (c.answer) {
        ASSERT_TRUE(answer) << "case " << i << ": " << answer.error();
        EXPECT_TRUE(*answer == *c.answer) << "case " << i;
      } else {
        ASSERT_FALSE(answer) << "case " << i;
        EXPECT_EQ(answer.error(), TOO_LONG) << "case " << i;
      }
    }
    const system::StdinFromFile redirected(input);
    EXPECT_TRUE(platform::read_stdin_line() == c.line) << "case " << i;
  }
}

// ---- processes ---------------------------------------------------------------------------

// The recorder stands in for the programs started; its runs tell what reached it.
class PlatformProcess : public ::testing::Test {
 protected:
  void SetUp() override { platform::init_process(); }  // as main does

  std::vector<StandIns::Run> runs() const { return programs_.runs(recorder_); }

  const std::string recorder_{StandIns::RECORDER};
  StandIns programs_;
};

TEST_F(PlatformProcess, CaptureGivesStandardOutputOnlyAndWaits) {
  const std::string output = std::string("out\r\nline\n") + '\0' + "\xFF";
  programs_.print(recorder_, output);
  programs_.exit_with(recorder_, 7);  // the exit code does not matter
  EXPECT_EQ(platform::run_capture({recorder_, {"one"}}), std::optional<std::string>(output));
  auto seen = runs();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].args, std::vector<std::string>{"one"});
  EXPECT_EQ(seen[0].input, "") << "no standard input";
  EXPECT_TRUE(seen[0].ended) << "waited for";

  EXPECT_FALSE(platform::run_capture({"qel-no-such-program", {}}));
  EXPECT_FALSE(platform::run_capture({recorder_, {std::string("-c\0x", 4)}}))
      << "no command line carries a NUL";
  EXPECT_EQ(runs().size(), 1u);
}

TEST_F(PlatformProcess, InputReachesTheChildAndItsExitCodeComesBack) {
  const std::string input = std::string("link\xC8\x99\r\n") + '\0' + "end\n";
  programs_.exit_with(recorder_, 3);
  EXPECT_EQ(platform::run_with_input({recorder_, {"-"}}, input), std::optional<int>(3));
  auto seen = runs();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].input, input);
  EXPECT_EQ(seen[0].args, std::vector<std::string>{"-"});
  EXPECT_TRUE(seen[0].ended);

  // More than any pipe holds reaches the child whole.
  const std::string big(4 << 20, 'a');
  programs_.exit_with(recorder_, 0);
  EXPECT_EQ(platform::run_with_input({recorder_, {"big"}}, big), std::optional<int>(0));
  for (const auto& run : runs()) {
    if (run.args == std::vector<std::string>{"big"}) {
      EXPECT_EQ(run.input.size(), big.size());
    }
  }
  // A child that reads nothing must neither hang the writer nor end this process.
  programs_.ignore_input(recorder_);
  EXPECT_EQ(platform::run_with_input({recorder_, {"deaf"}}, big), std::optional<int>(0));

  EXPECT_FALSE(platform::run_with_input({"qel-no-such-program", {}}, "x"));
}

TEST_F(PlatformProcess, DetachedStartDoesNotWait) {
  // The child stays until released, so the call can only have returned without waiting.
  programs_.hold(recorder_);
  ASSERT_TRUE(platform::spawn_detached({recorder_, {"x y"}}));
  ASSERT_TRUE(programs_.wait_for_runs(recorder_, 1));
  auto seen = runs();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].ended);
  EXPECT_EQ(seen[0].args, std::vector<std::string>{"x y"});
  EXPECT_EQ(seen[0].input, "");
  programs_.release(recorder_);
  EXPECT_TRUE(programs_.wait_until_ended(recorder_));

  EXPECT_FALSE(platform::spawn_detached({"qel-no-such-program", {}}));
}

TEST_F(PlatformProcess, ArgumentsArriveUnchanged) {
  const std::vector<std::string> args = {
      "plain",        "a b",          "",           "say \"hi\"",   "back\\slash\\",
      "c:\\my dir\\", "tab\there",    "\"",         "\\\"",         "a\\\\\"b",
      "caf\xC3\xA9 \xF0\x9F\x98\x80", "url.dll,FileProtocolHandler", "mailto:?subject=a%20b&x=1",
      std::string(build::invalid_text),
  };
  ASSERT_TRUE(platform::run_capture({recorder_, args}));
  const auto seen = runs();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].args, args);
}

// Sets the current folder for a scope.
class CurrentFolder {
 public:
  explicit CurrentFolder(const fs::path& folder) : before_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~CurrentFolder() { fs::current_path(before_); }
  CurrentFolder(const CurrentFolder&) = delete;
  CurrentFolder& operator=(const CurrentFolder&) = delete;

 private:
  fs::path before_;
};

// A bare name is looked up on Windows beside the running program, then in the system
// folders, then on PATH; on POSIX on PATH alone. Never in the current folder, also not
// through PATH entries that name it relatively.
TEST_F(PlatformProcess, BareNamesAreSearchedInTheSystemsOrder) {
  const TempFolder places;
  const fs::path on_path = places.folder("on-path");
  const fs::path here = places.folder("here");
  programs_.copy_to(on_path, recorder_);
  programs_.copy_to(here, recorder_);
  programs_.copy_to(on_path, "qel-test-on-path");
  programs_.copy_to(here, "qel-test-in-current-folder");
  programs_.copy_to(on_path, "hostname");  // a name the system has a program for
  programs_.own_binary_folder();  // no other test's stand-in "hostname" beside the binary
  const std::string sep(build::path_list_separator);
  programs_.env().set("PATH", sep + "." + sep + platform::name_bytes(on_path));
  const CurrentFolder current(here);

  // The recorder beside the test binary is found first on Windows; POSIX never looks there.
  ASSERT_TRUE(platform::run_capture({recorder_, {}}));
  const auto first = programs_.runs(recorder_);
  ASSERT_EQ(first.size(), 1u);
  const fs::path expected = build::windows ? StandIns::recorder() : on_path / recorder_;
  EXPECT_TRUE(fs::equivalent(first[0].self, expected)) << platform::path_text(first[0].self);

  ASSERT_TRUE(platform::run_capture({"qel-test-on-path", {}}));
  const auto path_runs = programs_.runs("qel-test-on-path");
  ASSERT_EQ(path_runs.size(), 1u);
  const fs::path on_path_copy = on_path / ("qel-test-on-path" + std::string(build::exe_suffix));
  EXPECT_TRUE(fs::equivalent(path_runs[0].self, on_path_copy));

  EXPECT_FALSE(platform::run_capture({"qel-test-in-current-folder", {}}));
  EXPECT_TRUE(programs_.runs("qel-test-in-current-folder").empty());

  // The system's own "hostname" comes before PATH on Windows; POSIX has only PATH.
  EXPECT_TRUE(platform::run_capture({"hostname", {}}));
  EXPECT_EQ(programs_.runs("hostname").size(), build::windows ? 0u : 1u);
}

// ---- interrupts ------------------------------------------------------------------------

// Each body runs in a child of its own (support/interrupts.h) and ends with CHILD_SURVIVED
// when it ran to its end.

// True once the flag is up; on Windows the handler runs on a thread of its own.
bool flag_raised() {
  for (int i = 0; i < 1000 && !platform::interrupt_flag().load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return platform::interrupt_flag().load();
}

int first_interrupt_only_raises_the_flag(InterruptKind kind) {
  platform::InterruptGuard guard;
  if (platform::interrupt_flag().load()) return 1;
  interrupt_self(kind);
  return flag_raised() ? CHILD_SURVIVED : 2;
}

[[maybe_unused]] const bool interrupt_bodies_registered =
    register_child_body("ctrl-c under a guard",
                        [] { return first_interrupt_only_raises_the_flag(InterruptKind::ctrl_c); }) &&
    register_child_body("other under a guard",
                        [] { return first_interrupt_only_raises_the_flag(InterruptKind::other); }) &&
    register_child_body("second interrupt",
                        [] {
                          platform::InterruptGuard guard;
                          interrupt_self(InterruptKind::ctrl_c);
                          if (!flag_raised()) return 2;
                          interrupt_self(InterruptKind::ctrl_c);
                          std::this_thread::sleep_for(std::chrono::seconds(10));
                          return CHILD_SURVIVED;
                        }) &&
    register_child_body("after the guard",
                        [] {
                          { platform::InterruptGuard guard; }
                          interrupt_self(InterruptKind::ctrl_c);
                          std::this_thread::sleep_for(std::chrono::seconds(10));
                          return CHILD_SURVIVED;
                        }) &&
    register_child_body("a new guard lowers the flag", [] {
      {
        platform::InterruptGuard guard;
        interrupt_self(InterruptKind::ctrl_c);
        if (!flag_raised()) return 2;
      }
      platform::InterruptGuard again;
      return platform::interrupt_flag().load() ? 3 : CHILD_SURVIVED;
    });

TEST(PlatformContract, UnderAGuardTheFirstInterruptOnlyRaisesTheFlag) {
  for (const char* body : {"ctrl-c under a guard", "a new guard lowers the flag"}) {
    EXPECT_EQ(run_child(body), ChildEnd{CHILD_SURVIVED}) << body;
  }
}

TEST(PlatformContract, SigtermOrCtrlBreakIsAnInterruptToo) {
  if (system::under_wine()) {
    GTEST_SKIP() << "Wine cannot generate a console Ctrl-Break (GenerateConsoleCtrlEvent "
                    "fails with error 6); the handler's answer to it is tested directly";
  }
  EXPECT_EQ(run_child("other under a guard"), ChildEnd{CHILD_SURVIVED});
}

TEST(PlatformContract, UnderAGuardASecondInterruptEndsTheProcessWith130) {
  EXPECT_EQ(run_child("second interrupt"), ChildEnd{platform::INTERRUPTED_EXIT_CODE});
}

TEST(PlatformContract, AfterTheGuardAnInterruptEndsTheProcessAsBefore) {
  const ChildEnd end = run_child("after the guard");
  EXPECT_NE(end, ChildEnd{CHILD_SURVIVED});
  // POSIX: by the signal itself. Windows: by the system's own handler, whose exit code
  // Wine does not give as Windows does.
  if (!build::windows) {
    EXPECT_EQ(end, ChildEnd{std::nullopt});
  }
}

// ---- the terminal's width ------------------------------------------------------------

[[maybe_unused]] const bool width_bodies_registered =
    register_child_body("stderr on a terminal of 57 columns",
                        [] {
                          if (!system::stderr_to_terminal(57)) return 2;
                          return platform::stderr_terminal_width() == std::size_t{57}
                                     ? CHILD_SURVIVED
                                     : 3;
                        }) &&
    register_child_body("stderr on the null device", [] {
      if (!system::stderr_to_null()) return 2;
      return platform::stderr_terminal_width() ? 3 : CHILD_SURVIVED;
    });

TEST(PlatformContract, TheWidthOfTheTerminalOnStandardError) {
  EXPECT_EQ(run_child("stderr on a terminal of 57 columns"), ChildEnd{CHILD_SURVIVED});
  EXPECT_EQ(run_child("stderr on the null device"), ChildEnd{CHILD_SURVIVED}) << "none";
}

}  // namespace
}  // namespace qel::test
