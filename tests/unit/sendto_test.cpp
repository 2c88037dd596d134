#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "sendto/mail_link.h"
#include "sendto/send_to_flow.h"
#include "sendto/texts.h"
#include "support/build.h"
#include "support/stand_ins.h"

namespace qel {
namespace {

TEST(PercentEncode, KeepsUnreservedAndEncodesEveryOtherByte) {
  struct Case {
    std::string in, out;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"", ""},
           {"AZaz09-_.~", "AZaz09-_.~"},
           {"a b", "a%20b"},
           {"\r\n", "%0D%0A"},
           {",:/?#&=+%", "%2C%3A%2F%3F%23%26%3D%2B%25"},
           {"ș", "%C8%99"},
           {"\xF0\x9F\x98\x80", "%F0%9F%98%80"},
           {std::string("\0\x7F\xFF", 3), "%00%7F%FF"},
       }) {
    EXPECT_EQ(percent_encode(c.in), c.out) << c.in;
  }
}

// Decodes %XX triples; the test's own reading, independent of the encoder.
std::string percent_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

TEST(MailLink, EnglishOneFileWithExpiry) {
  EXPECT_EQ(build_mail_link(false, 1, 1536, "https://x.example/t/7#key=a-b_c", "14.07.2025"),
            "mailto:?subject=Files%20sent%20with%20Dropvale&body=Hello%2C%0D%0A%0D%0AHere%20are"
            "%20the%20files%2C%20sent%20with%20Dropvale%20%281%20file%2C%201.5%20KB%29%3A%0D%0A"
            "https%3A%2F%2Fx.example%2Ft%2F7%23key%3Da-b_c%0D%0A%0D%0AThe%20link%20is%20valid"
            "%20until%2014.07.2025.%0D%0A");
}

TEST(MailLink, RomanianTwoFilesWithoutExpiry) {
  EXPECT_EQ(build_mail_link(true, 2, 10, "L", ""),
            "mailto:?subject=Fi%C8%99iere%20trimise%20prin%20Dropvale&body=Bun%C4%83%20ziua%2C"
            "%0D%0A%0D%0AV%C4%83%20trimit%20fi%C8%99ierele%20prin%20Dropvale%20%282%20fi%C8%99"
            "iere%2C%2010%20B%29%3A%0D%0AL%0D%0A");
}

TEST(MailLink, BodiesInBothLanguages) {
  struct Case {
    bool romanian;
    std::size_t files;
    std::string expiry;
    std::string subject, body;
  };
  const std::string link = "https://x.example/t/9#key=k";
  for (const Case& c : std::initializer_list<Case>{
           {false, 2, "01.02.2026", "Files sent with Dropvale",
            "Hello,\r\n\r\nHere are the files, sent with Dropvale (2 files, 1000 B):\r\n" + link +
                "\r\n\r\nThe link is valid until 01.02.2026.\r\n"},
           {false, 1, "", "Files sent with Dropvale",
            "Hello,\r\n\r\nHere are the files, sent with Dropvale (1 file, 1000 B):\r\n" + link +
                "\r\n"},
           {true, 1, "01.02.2026", "Fișiere trimise prin Dropvale",
            "Bună ziua,\r\n\r\nVă trimit fișierele prin Dropvale (1 fișier, 1000 B):\r\n" + link +
                "\r\n\r\nLinkul este valabil până la 01.02.2026.\r\n"},
           {true, 12, "", "Fișiere trimise prin Dropvale",
            "Bună ziua,\r\n\r\nVă trimit fișierele prin Dropvale (12 fișiere, 1000 B):\r\n" +
                link + "\r\n"},
       }) {
    const std::string mail = build_mail_link(c.romanian, c.files, 1000, link, c.expiry);
    const std::string prefix = "mailto:?subject=";
    ASSERT_TRUE(mail.starts_with(prefix)) << mail;
    const std::size_t amp = mail.find("&body=");
    ASSERT_NE(amp, std::string::npos) << mail;
    EXPECT_EQ(percent_decode(mail.substr(prefix.size(), amp - prefix.size())), c.subject);
    const std::string body = mail.substr(amp + 6);
    EXPECT_EQ(percent_decode(body), c.body);
    EXPECT_EQ(body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                     "0123456789-_.~%"),
              std::string::npos);
  }
}

TEST(TransferReadings, IdWithItsFallbacks) {
  struct Case {
    const char* json;
    std::int64_t id;
  };
  for (const Case& c : std::initializer_list<Case>{
           {R"({"id": 42})", 42},
           {R"({"id": -7})", -7},
           {R"({"id": 9223372036854775807})", 9223372036854775807},
           {R"({"id": 9223372036854775808})", 0},
           {R"({"id": 4.0})", 0},
           {R"({"id": "42"})", 0},
           {R"({})", 0},
           {R"([42])", 0},
       }) {
    EXPECT_EQ(transfer_id_of(Json::parse(c.json)), c.id) << c.json;
  }
}

