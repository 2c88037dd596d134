#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/api_error.h"

namespace qel {
namespace {

HttpOutcome reply(std::uint16_t status, std::string body, HttpHeaders headers = {}) {
  HttpReply r;
  r.status = status;
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}

HttpOutcome unreadable(std::uint16_t status, std::string why) {
  HttpReply r;
  r.status = status;
  r.body = fail(std::move(why));
  return r;
}

TEST(CheckResponse, SuccessfulRepliesYieldAnyJsonDocument) {
  struct Case {
    std::string body;
    Json expected;
  };
  const Case cases[] = {
      {R"({"a":1})", Json{{"a", 1}}},
      {"null", Json()},
      {"[]", Json::array()},
      {"42", Json(42)},
      {"  \n\"text\"\t ", Json("text")},
      {"true", Json(true)},
  };
  for (const auto& c : cases) {
    for (std::uint16_t status : {200, 201, 302}) {
      auto result = check_response(reply(status, c.body));
      ASSERT_TRUE(result.ok()) << c.body;
      EXPECT_EQ(*result, c.expected) << c.body;
    }
  }
}

TEST(CheckResponse, SuccessfulReplyThatIsNotJsonIsAnInvalidResponseAt200) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& body :
       std::vector<std::string>{"", "<html>hi</html>", "{\"a\":1} trailing", "{", deep}) {
    for (std::uint16_t status : {200, 201, 204, 304}) {
      auto result = check_response(reply(status, body));
      ASSERT_FALSE(result.ok());
      const ApiError& e = result.error();
      EXPECT_EQ(e.code, "invalid_response");
      EXPECT_EQ(e.message, "The server returned an unexpected response.");
      EXPECT_EQ(e.http_status, 200);
      EXPECT_FALSE(e.retry_after);
      EXPECT_FALSE(is_retryable(e));
      EXPECT_EQ(format_api_error(e),
                "The server returned an unexpected response. (invalid_response, HTTP 200)");
    }
  }
}

TEST(CheckResponse, BodyIsReadAsLossyUtf8) {
  auto result = check_response(reply(200,
                                     "\"a\xFF"
                                     "b\""));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, Json("a\xEF\xBF\xBD"
                          "b"));

  auto refused = check_response(reply(400, R"({"error":{"code":"x","message":"bad )"
                                           "\xC3"
                                           R"("}})"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message, "bad \xEF\xBF\xBD");
}

TEST(CheckResponse, FailuresWithoutAReplyAreNetworkErrors) {
  auto failed = check_response(TransportFailure{"http://h/me: Dns Failed: no such host"});
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().code, "network");
  EXPECT_EQ(failed.error().http_status, 0);
  EXPECT_EQ(format_api_error(failed.error()),
            "Network error: http://h/me: Dns Failed: no such host");
  EXPECT_TRUE(is_retryable(failed.error()));

  // A successful reply whose body cannot be read (too large, connection lost) is one too.
  auto body_failed = check_response(unreadable(200, "http://h/me: Network Error: too large"));
  ASSERT_FALSE(body_failed.ok());
  EXPECT_EQ(body_failed.error().code, "network");
  EXPECT_EQ(body_failed.error().http_status, 0);
  EXPECT_EQ(body_failed.error().message, "Network error: http://h/me: Network Error: too large");
}

TEST(CheckResponse, RefusedRequestsTakeCodeAndMessageOnlyFromTheErrorObject) {
  struct Case {
    std::uint16_t status;
    std::string body;
    std::string code;
    std::string message;
  };
  const Case cases[] = {
      {400, R"({"error":{"code":"bad","message":"Nope."}})", "bad", "Nope."},
      {404, R"({"code":"not_found","message":"Top level."})", "http_error",
       "The server answered with HTTP 404."},
      {400, R"({"error":"just text"})", "http_error", "The server answered with HTTP 400."},
      {400, R"({"error":{"code":7,"message":"Kept."}})", "http_error", "Kept."},
      {400, R"({"error":{"code":"c"}})", "c", "The server answered with HTTP 400."},
      {400, R"({"error":{"code":"","message":""}})", "", ""},
      {503, "<html>down</html>", "http_error", "The server answered with HTTP 503."},
      {500, "", "http_error", "The server answered with HTTP 500."},
      {422, R"([{"error":{"code":"in_array"}}])", "http_error",
       "The server answered with HTTP 422."},
      {400, std::string(100000, '{'), "http_error", "The server answered with HTTP 400."},
      // Only "error", "code" and "message" are built; whatever stands around them is checked.
      {429, R"({"a":[{"error":{"code":"inner"}}],"error":{"x":{"code":"deep"},"code":"ip_blocked",)"
            R"("message":"Slow down.","y":[1]},"z":{"message":"other"}})",
       "ip_blocked", "Slow down."},
      {400, R"({"error":{"code":"first"},"error":{"code":"last"}})", "last",
       "The server answered with HTTP 400."},
      {400, R"({"error":{"code":["bad"],"message":{"text":"no"}}})", "http_error",
       "The server answered with HTTP 400."},
      {400, R"({"error":{"code":"c","message":"m"}} trailing)", "http_error",
       "The server answered with HTTP 400."},
      {400, R"({"error":{"code":"c","message":"m"},"deep":)" + std::string(200, '[') +
                std::string(200, ']') + "}",
       "http_error", "The server answered with HTTP 400."},
  };
  for (const auto& c : cases) {
    auto result = check_response(reply(c.status, c.body));
    ASSERT_FALSE(result.ok()) << c.body;
    EXPECT_EQ(result.error().code, c.code) << c.body;
    EXPECT_EQ(result.error().message, c.message) << c.body;
    EXPECT_EQ(result.error().http_status, c.status) << c.body;
  }
}

