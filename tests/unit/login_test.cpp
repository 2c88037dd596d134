// The device-code sign-in's rules: reading the authorization, polling, names and greeting.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "login/device_login.h"
#include "login/login_internal.h"
#include "platform/platform.h"
#include "support/build.h"
#include "support/files.h"
#include "support/stand_ins.h"

namespace qel {
namespace {

namespace fs = std::filesystem;
using login_detail::Clock;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

TEST(DeviceAuthorization, ReadsMembersWithTheirFallbacks) {
  EXPECT_FALSE(read_device_authorization(Json::parse(R"({"user_code":"A"})")));
  EXPECT_FALSE(read_device_authorization(Json::parse(R"({"device_code":7})")));
  EXPECT_FALSE(read_device_authorization(Json::parse(R"(["device_code"])")));

  const auto full = read_device_authorization(Json::parse(
      R"({"device_code":"d","user_code":"U","verification_url":"v","verification_url_complete":"vc",
          "interval":5,"expires_in":30})"));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->device_code, "d");
  EXPECT_EQ(full->user_code, "U");
  EXPECT_EQ(full->verification_url, "v");
  EXPECT_EQ(full->verification_url_complete, "vc");
  EXPECT_EQ(full->interval, 5u);
  EXPECT_EQ(full->expires_in, 30u);

  const auto bare = read_device_authorization(Json::parse(R"({"device_code":"d","verification_url":"v"})"));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->user_code, "");
  EXPECT_EQ(bare->verification_url_complete, "v");
  EXPECT_EQ(bare->interval, 3u);
  EXPECT_EQ(bare->expires_in, 600u);

  // Only a non-negative JSON integer counts as a number of seconds.
  struct Case {
    const char* value;
    std::uint64_t interval;
    std::uint64_t expires_in;
  };
  const Case numbers[] = {
      {"0", 1, 0},   {"-4", 3, 600},   {"2.5", 3, 600}, {"1e1", 3, 600},
      {"\"5\"", 3, 600}, {"null", 3, 600}, {"18446744073709551615", U64_MAX, U64_MAX},
      {"18446744073709551616", 3, 600},
  };
  for (const auto& c : numbers) {
    const std::string doc = std::string(R"({"device_code":"d","interval":)") + c.value +
                            R"(,"expires_in":)" + c.value + "}";
    const auto auth = read_device_authorization(Json::parse(doc));
    ASSERT_TRUE(auth) << doc;
    EXPECT_EQ(auth->interval, c.interval) << doc;
    EXPECT_EQ(auth->expires_in, c.expires_in) << doc;
  }
  // Values built in code (signed integers) read the same way.
  const auto built = read_device_authorization(Json{{"device_code", "d"}, {"interval", 4}, {"expires_in", -1}});
  ASSERT_TRUE(built);
  EXPECT_EQ(built->interval, 4u);
  EXPECT_EQ(built->expires_in, 600u);
}

// A clock that only moves when the sign-in sleeps, and a service that answers by script.
struct PollRun {
  std::vector<std::uint64_t> sleeps;
  int polls = 0;
  Result<std::string> outcome = std::string();
};

ApiError api_error(std::string code, std::uint16_t status) {
  return ApiError{std::nullopt, std::move(code), "Message from the server.", status};
}

PollRun run_poll(std::uint64_t interval, std::uint64_t expires_in,
                 std::deque<ApiResult<Json>> replies, bool romanian = false) {
  PollRun run;
  Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
  login_detail::PollClock clock{
      [&] { return now; },
      [&](std::uint64_t seconds) {
        run.sleeps.push_back(seconds);
        // Far beyond any deadline the test sets; saturating keeps the fake clock valid.
        const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now);
        now = seconds >= static_cast<std::uint64_t>(room.count())
                  ? Clock::time_point::max()
                  : now + std::chrono::seconds(static_cast<std::int64_t>(seconds));
      },
  };
  DeviceAuthorization auth;
  auth.device_code = "d";
  auth.interval = interval;
  auth.expires_in = expires_in;
  run.outcome = login_detail::poll_for_token(auth, romanian, clock, [&]() -> ApiResult<Json> {
    ++run.polls;
    if (replies.empty()) return fail(api_error("script_ended", 400));
    ApiResult<Json> r = std::move(replies.front());
    replies.pop_front();
    return r;
  });
  return run;
}

