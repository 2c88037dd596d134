// Where the configuration file lives on POSIX (XDG_CONFIG_HOME, else HOME) and how it is
// written: private modes, byte paths, the system's error texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "config/config.h"
#include "support/env.h"
#include "support/files.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

std::string show(const std::optional<Config>& c) {
  if (!c) return "fails";
  auto field = [](const std::optional<std::string>& f) { return f ? "[" + *f + "]" : "none"; };
  return field(c->api_key) + " " + field(c->api_url);
}

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = folder_.path();
    fs::create_directories(root_ / "home");
    env_.set("HOME", (root_ / "home").string());
    env_.unset("XDG_CONFIG_HOME");
    env_.unset("QEL_API_KEY");
    env_.unset("QEL_API_URL");
  }

  static std::string read(const fs::path& p) { return test::read_file(p); }
  static unsigned mode_of(const fs::path& p) {
    return static_cast<unsigned>(fs::status(p).permissions());
  }

  test::TempFolder folder_;
  fs::path root_;
  test::ScopedEnv env_;
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
  env_.unset("HOME");
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
  test::write_file(root_ / "xdg" / "qel", "not a folder");
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
  test::write_file(odd / "qel", "not a folder");
  saved = save_config({});
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error(), "cannot create " + root_.string() +
                               "/odd\xEF\xBF\xBD/qel: Not a directory (os error 20)");
}

TEST_F(ConfigFile, UnreadableOrMalformedFilesReadAsEmpty) {
  const fs::path file = root_ / "home" / ".config" / "qel" / "config.json";
  fs::create_directories(file.parent_path());
  for (const char* text : {"{\"api_key\":\"k\"", "\xEF\xBB\xBF{}", "{\"api_key\":\"\xC3\"}", ""}) {
    test::write_file(file, text);
    EXPECT_EQ(show(load_config()), "none none") << text;
  }
  test::write_file(file, "[\"k\", \"u\"]\n");
  EXPECT_EQ(show(load_config()), "[k] [u]");
}

}  // namespace
}  // namespace qel
