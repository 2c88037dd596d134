#include <gtest/gtest.h>

#include <limits>

#include "main/format.h"

namespace qel {
namespace {

TEST(Format, SizeRoundsTiesToEvenAndStopsAtTerabytes) {
  struct Case {
    std::uint64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0 B"},
      {1, "1 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1075, "1.0 KB"},  // 1.0498...
      {1076, "1.1 KB"},  // 1.0507...
      {1280, "1.2 KB"},  // 1.25: tie to even
      {1536, "1.5 KB"},
      {1792, "1.8 KB"},  // 1.75: tie to even
      {2304, "2.2 KB"},  // 2.25: tie to even
      {2816, "2.8 KB"},  // 2.75: tie to even
      {1048575, "1024.0 KB"},
      {1048576, "1.0 MB"},
      {1073741824, "1.0 GB"},
      {10995116277760ull, "10.0 TB"},
      {1125899906842624ull, "1024.0 TB"},
      {std::numeric_limits<std::uint64_t>::max(), "16777216.0 TB"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_size(c.bytes), c.text) << c.bytes;
}

TEST(Format, DisplayTextsOfReplyMembers) {
  const Json reply = Json::parse(R"({"n":7,"s":"123","e":"","t":true,"a":[1,2],
      "o":{"b":1,"a":"x y"},"f":1024.0,"neg":-3,"negz":-0,"z":0,"big":18446744073709551615})");
  struct Case {
    const char* key;
    const char* value_text;
    const char* size;
  };
  const Case cases[] = {
      {"n", "7", "7 B"},
      {"s", "123", "unlimited"},
      {"e", "", "unlimited"},
      {"t", "true", "unlimited"},
      {"a", "[1,2]", "unlimited"},
      {"o", R"({"a":"x y","b":1})", "unlimited"},
      {"f", "1024.0", "unlimited"},
      {"neg", "-3", "unlimited"},
      {"negz", "0", "unlimited"},
      {"z", "0", "0 B"},
      {"big", "18446744073709551615", "16777216.0 TB"},
      {"missing", "-", "unlimited"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(value_text(member(reply, c.key)), c.value_text) << c.key;
    EXPECT_EQ(size_or_unlimited(member(reply, c.key)), c.size) << c.key;
  }
  EXPECT_EQ(value_text(member(Json::array(), "x")), "-");  // lookup in a non-object
}

TEST(Format, TimestampKeepsSixteenBytesWithoutT) {
  struct Case {
    Json value;
    std::string text;
  };
  const Case cases[] = {
      {"2025-03-14T09:26:53Z", "2025-03-14 09:26"},
      {"2025-03-14T09:26", "2025-03-14 09:26"},  // exactly 16
      {"2025-03-14T09:2", "2025-03-14T09:2"},    // 15: unchanged, T kept
      {"2025-03-14", "2025-03-14"},
      {"TTTTTTTTTTTTTTTTTT", "                "},
      {"", ""},
      {5, "-"},
      {nullptr, "-"},
      {Json::array(), "-"},
      // A two-byte character across the cut moves it back to that character's start.
      {"2025-03-14T09:2\xC3\xA9xyz", "2025-03-14 09:2"},
      // A four-byte one ending exactly at 16 stays whole.
      {"2025-03-14 0\xF0\x9F\x98\x80xyz", "2025-03-14 0\xF0\x9F\x98\x80"},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
       "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
      {"abcdefghijklmn\xF0\x9F\x98\x80", "abcdefghijklmn"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_timestamp(c.value), c.text) << c.value.dump();
}

TEST(Format, PrettyJsonLayoutAndEscapes) {
  EXPECT_EQ(pretty_json(Json::object()), "{}");
  EXPECT_EQ(pretty_json(Json::array()), "[]");
  EXPECT_EQ(pretty_json("a\"b"), "\"a\\\"b\"");
  const Json value = Json::parse(R"({"b":[1,{},[]],"a":{"y":null,"x":-1.5},"Z":"\u00e9\u0007\n\/"})");
  EXPECT_EQ(pretty_json(value),
            "{\n"
            "  \"Z\": \"\xC3\xA9\\u0007\\n/\",\n"
            "  \"a\": {\n"
            "    \"x\": -1.5,\n"
            "    \"y\": null\n"
            "  },\n"
            "  \"b\": [\n"
            "    1,\n"
            "    {},\n"
            "    []\n"
            "  ]\n"
            "}");
  // Keys sort by their bytes: upper case before lower case, non-ASCII last.
  const Json keys = Json::parse(R"({"\u00e9":1,"b":2,"B":3,"a":4})");
  EXPECT_EQ(compact_json(keys), "{\"B\":3,\"a\":4,\"b\":2,\"\xC3\xA9\":1}");
  EXPECT_EQ(json_quote(std::string("\b\t\n\f\r\x1f\x7f", 7)), "\"\\b\\t\\n\\f\\r\\u001f\x7f\"");
  EXPECT_EQ(compact_json(*parse_json("[0.1, 1E2, -0, 18446744073709551616]")),
            "[0.1,100.0,0,1.8446744073709552e+19]");
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

TEST(Format, PrintJsonWritesOneLineEnd) {
  ::testing::internal::CaptureStdout();
  print_json(Json::object());
  print_json(Json::parse(R"({"k":["\t"]})"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "{}\n{\n  \"k\": [\n    \"\\t\"\n  ]\n}\n");
}

}  // namespace
}  // namespace qel