TEST(CheckResponse, UnreadableBodyOfARefusalIsTreatedAsEmpty) {
  auto result = check_response(unreadable(502, "lost"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, "http_error");
  EXPECT_EQ(result.error().message, "The server answered with HTTP 502.");
  EXPECT_EQ(result.error().http_status, 502);
}

TEST(CheckResponse, RetryAfterIsReadFromTheFirstHeaderOfARefusal) {
  struct Case {
    HttpHeaders headers;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {{{"Retry-After", "120"}}, 120},
      {{{"retry-after", " 7 "}}, 7},
      {{{"RETRY-AFTER", "+7"}}, 7},
      {{{"Retry-After", "-7"}}, std::nullopt},
      {{{"Retry-After", "7s"}}, std::nullopt},
      {{{"Retry-After", ""}}, std::nullopt},
      {{{"Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"}}, std::nullopt},
      {{{"Retry-After", "18446744073709551615"}}, 18446744073709551615ull},
      {{{"Retry-After", "18446744073709551616"}}, std::nullopt},
      {{{"Retry-After", "3"}, {"Retry-After", "9"}}, 3},
      {{{"X-Retry-After", "3"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto result = check_response(reply(503, "", c.headers));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().retry_after, c.expected) << c.headers.front().second;
  }
  // Only refusals carry it.
  auto invalid = check_response(reply(200, "", {{"Retry-After", "5"}}));
  ASSERT_FALSE(invalid.ok());
  EXPECT_FALSE(invalid.error().retry_after);
}

// An accepted chunk's reply is only checked: the same outcomes as check_response, with
// null in place of the value that nobody reads.
TEST(CheckResponse, AnUnreadValueIsCheckedLikeAParsedOne) {
  const std::vector<HttpOutcome> outcomes = {
      reply(200, R"({"received":4096})"),
      reply(201, " [{},{},{}] "),
      reply(200, "\"a\xFF\""),
      reply(200, std::string(128, '[') + std::string(128, ']')),
      reply(200, std::string(129, '[') + std::string(129, ']')),
      reply(200, ""),
      reply(204, ""),
      reply(200, "{\"a\":1} trailing"),
      reply(200, std::string("[1]\0junk", 8)),
      reply(400, R"({"error":{"code":"invalid_chunk","message":"Again."}})"),
      reply(503, "<html>down</html>", {{"Retry-After", "3"}}),
      unreadable(200, "http://h/c: Network Error: the reply body is larger than 10 MiB"),
      unreadable(502, "lost"),
      TransportFailure{"http://h/c: Network Error: Empty reply from server"},
  };
  for (const HttpOutcome& outcome : outcomes) {
    const auto parsed = check_response(outcome);
    const auto checked = check_response_unread(outcome);
    const auto* r = std::get_if<HttpReply>(&outcome);
    const std::string shown = r && r->body.ok() ? r->body.value() : "(no body)";
    ASSERT_EQ(checked.ok(), parsed.ok()) << shown;
    if (checked.ok()) {
      EXPECT_TRUE(checked.value().is_null()) << shown;
      continue;
    }
    EXPECT_EQ(checked.error().code, parsed.error().code) << shown;
    EXPECT_EQ(checked.error().message, parsed.error().message) << shown;
    EXPECT_EQ(checked.error().http_status, parsed.error().http_status) << shown;
    EXPECT_EQ(checked.error().retry_after, parsed.error().retry_after) << shown;
  }
}

TEST(ApiErrorText, StatusZeroShowsTheMessageAlone) {
  EXPECT_EQ(format_api_error(network_error("x: Connection Failed")),
            "Network error: x: Connection Failed");
  ApiError empty;
  empty.http_status = 400;
  EXPECT_EQ(format_api_error(empty), " (, HTTP 400)");
  ApiError refused{std::nullopt, "http_error", "The server answered with HTTP 503.", 503};
  EXPECT_EQ(format_api_error(refused), "The server answered with HTTP 503. (http_error, HTTP 503)");
}

TEST(RetryRule, Table) {
  struct Case {
    std::uint16_t status;
    std::string code;
    bool retryable;
  };
  const Case cases[] = {
      {0, "network", true},
      {500, "http_error", true},
      {503, "anything", true},
      {599, "x", true},
      {429, "rate_limited", true},
      {429, "http_error", true},
      {429, "ip_blocked", false},
      {429, "IP_BLOCKED", true},
      {409, "checksum_mismatch", true},
      {200, "checksum_mismatch", true},
      {400, "invalid_chunk", true},
      {422, "invalid_chunk", false},
      {400, "Invalid_Chunk", false},
      {200, "invalid_response", false},
      {401, "unauthorized", false},
      {404, "http_error", false},
      {499, "http_error", false},
  };
  for (const auto& c : cases) {
    ApiError e{std::nullopt, c.code, "m", c.status};
    EXPECT_EQ(is_retryable(e), c.retryable) << c.status << " " << c.code;
  }
}

}  // namespace
}  // namespace qel
