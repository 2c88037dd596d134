#include <gtest/gtest.h>

#include "main/send_cmd.h"

namespace qel {
namespace {

cmd::Send send_args() {
  cmd::Send s;
  s.paths = {"a.txt"};
  return s;
}

TEST(SendCommand, ModeAndOptionChecksInOrder) {
  const std::string MODE_TEXT = "--mode must be e2ee, preview_download, preview_watermark or preview_only";
  const std::string TO_TEXT =
      "--to needs --no-encrypt: with end-to-end encryption the server cannot email a working link. "
      "Send the link yourself, or add --no-encrypt.";
  const std::string SCHEDULE_TEXT = "--schedule needs --to";
  struct Case {
    std::optional<std::string> mode;
    bool no_encrypt;
    std::optional<std::string> to;
    std::optional<std::string> schedule;
    std::string resolved;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {{}, false, {}, {}, "e2ee", ""},
      {{}, true, {}, {}, "preview_download", ""},
      {"preview_only", false, {}, {}, "preview_only", ""},
      {"E2EE", false, {}, {}, "E2EE", MODE_TEXT},
      {"preview", false, {}, {}, "preview", MODE_TEXT},
      {"", false, {}, {}, "", MODE_TEXT},
      {"bogus", false, {}, "2030-01-01", "bogus", MODE_TEXT},  // only the first failure
      {{}, false, "a@b.c", {}, "e2ee", TO_TEXT},
      {{}, false, "", {}, "e2ee", TO_TEXT},  // an empty value counts
      {{}, true, "a@b.c", {}, "preview_download", ""},
      {"preview_watermark", false, "a@b.c", "2030-01-01", "preview_watermark", ""},
      {{}, true, {}, "", "preview_download", SCHEDULE_TEXT},
      {{}, false, {}, "2030-01-01", "e2ee", SCHEDULE_TEXT},
  };
  for (const auto& c : cases) {
    cmd::Send s = send_args();
    s.mode = c.mode;
    s.no_encrypt = c.no_encrypt;
    s.to = c.to;
    s.schedule = c.schedule;
    const std::string mode = resolve_send_mode(s);
    EXPECT_EQ(mode, c.resolved);
    auto checked = check_send_options(s, mode);
    EXPECT_EQ(checked.ok() ? "" : checked.error(), c.error) << c.resolved;
  }
}

TEST(SendCommand, ExpiryDateRule) {
  const std::pair<const char*, const char*> cases[] = {
      {"2030-05-01", "2030-05-01T23:59:59"},
      {"2030-05-01T10:00:00Z", "2030-05-01T10:00:00Z"},
      {"20300501", "20300501"},
      {"2030/05/01", "2030/05/01"},
      {"abcd-ef-gh", "abcd-ef-ghT23:59:59"},  // the service judges the date
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(expiry_value(in), out) << in;
}

TEST(SendCommand, TransferOptionsObject) {
  cmd::Send none = send_args();
  EXPECT_EQ(compact_json(build_transfer_options(none, std::nullopt)), "{}");

  cmd::Send all = send_args();
  all.to = "";
  all.title = "";
  all.message = " hi ";
  all.expires = "2030-05-01";
  all.schedule = "2030-04-01T08:00";
  all.lang = "ro";
  all.max_downloads = 0;
  all.self_destroy = true;
  EXPECT_EQ(compact_json(build_transfer_options(all, std::string("p w"))),
            R"({"expires_at":"2030-05-01T23:59:59","lang":"ro","max_downloads":0,"message":" hi ",)"
            R"("password":"p w","recipient_email":"","scheduled_at":"2030-04-01T08:00",)"
            R"("self_destroy":true,"title":""})");

  EXPECT_EQ(compact_json(build_transfer_options(none, std::string())), "{}") << "empty password";

  Json object = {{"title", "old"}};
  insert_optional_string(object, "title", std::string("new"));
  insert_optional_string(object, "lang", std::nullopt);
  EXPECT_EQ(compact_json(object), R"({"title":"new"})");
}

TEST(SendCommand, JsonOutputHoldsTheLink) {
  const std::pair<Json, std::string> cases[] = {
      {Json{{"id", 5}, {"link", "old"}}, R"({"id":5,"link":"L"})"},
      {Json(nullptr), R"({"link":"L"})"},
      {Json::array({1, 2}), R"({"link":"L"})"},
      {Json("text"), R"({"link":"L"})"},
      {Json(3), R"({"link":"L"})"},
  };
  for (const auto& [transfer, out] : cases) {
    EXPECT_EQ(compact_json(transfer_with_link(transfer, "L")), out) << transfer.dump();
  }
}

}  // namespace
}  // namespace qel
