#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "platform/platform.h"
#include "sendto/mail_link.h"
#include "sendto/send_to_flow.h"
#include "sendto/texts.h"

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

// Stand-in clipboard programs on a private PATH: each records its arguments and input and
// ends with the code it was given.
class Clipboard : public testing::Test {
 protected:
  void SetUp() override {
    // Random, so that test runs side by side never share the folder.
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("qel-clipboard-" + std::to_string(random()) + std::to_string(random()));
    ASSERT_TRUE(std::filesystem::create_directory(dir_));
    if (const char* path = std::getenv("PATH")) saved_path_ = path;
    ::setenv("PATH", dir_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }

  void tool(const std::string& name, int code) {
    const auto file = dir_ / name;
    std::ofstream(file) << "#!/bin/sh\n"
                        << "echo \"$@\" > '" << dir_.string() << "/" << name << ".args'\n"
                        << "/bin/cat > '" << dir_.string() << "/" << name << ".in'\n"
                        << "exit " << code << "\n";
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
  }

  // The arguments and the input a tool received, or none when it never ran.
  using Seen = std::pair<std::string, std::string>;
  std::optional<Seen> received(const std::string& name) {
    auto args = platform::read_file(dir_ / (name + ".args"));
    auto input = platform::read_file(dir_ / (name + ".in"));
    if (!args || !input) return std::nullopt;
    return Seen{*args, *input};
  }

  std::filesystem::path dir_;
  std::string saved_path_;
};

TEST_F(Clipboard, TriesEachProgramInOrderUntilOneSucceeds) {
  tool("wl-copy", 1);
  tool("xclip", 0);
  tool("xsel", 0);
  testing::internal::CaptureStderr();
  copy_to_clipboard(false, "https://x.example/t/1#key=k");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "The link was copied to the clipboard.\n");
  EXPECT_EQ(received("wl-copy"), Seen("\n", "https://x.example/t/1#key=k"));
  EXPECT_EQ(received("xclip"), Seen("-selection clipboard\n", "https://x.example/t/1#key=k"));
  EXPECT_EQ(received("xsel"), std::nullopt);
}

TEST_F(Clipboard, LastProgramAndRomanianLine) {
  tool("xsel", 0);
  testing::internal::CaptureStderr();
  copy_to_clipboard(true, "L");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Linkul a fost copiat în clipboard.\n");
  EXPECT_EQ(received("xsel"), Seen("--clipboard --input\n", "L"));
}

TEST_F(Clipboard, NothingIsPrintedWhenEveryProgramFailsOrIsMissing) {
  for (const bool present : {false, true}) {
    if (present) {
      tool("wl-copy", 1);
      tool("xclip", 2);
      tool("xsel", 127);
    }
    testing::internal::CaptureStderr();
    copy_to_clipboard(false, "L");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << present;
  }
  EXPECT_TRUE(received("xsel"));
}

}  // namespace
}  // namespace qel
