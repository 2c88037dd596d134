// The configuration's format and the rules that pick the key and URL in force.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/config.h"
#include "support/build.h"
#include "support/env.h"

namespace qel {
namespace {

std::string show(const std::optional<Config>& c) {
  if (!c) return "fails";
  auto field = [](const std::optional<std::string>& f) { return f ? "[" + *f + "]" : "none"; };
  return field(c->api_key) + " " + field(c->api_url);
}

TEST(ConfigReader, AcceptsExactlyWhatTheFormatAllows) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {R"({})", "none none"},
      {R"({"api_key":"k","api_url":"u"})", "[k] [u]"},
      {R"({"api_url":"u","api_key":"k"})", "[k] [u]"},
      {R"({"api_key":null,"api_url":null})", "none none"},
      {R"({"api_key":""})", "[] none"},
      {R"({"api_key":"  spaced  "})", "[  spaced  ] none"},
      {R"({"api_key":"a\"b\\c\/d\u00e9\n\ud83d\ude00"})", "[a\"b\\c/d\xC3\xA9\n\xF0\x9F\x98\x80] none"},
      {R"({"other":1,"more":[true,{"api_key":5}]})", "none none"},
      {R"({"x":{"y":[[{"z":null}]]},"api_url":"https://h/api/v1"})", "none [https://h/api/v1]"},
      {R"({"API_KEY":"k"})", "none none"},  // names are compared exactly
      {R"({"api\u005fkey":"k"})", "[k] none"},  // ... after unescaping
      {R"({"x":1,"x":2,"api_url":"u"})", "none [u]"},  // duplicates of other names are skipped
      {R"({"api_key":"a","api_key":"a"})", "fails"},
      {R"({"api_key":null,"api_key":null})", "fails"},
      {R"({"api_url":"u","api_key":"k","api\u005furl":"u"})", "fails"},
      {R"({"api_key":5,"api_url":"u"})", "fails"},
      {R"({"api_key":true})", "fails"},
      {R"({"api_key":["k"]})", "fails"},
      {R"({"api_url":{}})", "fails"},
      {R"(["k","u"])", "[k] [u]"},
      {R"([null,null])", "none none"},
      {R"([null,"u"])", "none [u]"},
      {R"(["k"])", "fails"},
      {R"(["k","u","x"])", "fails"},
      {R"([])", "fails"},
      {R"(["k",1])", "fails"},
      {R"([["k"],"u"])", "fails"},
      {R"("k")", "fails"},
      {R"(5)", "fails"},
      {R"(null)", "fails"},
      {R"(true)", "fails"},
      {"", "fails"},
      {"   ", "fails"},
      {" \t\r\n{\"api_key\":\"k\"} \t\r\n", "[k] none"},
      {"{\"api_key\":\"k\"}x", "fails"},
      {"{\"api_key\":\"k\"}{}", "fails"},
      {"{\"api_key\":\"k\"}\f", "fails"},
      {"{\"api_key\":\"k\"}\xC2\xA0", "fails"},  // Unicode white space is not JSON white space
      {"\xEF\xBB\xBF{\"api_key\":\"k\"}", "fails"},
      {std::string("{\"api_key\":\"k\"}\0", 16), "fails"},  // a NUL byte is no end of file
      {std::string("{\"api_key\":\"k\"}\0{\"api_key\":5}", 29), "fails"},
      {"{\"api_key\":\"\xFF\"}", "fails"},
      {"{\"x\":\"\xFF\"}", "fails"},
      {"{\"api_key\":\"k\",}", "fails"},
      {"{\"api_key\":\"k\" /* c */}", "fails"},
      {std::string(128, '[') + std::string(128, ']'), "fails"},  // array form, wrong size
      {"{\"x\":" + std::string(200000, '[') + std::string(200000, ']') + ",\"api_url\":\"u\"}",
       "none [u]"},  // other members are skipped however deep they nest
      {"{\"x\":" + std::string(200000, '[') + std::string(199999, ']') + ",\"api_url\":\"u\"}",
       "fails"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(parse_config_text(c.text)), c.expected) << c.text.substr(0, 80);
  }
}

