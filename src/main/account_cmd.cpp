// The account and transfer commands: whoami, list, info and delete.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/text.h"
#include "main/format.h"
#include "main/runner.h"
#include "platform/platform.h"

namespace qel {
namespace {

struct FeatureLabel {
  std::string_view key;
  std::string_view label;
};

constexpr std::array<FeatureLabel, 7> FEATURE_LABELS = {{
    {"password_protection", "password"},
    {"self_destroy", "self-destroy"},
    {"custom_expiry", "custom expiry"},
    {"scheduled_send", "scheduled send"},
    {"max_downloads", "download limit"},
    {"preview", "preview"},
    {"download_stats", "download stats"},
}};

constexpr std::size_t MAX_LISTED_DOWNLOADS = 20;

// Walks FEATURE_LABELS in table order, yielding the labels of the features switched on.
class FeatureLabelIter {
 public:
  explicit FeatureLabelIter(const Json& features) : features_(features) {}
  std::optional<std::string_view> next() {
    while (row_ < FEATURE_LABELS.size()) {
      const FeatureLabel& row = FEATURE_LABELS[row_++];
      if (member(features_, row.key) == Json(true)) return row.label;
    }
    return std::nullopt;
  }

 private:
  const Json& features_;
  std::size_t row_ = 0;
};

FeatureLabelIter find_feature_label(const Json& features) { return FeatureLabelIter(features); }

// A non-negative whole number written without sign, fraction or exponent, else none.
std::optional<std::uint64_t> count_of(const Json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  return std::nullopt;
}

std::optional<std::string> text_of(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return std::nullopt;
}

bool flag_of(const Json& value) { return value.is_boolean() && value.get<bool>(); }

const Json& path_of(const Json& value, std::string_view a, std::string_view b) {
  return member(member(value, a), b);
}

// Every line here may hold text of the service.
void line(const std::string& text) { platform::write_stdout(terminal_text(text) + "\n"); }

std::string join(const std::string& joined, std::string_view part) {
  return joined.empty() ? std::string(part) : joined + ", " + std::string(part);
}

void print_account(const Json& a) {
  line(value_text(member(a, "name")) + " <" + value_text(member(a, "email")) + ">");
  line("Plan:               " + value_text(path_of(a, "plan", "name")) +
       (flag_of(member(a, "read_only")) ? " (read-only)" : ""));
  line("Max transfer size:  " + size_or_unlimited(path_of(a, "limits", "max_transfer_size")));

  const auto monthly = count_of(path_of(a, "limits", "monthly_transfers"));
  line("Transfers / month:  " + value_text(path_of(a, "usage", "transfers_this_month")) +
       " used of " + (monthly ? std::to_string(*monthly) : "unlimited"));
  line("Volume / month:     " +
       format_size(count_of(path_of(a, "usage", "volume_this_month")).value_or(0)) + " used of " +
       size_or_unlimited(path_of(a, "limits", "monthly_volume")));

  const auto expiry = count_of(path_of(a, "limits", "expiry_days"));
  line("Expiry:             " + (expiry ? std::to_string(*expiry) + " days" : "never"));

  std::string options;
  auto labels = find_feature_label(member(a, "features"));
  while (const auto label = labels.next()) options = join(options, *label);
  line("Options:            " + (options.empty() ? std::string("-") : options));
}

std::string list_row(const std::string& id, const std::string& status, const std::string& files,
                     const std::string& size, const std::string& downloads,
                     const std::string& expires, const std::string& title) {
  return pad_right(id, 8) + " " + pad_right(status, 8) + " " + pad_left(files, 5) + " " +
         pad_left(size, 10) + " " + pad_left(downloads, 5) + "  " + pad_right(expires, 16) + "  " +
         title;
}

void print_page(const Json& reply, const cmd::List& args) {
  const Json& data = member(reply, "data");
  if (!data.is_array() || data.empty()) {
    line("No transfers.");
    return;
  }
  line(list_row("ID", "STATUS", "FILES", "SIZE", "DL", "EXPIRES", "TITLE"));
  for (const Json& t : data) {
    line(list_row(value_text(member(t, "id")), value_text(member(t, "status")),
                  value_text(member(t, "file_count")),
                  format_size(count_of(member(t, "total_size")).value_or(0)),
                  value_text(member(t, "download_count")),
                  format_timestamp(member(t, "expires_at")),
                  text_of(member(t, "title")).value_or("")));
  }
  const std::uint64_t total = count_of(member(reply, "total")).value_or(0);
  const std::uint64_t per_page = args.per_page == 0 ? 1 : args.per_page;
  const std::uint64_t pages =
      std::max<std::uint64_t>(1, total / per_page + (total % per_page != 0));
  line("Page " + std::to_string(args.page) + " of " + std::to_string(pages) + " (" +
       std::to_string(total) + " transfers)");
}

void print_transfer(const Json& t) {
  line("Transfer #" + value_text(member(t, "id")) + " - " +
       text_of(member(t, "title")).value_or("(no title)"));
  line("Status:     " + value_text(member(t, "status")));
  const bool e2ee = member(t, "mode") == Json("e2ee");
  line("Link:       " + value_text(member(t, "url")) +
       (e2ee ? "  (end-to-end encrypted: the key is only in the link you got at upload)" : ""));
  line("Created:    " + format_timestamp(member(t, "created_at")));
  line("Expires:    " + format_timestamp(member(t, "expires_at")));
  const auto limit = count_of(member(t, "max_downloads"));
  line("Downloads:  " + value_text(member(t, "download_count")) +
       (limit ? " of " + std::to_string(*limit) : ""));
  if (const auto recipient = text_of(member(t, "recipient_email"))) {
    line("Recipient:  " + *recipient);
  }
  std::string options;
  if (flag_of(member(t, "password_protected"))) options = join(options, "password");
  if (flag_of(member(t, "self_destroy"))) options = join(options, "self-destroy");
  if (!options.empty()) line("Options:    " + options);

  line("Files:");
  const Json& files = member(t, "files");
  if (files.is_array()) {
    for (const Json& f : files) {
      line("  " + pad_left(format_size(count_of(member(f, "size")).value_or(0)), 10) + "  " +
           pad_left(value_text(member(f, "downloads")), 3) + " dl  " +
           value_text(member(f, "name")));
    }
  }
  const Json& downloads = member(t, "downloads");
  if (downloads.is_array() && !downloads.empty()) {
    line("Downloads (latest first):");
    std::size_t shown = 0;
    for (const Json& d : downloads) {
      if (shown++ == MAX_LISTED_DOWNLOADS) break;
      line("  " + format_timestamp(member(d, "at")) + "  " + value_text(member(d, "ip")));
    }
  }
}

// Asks on standard error; only "y", "Y" or "yes" (white space around allowed) agree.
Result<bool> confirm_delete(std::uint64_t id) {
  if (!platform::stdin_is_terminal()) return fail("add --yes to delete without confirmation");
  platform::write_stderr("Delete transfer #" + std::to_string(id) + " and its files? [y/N] ");
  const std::string answer = utf8_lossy(platform::read_stdin_line().value_or(std::string()));
  const std::string_view trimmed = trim_unicode(answer);
  return trimmed == "y" || trimmed == "Y" || trimmed == "yes";
}

}  // namespace

Status run_whoami(const ApiClient& client, bool json) {
  auto account = api_get(client, "/me");
  if (!account) return fail(format_api_error(account.error()));
  if (json) {
    print_json(*account);
  } else {
    print_account(*account);
  }
  return {};
}

Status run_list(const ApiClient& client, const cmd::List& args, bool json) {
  const std::string path = "/transfers?status=" + args.status +
                           "&page=" + std::to_string(args.page) +
                           "&per_page=" + std::to_string(args.per_page);
  auto page = api_get(client, path);
  if (!page) return fail(format_api_error(page.error()));
  if (json) {
    print_json(*page);
  } else {
    print_page(*page, args);
  }
  return {};
}

Status run_info(const ApiClient& client, const cmd::Info& args, bool json) {
  auto transfer = api_get(client, "/transfers/" + std::to_string(args.id));
  if (!transfer) return fail(format_api_error(transfer.error()));
  if (json) {
    print_json(*transfer);
  } else {
    print_transfer(*transfer);
  }
  return {};
}

Status run_delete(const ApiClient& client, const cmd::Delete& args, bool json) {
  if (!args.yes) {
    auto confirmed = confirm_delete(args.id);
    if (!confirmed) return fail(std::move(confirmed).error());
    if (!*confirmed) {
      line("Cancelled.");
      return {};
    }
  }
  auto reply = api_delete(client, "/transfers/" + std::to_string(args.id));
  if (!reply) return fail(format_api_error(reply.error()));
  if (json) {
    print_json(*reply);
  } else {
    line("Transfer #" + std::to_string(args.id) + " deleted.");
  }
  return {};
}

}  // namespace qel
