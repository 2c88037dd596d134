// The Windows conventions and the UTF-16 forms that both builds share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf16.h"
#include "platform/windows_rules.h"
#include "support/windows_split.h"

namespace qel::platform {
namespace {

TEST(WindowsCommandLine, QuotesOnlyWhatNeedsIt) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const Case cases[] = {
      {{"url.dll,FileProtocolHandler", "https://x.example/a?b=c"},
       "url.dll,FileProtocolHandler https://x.example/a?b=c"},
      {{"mailto:?subject=Hi%20there&body=a%0Ab"}, "mailto:?subject=Hi%20there&body=a%0Ab"},
      {{"a b", "tab\there"}, "\"a b\" \"tab\there\""},
      {{"", "x"}, "\"\" x"},
      {{"say \"hi\""}, "\"say \\\"hi\\\"\""},
      {{"no\"space"}, "no\\\"space"},
      {{"c:\\dir\\"}, "c:\\dir\\"},            // bare: trailing backslashes stay single
      {{"c:\\my dir\\"}, "\"c:\\my dir\\\\\""},  // quoted: doubled before the closing quote
      {{"a\\\\\"b"}, "a\\\\\\\\\\\"b"},         // two backslashes before a quote: four and \"
      {{"a\\b c"}, "\"a\\b c\""},               // backslashes elsewhere are literal
  };
  for (const auto& c : cases) {
    const std::string line = windows_command_line(c.args);
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(split_windows_command_line(line), c.args) << line;
  }
}

TEST(WindowsRules, VerbatimPrefixIsRemoved) {
  EXPECT_EQ(strip_verbatim_prefix("\\\\?\\D:\\T\\qel.exe"), "D:\\T\\qel.exe");
  EXPECT_EQ(strip_verbatim_prefix("\\\\?\\UNC\\host\\share\\qel.exe"), "UNC\\host\\share\\qel.exe");
  EXPECT_EQ(strip_verbatim_prefix("D:\\T\\qel.exe"), "D:\\T\\qel.exe");
  EXPECT_EQ(strip_verbatim_prefix("\\\\.\\D:\\qel.exe"), "\\\\.\\D:\\qel.exe");
  EXPECT_EQ(strip_verbatim_prefix("/usr/bin/qel"), "/usr/bin/qel");
}

TEST(WindowsRules, OwnConsoleOnlyWhenAlone) {
  EXPECT_FALSE(console_is_own(0));  // the call failed: shared
  EXPECT_TRUE(console_is_own(1));
  EXPECT_FALSE(console_is_own(2));
  EXPECT_FALSE(console_is_own(5));  // more than the buffer holds
}

TEST(WindowsRules, OnlyNameSurrogateReparsePointsAreLinks) {
  constexpr std::uint32_t REPARSE = 0x400, DIRECTORY = 0x10;
  struct Case {
    std::uint32_t attributes, tag;
    bool link;
  };
  const Case cases[] = {
      {REPARSE, 0xA000000C, true},               // symbolic link
      {REPARSE | DIRECTORY, 0xA0000003, true},   // junction (mount point)
      {REPARSE | DIRECTORY, 0x9000601A, false},  // cloud placeholder: an ordinary folder
      {REPARSE, 0x80000017, false},              // WOF-compressed file
      {DIRECTORY, 0xA0000003, false},            // a tag without the attribute means nothing
      {REPARSE | DIRECTORY, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_link_reparse_point(c.attributes, c.tag), c.link) << std::hex << c.tag;
  }
}

TEST(WindowsRules, OnlyMsysAndCygwinTerminalPipesCountAsTerminals) {
  struct Case {
    std::u16string name;
    bool terminal;
  };
  const Case cases[] = {
      {u"\\msys-1888ae32e00d56aa-pty0-to-master", true},
      {u"\\msys-1888ae32e00d56aa-pty12-from-master", true},
      {u"\\cygwin-e022582115c10879-pty3-from-master", true},
      {u"\\cygwin-E022582115C10879-pty0-to-master-cyg", true},  // more may follow the direction
      {u"\\msys-1888ae32e00d56aa-pipe-0x12", false},            // an ordinary MSYS pipe
      {u"\\msys-1888ae32e00d56aa-pty-to-master", false},        // no terminal number
      {u"\\msys--pty0-to-master", false},                       // no installation key
      {u"\\msys-12g4-pty0-to-master", false},                   // key not hexadecimal
      {u"\\msys-1888ae32e00d56aa-pty0-to-slave", false},
      {u"msys-1888ae32e00d56aa-pty0-to-master", false},         // no leading backslash
      {u"\\mingw-1888ae32e00d56aa-pty0-to-master", false},
      {u"\\msys-1888ae32e00d56aa-pty0-to-maste", false},        // cut short
      {u"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_msys_pty_pipe_name(c.name), c.terminal) << wtf8_from_utf16(c.name);
  }
}

TEST(WindowsRules, OnlyAccessDeniedRetriesTheDeleteIgnoringReadOnly) {
  EXPECT_TRUE(delete_needs_readonly_override(5));
  EXPECT_FALSE(delete_needs_readonly_override(2));   // not found
  EXPECT_FALSE(delete_needs_readonly_override(32));  // in use by another process
}

TEST(Utf16, Wtf8RoundTripKeepsUnpairedSurrogates) {
  const std::u16string cases[] = {
      u"",
      u"plain.txt",
      u"caf\u00e9 \u20ac",
      u"\U0001F600 pair",
      std::u16string(1, char16_t(0xD800)),                        // lone high
      std::u16string(u"a") + char16_t(0xDC00) + u"b",              // lone low inside
      std::u16string(1, char16_t(0xDC00)) + char16_t(0xD800),      // low then high: two lone ones
      std::u16string(u"x") + char16_t(0xDBFF),                     // high at the end
  };
  for (const auto& units : cases) {
    const std::string text = wtf8_from_utf16(units);
    EXPECT_EQ(utf16_from_wtf8(text), units) << text;
  }
  EXPECT_EQ(wtf8_from_utf16(std::u16string(1, char16_t(0xD800))), "\xED\xA0\x80");
  EXPECT_EQ(wtf8_from_utf16(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf16, LossyFormReplacesOnlyUnpairedSurrogates) {
  const std::u16string units = std::u16string(u"a") + char16_t(0xD800) + u"\U0001F600" + char16_t(0xDC01);
  EXPECT_EQ(utf8_from_utf16_lossy(units), "a\xEF\xBF\xBD\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

TEST(Utf16, IllFormedBytesBecomeReplacementCharacters) {
  struct Case {
    std::string text;
    std::u16string units;
  };
  const Case cases[] = {
      {"\xFF", u"\uFFFD"},
      {"a\xC3", u"a\uFFFD"},          // cut short at the end
      {"\xC0\xAF", u"\uFFFD\uFFFD"},  // overlong
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xED\xA0\x80\xED\xB0\x80", u"\U00010000"},  // two halves give the pair they name
  };
  for (const auto& c : cases) EXPECT_EQ(utf16_from_wtf8(c.text), c.units);
}

}  // namespace
}  // namespace qel::platform