TEST(ConfigWriter, WritesTheExactBytes) {
  struct Case {
    Config config;
    std::string bytes;
  };
  const Case cases[] = {
      {{}, "{}"},
      {{std::nullopt, "https://h/api/v1"}, "{\n  \"api_url\": \"https://h/api/v1\"\n}"},
      {{"k", std::nullopt}, "{\n  \"api_key\": \"k\"\n}"},
      {{"k", "u"}, "{\n  \"api_key\": \"k\",\n  \"api_url\": \"u\"\n}"},
      {{"", ""}, "{\n  \"api_key\": \"\",\n  \"api_url\": \"\"\n}"},
      {{"a\"b\\c/\xC8\x99\x7F", std::nullopt},
       "{\n  \"api_key\": \"a\\\"b\\\\c/\xC8\x99\x7F\"\n}"},
      {{std::string("\b\t\n\f\r\x01\x1f") + std::string(1, '\0'), std::nullopt},
       "{\n  \"api_key\": \"\\b\\t\\n\\f\\r\\u0001\\u001f\\u0000\"\n}"},
  };
  for (const auto& c : cases) {
    const std::string bytes = config_file_bytes(c.config);
    EXPECT_EQ(bytes, c.bytes);
    // What is written reads back as the same record.
    EXPECT_EQ(show(parse_config_text(bytes)), show(c.config));
  }
}

// The variables that override the saved values, unset for each test.
class ConfigEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.unset("QEL_API_KEY");
    env_.unset("QEL_API_URL");
  }

  test::ScopedEnv env_;
};

TEST_F(ConfigEnvironment, ResolvesTheKeyInForce) {
  const std::string INVALID(test::build::invalid_text);
  struct Case {
    std::optional<std::string> env;
    std::optional<std::string> saved;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {"env", std::nullopt, "env"},
      {"  env \t", "saved", "env"},
      {"\xE3\x80\x80" "env\xC2\x85", std::nullopt, "env"},  // U+3000 and U+0085 trimmed
      {"\xE2\x80\x8B" "env", std::nullopt, "\xE2\x80\x8B" "env"},  // U+200B is no white space
      {"   ", "saved", "saved"},
      {"", "saved", "saved"},
      {"\xC2\xA0\xE2\x80\xA8", std::nullopt, std::nullopt},
      {INVALID, "saved", "saved"},  // not valid Unicode: as if unset
      {std::nullopt, " saved ", "saved"},
      {std::nullopt, "   ", ""},  // a present, empty key
      {std::nullopt, "", ""},
  };
  for (const auto& c : cases) {
    env_.put("QEL_API_KEY", c.env);
    EXPECT_EQ(resolve_api_key({c.saved, std::nullopt}), c.expected)
        << c.env.value_or("<unset>") << " / " << c.saved.value_or("<none>");
  }
}

TEST_F(ConfigEnvironment, ResolvesTheUrlInForce) {
  const std::string INVALID(test::build::invalid_text);
  struct Case {
    std::optional<std::string> env;
    std::optional<std::string> saved;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, std::string(DEFAULT_API_URL)},
      {"http://127.0.0.1:5/api/v1///", "https://saved", "http://127.0.0.1:5/api/v1"},
      {"http://h/api/ ", std::nullopt, "http://h/api/ "},  // not trimmed: the "/" stays
      {" http://h ", std::nullopt, " http://h "},
      {"  ", "https://saved/", "https://saved"},
      {INVALID, "https://saved", "https://saved"},
      {std::nullopt, "", ""},  // an empty saved URL is used as it is
      {std::nullopt, "///", ""},
      {std::nullopt, "http://h\\", "http://h\\"},
      {std::nullopt, " http://h/ ", " http://h/ "},
  };
  for (const auto& c : cases) {
    env_.put("QEL_API_URL", c.env);
    EXPECT_EQ(resolve_api_url({std::nullopt, c.saved}), c.expected)
        << c.env.value_or("<unset>") << " / " << c.saved.value_or("<none>");
  }
  EXPECT_EQ(DEFAULT_API_URL.back(), '1');
}

}  // namespace
}  // namespace qel