ApiResult<Json> token_reply() { return Json{{"access_token", " qec_tok "}, {"token_type", "bearer"}}; }
ApiResult<Json> refused(const char* code, std::uint16_t status = 400) {
  return fail(api_error(code, status));
}

TEST(DevicePolling, IntervalRules) {
  struct Case {
    const char* name;
    std::uint64_t interval;
    std::deque<ApiResult<Json>> replies;
    std::vector<std::uint64_t> sleeps;
  };
  const Case cases[] = {
      {"pending then approved", 1, {refused("authorization_pending"), token_reply()}, {1, 1}},
      {"slow_down adds two each time", 5,
       {refused("slow_down"), refused("slow_down"), token_reply()}, {5, 7, 9}},
      {"a network failure raises to 3 and it stays", 1,
       {refused("authorization_pending"), refused("network", 0), refused("authorization_pending"),
        token_reply()},
       {1, 1, 3, 3}},
      {"a 5xx and a 429 are retried too", 4, {refused("server_error", 503), refused("rate_limited", 429), token_reply()},
       {4, 4, 4}},
  };
  for (const auto& c : cases) {
    PollRun run = run_poll(c.interval, 600, c.replies);
    ASSERT_TRUE(run.outcome) << c.name << ": " << run.outcome.error();
    EXPECT_EQ(*run.outcome, " qec_tok ") << c.name;  // the token exactly as given
    EXPECT_EQ(run.sleeps, c.sleeps) << c.name;
  }
}

TEST(DevicePolling, EndingsAndTheirTexts) {
  const std::string expired = "the request expired. Try again.";
  const std::string denied = "the request was denied.";
  struct Case {
    const char* name;
    std::deque<ApiResult<Json>> replies;
    int polls;
    std::string error;
  };
  const ApiError unauthorized = api_error("unauthorized", 401);
  const ApiError blocked = api_error("ip_blocked", 429);
  const Case cases[] = {
      {"access_denied even on a 5xx", {refused("authorization_pending"), refused("access_denied", 500)}, 2, denied},
      {"expired_token", {refused("expired_token")}, 1, expired},
      {"a 401 ends at once", {refused("unauthorized", 401), token_reply()}, 1, format_api_error(unauthorized)},
      {"ip_blocked ends at once", {refused("ip_blocked", 429), token_reply()}, 1, format_api_error(blocked)},
      {"a reply without a token", {ApiResult<Json>(Json{{"token", "x"}})}, 1, "unexpected response from the server"},
      {"a token that is not a string", {ApiResult<Json>(Json{{"access_token", 5}})}, 1,
       "unexpected response from the server"},
  };
  for (const auto& c : cases) {
    PollRun run = run_poll(1, 600, c.replies);
    ASSERT_FALSE(run.outcome) << c.name;
    EXPECT_EQ(run.outcome.error(), c.error) << c.name;
    EXPECT_EQ(run.polls, c.polls) << c.name;
  }
}

