// Child processes the POSIX way: sessions, inherited descriptors, zombies, interpreters and
// PATH, with shell scripts as stand-ins where the script itself is the point.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "desktop/open_url.h"
#include "login/login_internal.h"
#include "platform/platform.h"
#include "sendto/send_to_flow.h"
#include "support/env.h"
#include "support/files.h"
#include "support/stand_ins.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

void write_script(const fs::path& path, const std::string& body) {
  test::write_file(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add);
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
    all += test::read_file(task.path() / "children");
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

TEST(Process, NoChildIsLeftBehind) {
  platform::init_process();
  test::StandIns programs;
  const std::string recorder(test::StandIns::RECORDER);
  programs.exit_with(recorder, 7);
  EXPECT_TRUE(platform::run_capture({recorder, {}}));
  EXPECT_EQ(platform::run_with_input({recorder, {}}, "x"), std::optional<int>(7));
  EXPECT_FALSE(platform::run_capture({"qel-no-such-program", {}}));
  EXPECT_FALSE(platform::run_capture({recorder, {std::string("-c\0x", 4)}}));
  // A detached child still running is not this process's child either.
  programs.hold(recorder);
  EXPECT_TRUE(platform::spawn_detached({recorder, {}}));
  ASSERT_TRUE(programs.wait_for_runs(recorder, 3));
  EXPECT_EQ(own_children(), "");
}

TEST(OpenUrl, StartsTheHandlerInItsOwnSessionWithNullStreams) {
  const test::TempFolder dir_tmp;
  const fs::path& dir = dir_tmp.path();
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
  test::ScopedEnv env;
  env.set("PATH", dir.string() + ":/usr/bin:/bin");

  const std::string url = "https://x.example/device?code=AB CD&x=\"1\"";
  ASSERT_TRUE(open_url(url));
  ASSERT_TRUE(wait_for_file(dir / "pid"));
  const std::string pid = test::read_file(dir / "pid").substr(0, test::read_file(dir / "pid").find('\n'));
  const fs::path record = dir / ("rec-" + pid);
  ASSERT_TRUE(wait_for_file(record));
  EXPECT_TRUE(fs::exists("/proc/" + pid));  // still running: not waited for
  EXPECT_EQ(own_children(), "");            // and not left as this process's child

  std::istringstream lines(test::read_file(record));
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
  EXPECT_NE(session_of(stat), session_of(test::read_file("/proc/self/stat")));

  test::write_file(dir / "release", "");
  for (int i = 0; i < 1000 && fs::exists("/proc/" + pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(OpenUrl, FalseWhenNoHandlerIsFoundOrItsExecFails) {
  test::ScopedEnv env;
  {
    const test::TempFolder empty;
    env.set("PATH", empty.path().string());
    EXPECT_FALSE(open_url("https://x.example/"));
  }
  // A handler found on PATH whose exec fails (its interpreter is missing) did not start.
  const test::TempFolder broken;
  const fs::path handler = broken.path() / platform::url_opener().program;
  test::write_file(handler, "#!/qel/no/such/interpreter\n");
  fs::permissions(handler, fs::perms::owner_all, fs::perm_options::add);
  env.set("PATH", broken.path().string());
  EXPECT_FALSE(open_url("https://x.example/"));
  EXPECT_EQ(own_children(), "");
}

TEST(ClipboardMissing, NothingIsPrintedWhenNoProgramIsFound) {
  const test::StandIns programs;  // PATH holds none of the clipboard programs
  testing::internal::CaptureStderr();
  copy_to_clipboard(false, "L");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ComputerNameWithoutProgram, ComputerWhenNoSourceGivesOne) {
  const test::StandIns programs;  // no "hostname" on PATH
  const test::TempFolder dir;
  EXPECT_EQ(login_detail::computer_name_from([](const char*) { return platform::EnvVar{}; },
                                             dir.path() / "no-such-file"),
            "computer");
}

TEST(ProcessArguments, AnEmptyListStandsForTheProgramsOwnPath) {
  const auto self = platform::process_arguments(0, nullptr);
  ASSERT_EQ(self.size(), 1u);
  EXPECT_EQ(self.front(), platform::executable_path().value().string());
}

}  // namespace
}  // namespace qel
