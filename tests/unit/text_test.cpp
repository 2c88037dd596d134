#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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

TEST(Text, TerminalTextReplacesControlsButLineFeedAndTab) {
  using namespace std::string_literals;
  const std::string R = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"\x1b]0;title\x07", R + "]0;title" + R},       // window title
      {"\x1b[2J\x1b[31mred", R + "[2J" + R + "[31mred"},  // clear screen, colour
      {"a\rb\bc\x7f"s + '\0', "a" + R + "b" + R + "c" + R + R},
      {"\xc2\x9b" "2J \xc2\x85 \xc2\x9f", R + "2J " + R + " " + R},  // C1 controls
      {"\xff\xc3", R + R},                                    // ill-formed bytes
      {"line\nnext\tcell", "line\nnext\tcell"},
      {"\xc2\xa0\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80 ~", "\xc2\xa0\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80 ~"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(terminal_text(c.text), c.shown) << c.text;
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

// The chunk replies are only checked, never built: the check must accept exactly what the
// parse of the repaired text accepts.
TEST(Json, CheckingADocumentAgreesWithParsingIt) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    bool json;
  };
  const Case cases[] = {
      {"{}", true}, {" [1, 2] ", true}, {"\t\n\r [] \r\n", true}, {"null", true},
      {"true", true}, {"false", true}, {"0", true}, {"-0", true}, {"-0.0e-0", true},
      {"1E5", true}, {"1e+5", true}, {"123456789012345678901234567890", true},
      {"1.7976931348623157e308", true}, {"-1.7976931348623157e308", true}, {"1e-400", true},
      {"-2e-324", true}, {"0e99999", true}, {"0.000e400", true}, {"0.0001e-99999999999999999999", true},
      {R"("")", true}, {R"("a\u00e9\uD83D\ude00\"\\\/\b\f\n\r\t")", true}, {R"("\u0000")", true},
      {"\"\x7f\xc2\x9b\"", true},
      {"\"\xff\"", true},           // repaired to U+FFFD
      {"\"\xed\xa0\x80\"", true},   // an encoded surrogate, repaired
      {"\"\xe0\"\"", false},         // the repair never swallows the quote after a cut sequence
      {R"({"a":[{"b":null}],"a":1,"":{}})", true}, {R"(["[[[{", "\"]"])", true},
      {std::string(128, '[') + std::string(128, ']'), true},
      {"", false}, {" ", false}, {"\xEF\xBB\xBF{}", false}, {"{} x", false}, {"{}{}", false},
      {"1 2", false}, {"[1,]", false}, {"[,1]", false}, {"{,}", false}, {R"({"a":1,})", false},
      {R"({"a"})", false}, {R"({"a" 1})", false}, {R"({"a"::1})", false}, {"{1:2}", false},
      {"[1 2]", false}, {R"(["a" "b"])", false}, {R"("a":1)", false}, {"// c\n{}", false},
      {"01", false}, {"-", false}, {"+1", false}, {".5", false}, {"1.", false}, {"1.e5", false},
      {"1e", false}, {"1e+", false}, {"--1", false}, {"0x10", false}, {"1e400", false},
      {"-1e400", false}, {"1e99999999999999999999999", false}, {"1.8e308", false},
      {"0.00001e309", true}, {"100000e304", false}, {"NaN", false}, {"Infinity", false},
      {"tru", false}, {"truex", false}, {"True", false}, {"[null1]", false}, {R"("abc)", false},
      {R"("\x")", false}, {R"("\u12")", false}, {R"("\u12g4")", false}, {R"("\ud800")", false},
      {R"("\ud800\u0041")", false}, {R"("\udc00")", false}, {R"("\ud800x")", false},
      {"\"a\x01" "b\"", false}, {"\"a\nb\"", false}, {"[\xff]", false}, {"\xff", false},
      {"[1]\xff", false}, {"[1]\0"s, false}, {"[\0]"s, false}, {"]", false}, {"[}", false},
      {"{]", false}, {"[", false}, {"{", false}, {"[[]", false}, {":", false}, {",", false},
      {std::string(129, '[') + std::string(129, ']'), false},
      {std::string(100000, '[') + std::string(100000, ']'), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_json(utf8_lossy(c.text)).has_value(), c.json) << c.text;
    EXPECT_EQ(holds_json_document(c.text), c.json) << c.text;
  }

  // Random texts from JSON's own pieces, mostly broken in some small way.
  const std::vector<std::string> pieces = {
      "[", "]", "{", "}", ",", ":", "\"", "\\", "u", "d8", "DC", "00", "0", "1", "9", "-", "+",
      ".", "e", "E", "true", "null", " ", "\n", std::string(1, '\0'), "\x01", "\xff", "\xc3\xa9", "a", "/", "\"k\":",
      "\"s\"", "12", "\\u", "\\ud83d\\ude00", "e308", "e-400", "1e309"};
  std::mt19937 generator(20240611);
  int agreed_json = 0;
  for (int round = 0; round < 200000; ++round) {
    std::string text;
    const auto count = 1 + generator() % 10;
    for (unsigned i = 0; i < count; ++i) text += pieces[generator() % pieces.size()];
    const bool parsed = parse_json(utf8_lossy(text)).has_value();
    ASSERT_EQ(holds_json_document(text), parsed) << text;
    agreed_json += parsed;
  }
  EXPECT_GT(agreed_json, 1000);  // both answers were put to the test
}

}  // namespace
}  // namespace qel