TEST(TransferReadings, ExpiryDateWithItsFallbacks) {
  struct Case {
    const char* json;
    std::string date;
  };
  for (const Case& c : std::initializer_list<Case>{
           {R"({"expires_at": "2025-07-14T23:59:59Z"})", "14.07.2025"},
           {R"({"expires_at": "2025-07-14"})", "14.07.2025"},
           {R"({"expires_at": "2025-07-1"})", ""},
           {R"({"expires_at": null})", ""},
           {R"({"expires_at": 20250714})", ""},
           {R"({})", ""},
           {"\"2025-07-14\"", ""},
           // Cuts inside a multi-byte character leave the date out rather than break text.
           {R"({"expires_at": "2025-07-1é"})", ""},
           {R"({"expires_at": "202é-07-14"})", ""},
           // Whole characters between the cuts are kept as they are.
           {R"({"expires_at": "ab-cd-efghij"})", "gh.-e.ab-c"},
       }) {
    EXPECT_EQ(expiry_date_of(Json::parse(c.json)), c.date) << c.json;
  }
}

TEST(Fill, ReplacesPlaceholdersInOrder) {
  EXPECT_EQ(fill("{} and {}", {"a", "b"}), "a and b");
  EXPECT_EQ(fill("\rThis window closes in {} s. ", {"5"}), "\rThis window closes in 5 s. ");
  EXPECT_EQ(fill("{}", {"{}"}), "{}");  // values are not scanned again
  EXPECT_EQ(fill("no value {}", {}), "no value {}");
}

// The clipboard programs of the build, tried in this order.
std::vector<platform::Command> expected_clipboard_commands() {
  if (test::build::windows) return {{"clip", {}}};
  return {{"wl-copy", {}}, {"xclip", {"-selection", "clipboard"}}, {"xsel", {"--clipboard", "--input"}}};
}

// The clipboard programs are started as stand-ins that record their arguments and input
// and end with the code they were given.
class Clipboard : public testing::Test {
 protected:
  const std::vector<platform::Command> commands_ = platform::clipboard_commands();
};

TEST_F(Clipboard, ProgramsOfTheBuild) {
  const auto expected = expected_clipboard_commands();
  ASSERT_EQ(commands_.size(), expected.size());
  for (std::size_t i = 0; i < commands_.size(); ++i) {
    EXPECT_EQ(commands_[i].program, expected[i].program);
    EXPECT_EQ(commands_[i].args, expected[i].args) << commands_[i].program;
  }
}

TEST_F(Clipboard, TriesEachProgramInOrderUntilOneSucceeds) {
  const std::string link = "https://x.example/t/1#key=k";
  // Each program in turn is the first to succeed; those before it fail in different ways.
  const int codes[] = {1, 2, 127};
  for (std::size_t winner = 0; winner < commands_.size(); ++winner) {
    test::StandIns programs;
    for (std::size_t i = 0; i < commands_.size(); ++i) {
      programs.place(commands_[i].program);
      programs.exit_with(commands_[i].program, i < winner ? codes[i % 3] : 0);
    }
    testing::internal::CaptureStderr();
    copy_to_clipboard(false, link);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "The link was copied to the clipboard.\n");
    for (std::size_t i = 0; i < commands_.size(); ++i) {
      const auto runs = programs.runs(commands_[i].program);
      if (i > winner) {
        EXPECT_TRUE(runs.empty()) << commands_[i].program << " after " << winner;
        continue;
      }
      ASSERT_EQ(runs.size(), 1u) << commands_[i].program;
      EXPECT_EQ(runs[0].args, commands_[i].args) << commands_[i].program;
      EXPECT_EQ(runs[0].input, link) << commands_[i].program;
    }
  }
}

TEST_F(Clipboard, LastProgramAndRomanianLine) {
  const std::string last = commands_.back().program;
  test::StandIns programs;  // the others are missing
  programs.place(last);
  testing::internal::CaptureStderr();
  copy_to_clipboard(true, "L");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Linkul a fost copiat în clipboard.\n");
  const auto runs = programs.runs(last);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].args, commands_.back().args);
  EXPECT_EQ(runs[0].input, "L");
}

TEST_F(Clipboard, NothingIsPrintedWhenEveryProgramFails) {
  const int codes[] = {1, 2, 127};
  test::StandIns programs;
  for (std::size_t i = 0; i < commands_.size(); ++i) {
    programs.place(commands_[i].program);
    programs.exit_with(commands_[i].program, codes[i % 3]);
  }
  testing::internal::CaptureStderr();
  copy_to_clipboard(false, "L");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (const auto& command : commands_) EXPECT_EQ(programs.runs(command.program).size(), 1u);
}

}  // namespace
}  // namespace qel
