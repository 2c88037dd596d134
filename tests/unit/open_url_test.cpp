// Opening URLs: the handler program of the build, started detached with the URL.
#include "desktop/open_url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/build.h"
#include "support/stand_ins.h"

namespace qel {
namespace {

// The handler of the build and the arguments before the URL.
platform::Command expected_opener() {
  if (test::build::windows) return {"rundll32", {"url.dll,FileProtocolHandler"}};
  return {"xdg-open", {}};
}

std::vector<std::string> opener_args(const std::string& url) {
  std::vector<std::string> args = expected_opener().args;
  args.push_back(url);
  return args;
}

TEST(OpenUrl, HandlerOfTheBuild) {
  const platform::Command opener = platform::url_opener();
  EXPECT_EQ(opener.program, expected_opener().program);
  EXPECT_EQ(opener.args, expected_opener().args);
}

TEST(OpenUrl, StartsTheHandlerWithTheUrlAndDoesNotWaitForIt) {
  test::StandIns programs;
  const std::string handler = platform::url_opener().program;
  programs.place(handler);
  // The handler stays until released, so the call can only have returned without waiting.
  programs.hold(handler);
  const std::string url = "https://x.example/device?code=AB CD&x=\"1\"&p=a\\b\\";
  ASSERT_TRUE(open_url(url));
  ASSERT_TRUE(programs.wait_for_runs(handler, 1));
  auto runs = programs.runs(handler);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_FALSE(runs[0].ended);
  EXPECT_EQ(runs[0].args, opener_args(url));
  EXPECT_EQ(runs[0].input, "");
  programs.release(handler);
  EXPECT_TRUE(programs.wait_until_ended(handler));
}

TEST(OpenUrl, TwoCallsStartTwoHandlers) {
  test::StandIns programs;
  const std::string handler = platform::url_opener().program;
  programs.place(handler);
  EXPECT_TRUE(open_url("one"));
  EXPECT_TRUE(open_url("mailto:?subject=a%20b"));
  ASSERT_TRUE(programs.wait_for_runs(handler, 2));
  const auto runs = programs.runs(handler);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].args, opener_args("mailto:?subject=a%20b"));
  EXPECT_EQ(runs[1].args, opener_args("one"));
}

TEST(OpenUrl, AUrlWithANulStartsNothing) {
  test::StandIns programs;
  const std::string handler = platform::url_opener().program;
  programs.place(handler);
  EXPECT_FALSE(open_url(std::string("https://x.example/\0evil", 23)));
  EXPECT_TRUE(open_url("https://x.example/"));  // the handler itself could have been started
  ASSERT_TRUE(programs.wait_for_runs(handler, 1));
  const auto runs = programs.runs(handler);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].args, opener_args("https://x.example/"));
}

}  // namespace
}  // namespace qel