TEST(DevicePolling, TheDeadlineBoundsEveryPause) {
  // expires_in 0: the first pause is slept, then the expiry ends it without a poll.
  PollRun zero = run_poll(1, 0, {token_reply()});
  EXPECT_EQ(zero.polls, 0);
  EXPECT_EQ(zero.sleeps, std::vector<std::uint64_t>{1});
  ASSERT_FALSE(zero.outcome);
  EXPECT_EQ(zero.outcome.error(), "the request expired. Try again.");

  // An absurd interval is cut to the time left plus a second: no hang, no poll.
  PollRun absurd = run_poll(U64_MAX, 10, {token_reply()});
  EXPECT_EQ(absurd.polls, 0);
  EXPECT_EQ(absurd.sleeps, std::vector<std::uint64_t>{11});
  ASSERT_FALSE(absurd.outcome);

  // Pending answers run into the deadline; the last pause is shortened to just pass it.
  PollRun pending = run_poll(4, 10, {refused("authorization_pending"), refused("authorization_pending"),
                                     refused("authorization_pending")});
  EXPECT_EQ(pending.sleeps, (std::vector<std::uint64_t>{4, 4, 3}));
  EXPECT_EQ(pending.polls, 2);
  ASSERT_FALSE(pending.outcome);
  EXPECT_EQ(pending.outcome.error(), "the request expired. Try again.");

  // A lifetime too long for the clock neither fails nor ends the sign-in.
  PollRun forever = run_poll(2, U64_MAX, {refused("authorization_pending"), token_reply()});
  ASSERT_TRUE(forever.outcome);
  EXPECT_EQ(forever.sleeps, (std::vector<std::uint64_t>{2, 2}));
}

TEST(DevicePolling, RomanianTexts) {
  PollRun expired = run_poll(1, 600, {refused("expired_token")}, true);
  ASSERT_FALSE(expired.outcome);
  EXPECT_EQ(expired.outcome.error(), "cererea a expirat. Încearcă din nou.");
  PollRun denied = run_poll(1, 600, {refused("access_denied")}, true);
  ASSERT_FALSE(denied.outcome);
  EXPECT_EQ(denied.outcome.error(), "cererea a fost refuzată.");
  PollRun no_token = run_poll(1, 600, {ApiResult<Json>(Json::object())}, true);
  ASSERT_FALSE(no_token.outcome);
  EXPECT_EQ(no_token.outcome.error(), "unexpected response from the server");
}

TEST(DeadlineAfter, ClampsAtTheEndOfTheClock) {
  const Clock::time_point now = Clock::time_point() + std::chrono::hours(5);
  EXPECT_EQ(login_detail::deadline_after(now, 600), now + std::chrono::seconds(600));
  EXPECT_EQ(login_detail::deadline_after(now, U64_MAX), Clock::time_point::max());
  EXPECT_EQ(login_detail::deadline_after(now, 1ull << 40), Clock::time_point::max());
  EXPECT_EQ(login_detail::pause_before_poll(7, now, now + std::chrono::milliseconds(1500)), 3u);
  EXPECT_EQ(login_detail::pause_before_poll(2, now, Clock::time_point::max()), 2u);
  EXPECT_EQ(login_detail::pause_before_poll(9, now + std::chrono::seconds(1), now), 1u);
}

TEST(Greeting, NamesTheAccountInBothLanguages) {
  struct Case {
    const char* account;
    const char* english;
    const char* romanian;
  };
  const Case cases[] = {
      {R"({"email":"ana@example.com","plan":{"name":"Business"}})",
       "Logged in as ana@example.com (Business plan).", "Conectat ca ana@example.com (plan Business)."},
      {R"({"email":"a@b"})", "Logged in as a@b (- plan).", "Conectat ca a@b (plan -)."},
      {R"({"email":7,"plan":{"name":3}})", "Logged in as - (- plan).", "Conectat ca - (plan -)."},
      {R"({"plan":"Business"})", "Logged in as - (- plan).", "Conectat ca - (plan -)."},
      {"null", "Logged in as - (- plan).", "Conectat ca - (plan -)."},
  };
  for (const auto& c : cases) {
    const Json account = Json::parse(c.account);
    EXPECT_EQ(logged_in_greeting(false, account), c.english);
    EXPECT_EQ(logged_in_greeting(true, account), c.romanian);
  }
}

