#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "desktop/shortcut.h"

namespace qel {
namespace {

std::uint32_t u16_at(const std::string& b, std::size_t at) {
  return static_cast<unsigned char>(b.at(at)) | (static_cast<unsigned char>(b.at(at + 1)) << 8);
}

std::uint32_t u32_at(const std::string& b, std::size_t at) {
  return u16_at(b, at) | (u16_at(b, at + 2) << 16);
}

// UTF-16LE of an ASCII text, the way the file must hold it.
std::string wide(std::string_view ascii) {
  std::string out;
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

// Where the parts of a shortcut file begin, found by walking its length fields.
struct Layout {
  std::size_t link_info = 76;
  std::size_t string_data = 0;
  std::size_t extra_data = 0;
};

Layout walk(const std::string& b) {
  Layout l;
  l.string_data = l.link_info + u32_at(b, l.link_info);
  std::size_t at = l.string_data;
  for (int i = 0; i < 4; ++i) at += 2 + 2 * u16_at(b, at);
  l.extra_data = at;
  return l;
}

TEST(Shortcut, ExampleTargetFieldByField) {
  const std::string b = build_send_to_shortcut("D:\\T\\qel.exe", "D:\\T");
  ASSERT_EQ(b.size(), 1031u);

  // ShellLinkHeader
  EXPECT_EQ(u32_at(b, 0), 0x4Cu);
  EXPECT_EQ(b.substr(4, 16), std::string("\x01\x14\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16));
  EXPECT_EQ(u32_at(b, 20), 0x2F6u);
  EXPECT_EQ(u32_at(b, 24), 0x20u);
  EXPECT_EQ(b.substr(28, 32), std::string(32, '\0'));  // times, file size, icon index
  EXPECT_EQ(u32_at(b, 60), 1u);
  EXPECT_EQ(b.substr(64, 12), std::string(12, '\0'));

  // LinkInfo
  const std::size_t li = 76;
  EXPECT_EQ(u32_at(b, li + 0), 95u);
  EXPECT_EQ(u32_at(b, li + 4), 0x24u);
  EXPECT_EQ(u32_at(b, li + 8), 1u);
  EXPECT_EQ(u32_at(b, li + 12), 0x24u);
  EXPECT_EQ(u32_at(b, li + 16), 53u);
  EXPECT_EQ(u32_at(b, li + 20), 0u);
  EXPECT_EQ(u32_at(b, li + 24), 66u);
  EXPECT_EQ(u32_at(b, li + 28), 67u);
  EXPECT_EQ(u32_at(b, li + 32), 93u);
  EXPECT_EQ(u32_at(b, li + 36), 0x11u);
  EXPECT_EQ(u32_at(b, li + 40), 3u);
  EXPECT_EQ(u32_at(b, li + 44), 0u);
  EXPECT_EQ(u32_at(b, li + 48), 0x10u);
  EXPECT_EQ(b[li + 52], '\0');
  EXPECT_EQ(b.substr(li + 53, 13), std::string("D:\\T\\qel.exe\0", 13));
  EXPECT_EQ(b[li + 66], '\0');
  EXPECT_EQ(b.substr(li + 67, 26), wide("D:\\T\\qel.exe") + std::string(2, '\0'));
  EXPECT_EQ(b.substr(li + 93, 2), std::string(2, '\0'));

  // StringData: name, working folder, arguments, icon location.
  std::size_t at = li + 95;
  for (std::string_view text : {"Dropvale", "D:\\T", "sendto", "D:\\T\\qel.exe"}) {
    EXPECT_EQ(u16_at(b, at), text.size()) << text;
    EXPECT_EQ(b.substr(at + 2, 2 * text.size()), wide(text)) << text;
    at += 2 + 2 * text.size();
  }

  // EnvironmentVariableDataBlock and TerminalBlock.
  EXPECT_EQ(u32_at(b, at), 0x314u);
  EXPECT_EQ(u32_at(b, at + 4), 0xA0000001u);
  EXPECT_EQ(b.substr(at + 8, 260), std::string("D:\\T\\qel.exe") + std::string(248, '\0'));
  EXPECT_EQ(b.substr(at + 268, 520), wide("D:\\T\\qel.exe") + std::string(496, '\0'));
  EXPECT_EQ(u32_at(b, at + 788), 0u);
  EXPECT_EQ(at + 792, b.size());
}

TEST(Shortcut, EmptyWorkingFolderHasCountZero) {
  const std::string b = build_send_to_shortcut("qel.exe", "");
  const Layout l = walk(b);
  const std::size_t working = l.string_data + 2 + 2 * 8;
  EXPECT_EQ(u16_at(b, working), 0u);
  EXPECT_EQ(u16_at(b, working + 2), 6u);  // the arguments follow at once
  EXPECT_EQ(b.size(), l.extra_data + 792);
}

TEST(Shortcut, NonAsciiTargets) {
  // U+00E9: one "?" in the ANSI copies, the real character in the UTF-16 copies.
  const std::string e_acute = "C:\\caf\xC3\xA9.exe";
  EXPECT_EQ(ansi_path_bytes(e_acute), std::string("C:\\caf?.exe\0", 12));
  EXPECT_EQ(utf16le_bytes(e_acute), wide("C:\\caf") + std::string("\xE9\x00", 2) + wide(".exe"));

  // U+1F600: one byte more in ANSI, four more in UTF-16 (a surrogate pair).
  const std::string emoji = "C:\\\xF0\x9F\x98\x80.exe";
  EXPECT_EQ(ansi_path_bytes(emoji), std::string("C:\\?.exe\0", 9));
  EXPECT_EQ(utf16le_bytes(emoji), wide("C:\\") + std::string("\x3D\xD8\x00\xDE", 4) + wide(".exe"));
  EXPECT_EQ(lnk_string(emoji).substr(0, 2), std::string("\x09\x00", 2));

  const std::string b = build_send_to_shortcut(emoji, "C:\\");
  const std::size_t a = 9, u = 2 * 9 + 2;
  EXPECT_EQ(u32_at(b, 76), 56 + a + u);
  EXPECT_EQ(b.substr(76 + 53, a), ansi_path_bytes(emoji));
  EXPECT_EQ(b.substr(76 + 54 + a, u), utf16le_bytes(emoji) + std::string(2, '\0'));
  const Layout l = walk(b);
  EXPECT_EQ(b.substr(l.extra_data + 8, a), ansi_path_bytes(emoji));
  EXPECT_EQ(b.substr(l.extra_data + 268, u - 2), utf16le_bytes(emoji));
}

TEST(Shortcut, LongTargetsAreCutInTheEnvironmentBlock) {
  struct Case {
    std::size_t length;
    bool ansi_terminated;
    bool unicode_terminated;
  };
  for (const Case c : {Case{258, true, true}, Case{259, true, true}, Case{260, false, false},
                       Case{300, false, false}}) {
    const std::string target = "C:\\" + std::string(c.length - 3, 'a');
    const std::string b = build_send_to_shortcut(target, "C:\\");
    const Layout l = walk(b);
    ASSERT_EQ(b.size(), l.extra_data + 792) << c.length;
    const std::string ansi = b.substr(l.extra_data + 8, 260);
    const std::string unicode = b.substr(l.extra_data + 268, 520);
    const std::size_t kept = std::min<std::size_t>(c.length, 260);
    EXPECT_EQ(ansi.substr(0, kept), target.substr(0, kept)) << c.length;
    EXPECT_EQ(ansi.back() == '\0', c.ansi_terminated) << c.length;
    EXPECT_EQ(unicode.substr(0, 2 * kept), wide(target.substr(0, kept))) << c.length;
    EXPECT_EQ(unicode.substr(518) == std::string(2, '\0'), c.unicode_terminated) << c.length;
    EXPECT_EQ(u32_at(b, l.extra_data + 788), 0u);
  }
}

}  // namespace
}  // namespace qel
