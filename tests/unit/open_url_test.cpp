// Opening URLs and the child processes under it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktop/open_url.h"
#include "platform/platform.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

// ---- processes -------------------------------------------------------------------

class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    if (const char* old = std::getenv("PATH")) saved_ = old;
    ::setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() {
    if (saved_) {
      ::setenv("PATH", saved_->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// A private folder under the system's temporary folder, removed afterwards.
struct TempDir {
  fs::path path;
  TempDir() {
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path = fs::temp_directory_path() /
           ("qel-" + std::string(info->name()) + "-" + std::to_string(++counter) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

void write_script(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits for a file a detached child writes; generous, since only its arrival matters.
bool wait_for_file(const fs::path& path) {
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The process ids that are still this process's children.
std::string own_children() {
  std::string all;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    all += read_text(task.path() / "children");
  }
  return all;
}

std::string session_of(const std::string& stat_line) {
  // Fields after the parenthesised command: state, ppid, pgrp, session.
  std::istringstream rest(stat_line.substr(stat_line.rfind(')') + 2));
  std::string state, ppid, pgrp, session;
  rest >> state >> ppid >> pgrp >> session;
  return session;
}

TEST(Process, CaptureReadsOutputWithNoInputAndWaits) {
  const auto out = platform::run_capture(
      {"sh", {"-c", "printf 'one\\ntwo'; read line; echo \"read:$line\" >&2; printf \"[$line]\""}});
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, "one\ntwo[]");  // standard input is empty, standard error not captured
  EXPECT_EQ(platform::run_capture({"sh", {"-c", "printf x; exit 7"}}), std::optional<std::string>("x"));
  EXPECT_FALSE(platform::run_capture({"qel-no-such-program", {}}));
  EXPECT_FALSE(platform::run_capture({"sh", {std::string("-c\0x", 4)}}));
  EXPECT_EQ(own_children(), "");
}

TEST(Process, BareNamesAreNeverLookedUpInTheCurrentFolder) {
  const TempDir dir_tmp;
  const fs::path& dir = dir_tmp.path;
  write_script(dir / "qel-here", "echo found\n");
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  {
    ScopedPath path(":.:/usr/bin:/bin");
    EXPECT_FALSE(platform::run_capture({"qel-here", {}}));
  }
  {
    ScopedPath path(dir.string() + ":/usr/bin:/bin");
    EXPECT_EQ(platform::run_capture({"qel-here", {}}), std::optional<std::string>("found\n"));
  }
  fs::current_path(before);
}

TEST(Process, InputReachesTheChildAndItsExitCodeComesBack) {
  platform::init_process();  // as main does: a closed pipe is an error, not a signal
  const TempDir dir_tmp;
  const fs::path& dir = dir_tmp.path;
  const fs::path got = dir / "got";
  EXPECT_EQ(platform::run_with_input({"sh", {"-c", "cat > \"$0\"", got.string()}}, "link\xC8\x99\n"),
            std::optional<int>(0));
  EXPECT_EQ(read_text(got), "link\xC8\x99\n");
  EXPECT_EQ(platform::run_with_input({"sh", {"-c", "exit 3"}}, "x"), std::optional<int>(3));
  // A child that reads nothing while far more than a pipe holds is offered must not hang
  // the writer or kill it with SIGPIPE.
  EXPECT_EQ(platform::run_with_input({"sh", {"-c", "exit 0"}}, std::string(4 << 20, 'a')),
            std::optional<int>(0));
  EXPECT_FALSE(platform::run_with_input({"qel-no-such-program", {}}, "x"));
  EXPECT_EQ(own_children(), "");
}

TEST(OpenUrl, StartsTheHandlerDetachedWithNullStreams) {
  const TempDir dir_tmp;
  const fs::path& dir = dir_tmp.path;
  const std::string opener = platform::url_opener().program;
  // The fake handler records its argument, streams and session, then stays alive until
  // released, so the call can only have returned without waiting for it.
  write_script(dir / opener,
               "d=$(dirname \"$0\")\n"
               "in=$(readlink /proc/$$/fd/0) out=$(readlink /proc/$$/fd/1)"
               " err=$(readlink /proc/$$/fd/2) stat=$(cat /proc/$$/stat)\n"
               "printf '%s\\n' \"$1\" \"$in\" \"$out\" \"$err\" \"$stat\" > \"$d/rec.tmp\"\n"
               "echo $$ > \"$d/pid\"\n"
               "mv \"$d/rec.tmp\" \"$d/rec-$$\"\n"
               "i=0; while [ ! -e \"$d/release\" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done\n");
  ScopedPath path(dir.string() + ":/usr/bin:/bin");

  const std::string url = "https://x.example/device?code=AB CD&x=\"1\"";
  ASSERT_TRUE(open_url(url));
  ASSERT_TRUE(wait_for_file(dir / "pid"));
  const std::string pid = read_text(dir / "pid").substr(0, read_text(dir / "pid").find('\n'));
  const fs::path record = dir / ("rec-" + pid);
  ASSERT_TRUE(wait_for_file(record));
  EXPECT_TRUE(fs::exists("/proc/" + pid));  // still running: not waited for
  EXPECT_EQ(own_children(), "");            // and not left as this process's child

  std::istringstream lines(read_text(record));
  std::string arg, in, out, err, stat;
  std::getline(lines, arg);
  std::getline(lines, in);
  std::getline(lines, out);
  std::getline(lines, err);
  std::getline(lines, stat);
  EXPECT_EQ(arg, url);
  EXPECT_EQ(in, "/dev/null");
  EXPECT_EQ(out, "/dev/null");
  EXPECT_EQ(err, "/dev/null");
  EXPECT_NE(session_of(stat), session_of(read_text("/proc/self/stat")));

  std::ofstream(dir / "release") << "";
  for (int i = 0; i < 1000 && fs::exists("/proc/" + pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(OpenUrl, TwoCallsStartTwoHandlers) {
  const TempDir dir_tmp;
  const fs::path& dir = dir_tmp.path;
  write_script(dir / platform::url_opener().program,
               "printf '%s\\n' \"$1\" > \"$(dirname \"$0\")/rec-$$.tmp\"\n"
               "mv \"$(dirname \"$0\")/rec-$$.tmp\" \"$(dirname \"$0\")/rec-$1\"\n");
  ScopedPath path(dir.string() + ":/usr/bin:/bin");
  EXPECT_TRUE(open_url("one"));
  EXPECT_TRUE(open_url("mailto:?subject=a%20b"));
  EXPECT_TRUE(wait_for_file(dir / "rec-one"));
  EXPECT_TRUE(wait_for_file(dir / "rec-mailto:?subject=a%20b"));
}

TEST(OpenUrl, FalseWhenNothingCanBeStarted) {
  const TempDir dir_tmp;
  const fs::path& dir = dir_tmp.path;
  write_script(dir / platform::url_opener().program, "touch \"$(dirname \"$0\")/ran\"\n");
  {
    ScopedPath path(dir.string() + ":/usr/bin:/bin");
    EXPECT_FALSE(open_url(std::string("https://x.example/\0evil", 23)));
  }
  {
    const TempDir empty_tmp;
    const fs::path& empty = empty_tmp.path;
    ScopedPath path(empty.string());
    EXPECT_FALSE(open_url("https://x.example/"));
  }
  // A handler found on PATH whose exec fails (its interpreter is missing) did not start.
  const TempDir broken_tmp;
  const fs::path& broken = broken_tmp.path;
  std::ofstream(broken / platform::url_opener().program) << "#!/qel/no/such/interpreter\n";
  fs::permissions(broken / platform::url_opener().program, fs::perms::owner_all,
                  fs::perm_options::add);
  {
    ScopedPath path(broken.string() + ":" + dir.string());
    EXPECT_FALSE(open_url("https://x.example/"));
  }
  EXPECT_EQ(own_children(), "");
  EXPECT_FALSE(fs::exists(dir / "ran"));
}

}  // namespace
}  // namespace qel