TEST(ClientName, NamesTheComputerAndTheSystem) {
  EXPECT_EQ(client_name("DESK"), test::build::windows ? "qel - DESK (Windows)" : "qel - DESK (Linux)");
}

// ---- computer name -------------------------------------------------------------------

// A stand-in "hostname" program and a file of the test's own in place of /etc/hostname.
class ComputerName : public ::testing::Test {
 protected:
  // A fake "hostname" that prints `output`; its runs are recorded.
  void fake_hostname(const std::string& output) {
    programs_.place("hostname");
    programs_.print("hostname", output);
  }
  bool program_ran() const { return !programs_.runs("hostname").empty(); }

  fs::path file(const std::string& content) { return dir_.write("hostname-file", content); }
  fs::path missing_file() const { return dir_.path() / "no-such-file"; }

  std::string name(std::map<std::string, std::optional<std::string>> vars, const fs::path& path) {
    auto env = [&](const char* key) -> platform::EnvVar {
      const auto it = vars.find(key);
      if (it == vars.end()) return {};
      if (!it->second) return {platform::EnvVar::State::invalid, {}};
      return {platform::EnvVar::State::set, *it->second};
    };
    return login_detail::computer_name_from(env, path);
  }

  test::TempFolder dir_;
  test::StandIns programs_;
};

TEST_F(ComputerName, EnvironmentComesFirst) {
  fake_hostname("from-program");
  const fs::path f = file("from-file\n");
  EXPECT_EQ(name({{"COMPUTERNAME", " DESK \t"}, {"HOSTNAME", "other"}}, f), "DESK");
  EXPECT_EQ(name({{"COMPUTERNAME", " \xE3\x80\x80 "}, {"HOSTNAME", "box"}}, f), "box");
  EXPECT_EQ(name({{"COMPUTERNAME", std::nullopt}, {"HOSTNAME", "box"}}, f), "box");
  EXPECT_EQ(name({{"COMPUTERNAME", ""}, {"HOSTNAME", "  "}}, f), "from-file");
  EXPECT_FALSE(program_ran());
}

TEST_F(ComputerName, CutToSixtyCharacters) {
  const std::string seventy_letters(70, 'a');
  EXPECT_EQ(name({{"COMPUTERNAME", seventy_letters}}, missing_file()), std::string(60, 'a'));
  std::string wide;
  for (int i = 0; i < 70; ++i) wide += "\xC8\x99";  // two bytes each: counted as one
  std::string sixty_wide;
  for (int i = 0; i < 60; ++i) sixty_wide += "\xC8\x99";
  EXPECT_EQ(name({{"HOSTNAME", wide}}, missing_file()), sixty_wide);
}

TEST_F(ComputerName, FileBeatsProgramEvenWhenBlank) {
  fake_hostname("from-program");
  EXPECT_EQ(name({}, file("  studio-3 \n")), "studio-3");
  EXPECT_EQ(name({}, file("\n")), "computer");
  EXPECT_FALSE(program_ran());
}

TEST_F(ComputerName, ProgramWhenTheFileIsMissingOrNotText) {
  fake_hostname(" lab\xFFpc \n");
  EXPECT_EQ(name({}, missing_file()), "lab\xEF\xBF\xBDpc");
  EXPECT_TRUE(program_ran());
  EXPECT_EQ(name({}, file("bad\xFF")), "lab\xEF\xBF\xBDpc");
  const auto runs = programs_.runs("hostname");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_TRUE(runs[0].args.empty());  // run without arguments
  EXPECT_EQ(runs[0].input, "");       // and with no standard input
}

TEST_F(ComputerName, ComputerWhenTheProgramPrintsBlanks) {
  fake_hostname("   ");
  EXPECT_EQ(name({}, missing_file()), "computer");
  EXPECT_TRUE(program_ran());
}

}  // namespace
}  // namespace qel
