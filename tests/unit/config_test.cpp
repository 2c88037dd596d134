#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "config/config.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one test and puts the old values back afterwards.
class EnvGuard {
 public:
  void set(const char* name, const std::optional<std::string>& value) {
    if (saved_.find(name) == saved_.end()) {
      const char* old = std::getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

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

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qel-config-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "home");
    env_.set("HOME", (root_ / "home").string());
    env_.set("XDG_CONFIG_HOME", std::nullopt);
    env_.set("QEL_API_KEY", std::nullopt);
    env_.set("QEL_API_URL", std::nullopt);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }

  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static unsigned mode_of(const fs::path& p) {
    return static_cast<unsigned>(fs::status(p).permissions());
  }

  fs::path root_;
  EnvGuard env_;
};

TEST_F(ConfigFile, LivesUnderXdgConfigHomeOrHome) {
  EXPECT_EQ(config_path(), root_ / "home" / ".config" / "qel" / "config.json");
  env_.set("XDG_CONFIG_HOME", (root_ / "xdg").string());
  EXPECT_EQ(config_path(), root_ / "xdg" / "qel" / "config.json");
  env_.set("XDG_CONFIG_HOME", (root_ / "x\xff").string());  // a path is any bytes
  EXPECT_EQ(config_path(), root_ / "x\xff" / "qel" / "config.json");
  env_.set("XDG_CONFIG_HOME", "relative/xdg");  // not absolute: ignored
  EXPECT_EQ(config_path(), root_ / "home" / ".config" / "qel" / "config.json");
  env_.set("XDG_CONFIG_HOME", "");
  EXPECT_EQ(config_path(), root_ / "home" / ".config" / "qel" / "config.json");
  env_.set("HOME", std::nullopt);
  EXPECT_EQ(config_path(), std::nullopt);
  auto saved = save_config({"k", std::nullopt});
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error(), "cannot determine the configuration directory");
  EXPECT_EQ(show(load_config()), "none none");
}

TEST_F(ConfigFile, SaveCreatesAPrivateFolderAndFileAndLoadReadsThemBack) {
  const fs::path xdg = root_ / "deep" / "xdg";
  env_.set("XDG_CONFIG_HOME", xdg.string());
  EXPECT_EQ(show(load_config()), "none none");  // no file yet

  auto saved = save_config({"key-1", "https://h/api/v1"});
  ASSERT_TRUE(saved.ok()) << saved.error();
  EXPECT_EQ(*saved, xdg / "qel" / "config.json");
  EXPECT_EQ(read(*saved), "{\n  \"api_key\": \"key-1\",\n  \"api_url\": \"https://h/api/v1\"\n}");
  EXPECT_EQ(mode_of(xdg / "qel"), 0700u);
  EXPECT_EQ(mode_of(*saved), 0600u);
  EXPECT_EQ(show(load_config()), "[key-1] [https://h/api/v1]");

  // A later save rewrites the whole file, shorter too, and keeps it private.
  fs::permissions(*saved, fs::perms::owner_read | fs::perms::owner_write |
                              fs::perms::group_read | fs::perms::others_read);
  ASSERT_TRUE(save_config({}).ok());
  EXPECT_EQ(read(*saved), "{}");
  EXPECT_EQ(mode_of(*saved), 0600u);
  EXPECT_EQ(show(load_config()), "none none");
}

TEST_F(ConfigFile, SaveFailuresNameThePathAndTheSystemError) {
  env_.set("XDG_CONFIG_HOME", (root_ / "xdg").string());
  // A file where the folder belongs.
  fs::create_directories(root_ / "xdg");
  std::ofstream(root_ / "xdg" / "qel") << "not a folder";
  auto saved = save_config({"k", std::nullopt});
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error(), "cannot create " + (root_ / "xdg" / "qel").string() +
                               ": Not a directory (os error 20)");

  // A folder where the file belongs.
  fs::remove(root_ / "xdg" / "qel");
  fs::create_directories(root_ / "xdg" / "qel" / "config.json");
  saved = save_config({"k", std::nullopt});
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error(), "cannot write " + (root_ / "xdg" / "qel" / "config.json").string() +
                               ": Is a directory (os error 21)");
  EXPECT_EQ(show(load_config()), "none none");  // a folder in its place reads as empty

  // Paths in the texts are shown as text, whatever bytes they hold.
  const fs::path odd = root_ / "odd\xff";
  env_.set("XDG_CONFIG_HOME", odd.string());
  fs::create_directories(odd);
  std::ofstream(odd / "qel") << "not a folder";
  saved = save_config({});
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error(), "cannot create " + root_.string() +
                               "/odd\xEF\xBF\xBD/qel: Not a directory (os error 20)");
}

TEST_F(ConfigFile, UnreadableOrMalformedFilesReadAsEmpty) {
  const fs::path file = root_ / "home" / ".config" / "qel" / "config.json";
  fs::create_directories(file.parent_path());
  for (const char* text : {"{\"api_key\":\"k\"", "\xEF\xBB\xBF{}", "{\"api_key\":\"\xC3\"}", ""}) {
    std::ofstream(file, std::ios::binary) << text;
    EXPECT_EQ(show(load_config()), "none none") << text;
  }
  std::ofstream(file, std::ios::binary) << "[\"k\", \"u\"]\n";
  EXPECT_EQ(show(load_config()), "[k] [u]");
}

TEST_F(ConfigFile, ResolvesTheKeyInForce) {
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
      {"\xFF", "saved", "saved"},  // not valid Unicode: as if unset
      {std::nullopt, " saved ", "saved"},
      {std::nullopt, "   ", ""},  // a present, empty key
      {std::nullopt, "", ""},
  };
  for (const auto& c : cases) {
    env_.set("QEL_API_KEY", c.env);
    EXPECT_EQ(resolve_api_key({c.saved, std::nullopt}), c.expected)
        << c.env.value_or("<unset>") << " / " << c.saved.value_or("<none>");
  }
}

TEST_F(ConfigFile, ResolvesTheUrlInForce) {
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
      {"\xFF", "https://saved", "https://saved"},
      {std::nullopt, "", ""},  // an empty saved URL is used as it is
      {std::nullopt, "///", ""},
      {std::nullopt, "http://h\\", "http://h\\"},
      {std::nullopt, " http://h/ ", " http://h/ "},
  };
  for (const auto& c : cases) {
    env_.set("QEL_API_URL", c.env);
    EXPECT_EQ(resolve_api_url({std::nullopt, c.saved}), c.expected)
        << c.env.value_or("<unset>") << " / " << c.saved.value_or("<none>");
  }
  EXPECT_EQ(DEFAULT_API_URL.back(), '1');
}

}  // namespace
}  // namespace qel
