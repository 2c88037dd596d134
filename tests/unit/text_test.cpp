#include <gtest/gtest.h>

#include "common/json.h"
#include "common/text.h"

namespace qel {
namespace {

TEST(Text, Utf8ValidityAndRepair) {
  struct Case {
    std::string input;
    bool valid;
    std::string repaired;
  };
  const Case cases[] = {
      {"plain", true, "plain"},
      {"\xC8\x99", true, "\xC8\x99"},
      {"a\xFF" "b", false, "a\xEF\xBF\xBD" "b"},
      {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a lone surrogate
      {"\xE2\x82", false, "\xEF\xBF\xBD"},                              // cut short
      {"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.input), c.valid) << c.input;
    EXPECT_EQ(utf8_lossy(c.input), c.repaired) << c.input;
  }
}

TEST(Text, TrimRemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_unicode(" \t\xC2\xA0key\xE3\x80\x80\n"), "key");
  EXPECT_EQ(trim_unicode("a b"), "a b");
  EXPECT_EQ(trim_unicode("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");  // zero-width space is not white space
  EXPECT_EQ(trim_unicode("   "), "");
}

TEST(Text, ParseU64AcceptsPlusAndFullRange) {
  std::uint64_t v = 0;
  EXPECT_TRUE(parse_u64("+18446744073709551615", v));
  EXPECT_EQ(v, 18446744073709551615ull);
  for (const char* bad : {"", "+", "-1", "18446744073709551616", "1 ", "0x1", "++1"}) {
    EXPECT_FALSE(parse_u64(bad, v)) << bad;
  }
}

TEST(Json, RefusesDeepNestingWithoutCrashing) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(parse_json(deep).has_value());
  const std::string ok = std::string(128, '[') + std::string(128, ']');
  EXPECT_TRUE(parse_json(ok).has_value());
  EXPECT_FALSE(parse_json(std::string(129, '[') + std::string(129, ']')).has_value());
  EXPECT_TRUE(parse_json(R"({"a":"[[[["})").has_value());  // brackets inside strings do not count
  EXPECT_TRUE(parse_json(R"({"a":"\"[[[["})").has_value());
}

TEST(Json, ParsesOneStrictDocument) {
  EXPECT_TRUE(parse_json(" \t\r\n{} \n").has_value());
  for (const char* bad : {"", "\xEF\xBB\xBF{}", "{} x", "{\"a\":\"\xFF\"}", "[1,]", "// c\n{}"}) {
    EXPECT_FALSE(parse_json(bad).has_value()) << bad;
  }
  // The library alone would stop at a NUL byte and take what came before it as the document.
  for (const std::string& bad : {std::string("{}\0", 3), std::string("{\"a\":1}\0{\"a\":2}", 15),
                                std::string("1\0x", 3), std::string("\"s\"\0", 4)}) {
    EXPECT_FALSE(parse_json(bad).has_value()) << bad;
  }
  EXPECT_TRUE(member(*parse_json(R"({"a":1})"), "b").is_null());
  EXPECT_TRUE(member(Json("text"), "a").is_null());
}

}  // namespace
}  // namespace qel
