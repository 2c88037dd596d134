#include "main/send_cmd.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/text.h"
#include "main/format.h"
#include "main/runner.h"
#include "platform/platform.h"
#include "upload/collect.h"
#include "upload/upload.h"

namespace qel {

namespace {

constexpr std::array<std::string_view, 4> MODES = {"e2ee", "preview_download",
                                                   "preview_watermark", "preview_only"};

// The output is the only place the link goes: a failure to write all of it is reported.
Status print_result(const UploadResult& result, const cmd::Send& args, bool json,
                    const std::string& mode) {
  if (json) {
    return platform::write_stdout_checked(
        pretty_json(transfer_with_link(result.transfer, result.link)) + "\n");
  }
  if (args.quiet) return platform::write_stdout_checked(terminal_text(result.link) + "\n");
  const Json& transfer = result.transfer;
  std::string out = "Transfer #" + value_text(member(transfer, "id")) + " ready.\n";
  out += "Link:    " + result.link + "\n";
  out += "Expires: " + format_timestamp(member(transfer, "expires_at")) + "\n";
  if (mode == E2EE_MODE) out += "The key is in the link (after #). Anyone with this link can download the files.\n";
  if (const Json& email = member(transfer, "recipient_email"); email.is_string()) {
    out += "Email sent to " + email.get<std::string>() + ".\n";
  }
  return platform::write_stdout_checked(terminal_text(out));
}

}  // namespace

std::string resolve_send_mode(const cmd::Send& args) {
  if (args.mode) return *args.mode;
  return args.no_encrypt ? "preview_download" : std::string(E2EE_MODE);
}

Status check_send_options(const cmd::Send& args, const std::string& mode) {
  bool known = false;
  for (std::string_view m : MODES) known = known || m == mode;
  if (!known) return fail("--mode must be e2ee, preview_download, preview_watermark or preview_only");
  if (args.to && mode == E2EE_MODE) {
    return fail(
        "--to needs --no-encrypt: with end-to-end encryption the server cannot email a working "
        "link. Send the link yourself, or add --no-encrypt.");
  }
  if (!args.to && args.schedule) return fail("--schedule needs --to");
  return {};
}

void insert_optional_string(Json& object, const std::string& key, std::optional<std::string> text) {
  if (text) object[key] = std::move(*text);
}

std::string expiry_value(std::string text) {
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') text += "T23:59:59";
  return text;
}

Json build_transfer_options(const cmd::Send& args, std::optional<std::string> password) {
  Json options = Json::object();
  insert_optional_string(options, "recipient_email", args.to);
  insert_optional_string(options, "title", args.title);
  insert_optional_string(options, "message", args.message);
  if (password && password->empty()) password.reset();
  insert_optional_string(options, "password", std::move(password));
  std::optional<std::string> expires;
  if (args.expires) expires = expiry_value(*args.expires);
  insert_optional_string(options, "expires_at", std::move(expires));
  insert_optional_string(options, "scheduled_at", args.schedule);
  insert_optional_string(options, "lang", args.lang);
  if (args.max_downloads) options["max_downloads"] = std::uint64_t{*args.max_downloads};
  if (args.self_destroy) options["self_destroy"] = true;
  return options;
}

Json transfer_with_link(const Json& transfer, const std::string& link) {
  Json out = transfer.is_object() ? transfer : Json::object();
  out["link"] = link;
  return out;
}

Status run_send(const ApiClient& client, const cmd::Send& args, bool json) {
  const std::string mode = resolve_send_mode(args);
  if (auto checked = check_send_options(args, mode); !checked) return checked;

  std::optional<std::string> password = args.password;
  if (args.ask_password) {
    auto answer = platform::read_secret("Password for the transfer: ");
    if (!answer) return fail(std::move(answer).error());
    password = std::move(answer).value();
  }

  UploadOptions upload;
  upload.mode = mode;
  upload.parallel = args.parallel;
  upload.options = build_transfer_options(args, std::move(password));

  std::vector<std::string> warnings;
  auto files = collect_files(args.paths, warnings);
  if (!files) return fail(std::move(files).error());

  std::string warning_lines;
  for (const std::string& w : warnings) warning_lines += "Warning: " + terminal_text(w) + "\n";
  if (!warning_lines.empty()) platform::write_stderr(warning_lines);

  const bool plain_text = !json && !args.quiet;
  if (plain_text) {
    const std::uint64_t total = total_size(*files);
    const std::size_t count = files->size();
    platform::write_stderr("Sending " + std::to_string(count) + " file" + (count == 1 ? "" : "s") +
                           " (" + format_size(total) + ")" +
                           (mode == E2EE_MODE ? ", end-to-end encrypted" : "") + "\n");
  }
  upload.hide_progress = !plain_text || !platform::stderr_is_terminal();

  auto result = upload_transfer(client, *files, upload);
  if (!result) return fail(std::move(result).error());
  if (Status printed = print_result(*result, args, json, mode); !printed) {
    return fail(link_not_written(client, *result, mode == E2EE_MODE, printed.error()));
  }
  return {};
}

}  // namespace qel
