#include "sendto/send_to_flow.h"

#include <chrono>
#include <thread>

#include "common/text.h"
#include "desktop/open_url.h"
#include "login/device_login.h"
#include "main/format.h"
#include "platform/platform.h"
#include "sendto/texts.h"
#include "upload/collect.h"
#include "upload/upload.h"

namespace qel {
namespace {

void say(std::string_view text) { platform::write_stderr(text); }
void say_line(std::string_view text) { say(std::string(text) + "\n"); }

void set_window_title() {
  if (platform::stderr_is_terminal()) say(fill(WINDOW_TITLE, {DISPLAY_NAME}));
}

int fail_flow(bool romanian, std::string_view error) {
  say("\n");
  say(fill("{} {}\n", {send_to_texts(romanian).error_label, terminal_text(error)}));
  wait_for_enter(romanian);
  return 1;
}

// Without paths: connect the account if needed and explain how to send files.
int greet(bool romanian, Config& config) {
  auto logged_in = ensure_logged_in(romanian, config);
  if (!logged_in) return fail_flow(romanian, logged_in.error());
  say_line(terminal_text(logged_in_greeting(romanian, logged_in->account)));
  say("\n");
  say_line(send_to_texts(romanian).hint);
  wait_for_enter(romanian);
  return 0;
}

int send_files(bool romanian, const std::vector<std::filesystem::path>& paths, Config& config) {
  const SendToTexts& t = send_to_texts(romanian);

  std::vector<std::string> warnings;
  auto files = collect_files(paths, warnings);
  if (!files) return fail_flow(romanian, files.error());

  auto logged_in = ensure_logged_in(romanian, config);
  if (!logged_in) return fail_flow(romanian, logged_in.error());

  for (const std::string& warning : warnings) {
    say(fill("{} {}\n", {t.warning_label, terminal_text(warning)}));
  }

  const std::uint64_t total = total_size(*files);
  const std::size_t n = files->size();
  say(fill(t.summary, {std::to_string(n), n == 1 ? t.summary_word_one : t.summary_word_many,
                       format_size(total)}));

  UploadOptions options;
  options.mode = std::string(E2EE_MODE);
  options.parallel = SEND_TO_PARALLEL;
  options.options = Json::object();
  options.hide_progress = false;
  auto uploaded = upload_transfer(logged_in->client, *files, options);
  if (!uploaded) return fail_flow(romanian, uploaded.error());

  const std::int64_t id = transfer_id_of(uploaded->transfer);
  const std::string expiry = expiry_date_of(uploaded->transfer);

  say("\n");
  say(fill(t.done, {std::to_string(id)}));
  // The console is where the link is shown before it goes anywhere else: when it cannot be
  // written there, nobody has seen it, and it is not handed on unseen either.
  if (Status shown = platform::write_stderr_checked(terminal_text(uploaded->link) + "\n"); !shown) {
    return fail_flow(romanian,
                     link_not_written(logged_in->client, *uploaded, true, shown.error()));
  }

  copy_to_clipboard(romanian, uploaded->link);

  if (open_url(build_mail_link(romanian, n, total, uploaded->link, expiry))) {
    say_line(t.mail_opened);
  }

  close_countdown(romanian);
  return 0;
}

}  // namespace

bool choose_romanian() {
  const platform::EnvVar lang = platform::get_env("QEL_LANG");
  if (lang.state == platform::EnvVar::State::set) return ascii_lower(lang.value).starts_with("ro");
  return platform::ui_language_is_romanian();
}

Result<LoggedIn> ensure_logged_in(bool romanian, Config& config) {
  const std::string url = resolve_api_url(config);
  if (const auto key = resolve_api_key(config)) {
    ApiClient client = make_agent(url, *key);
    auto account = api_get(client, "/me");
    if (account) return LoggedIn{std::move(client), std::move(account).value()};
    // Only a rejected key leads to a sign-in; any other failure is reported as it is.
    if (account.error().http_status != 401) return fail(format_api_error(account.error()));
  }

  say_line(send_to_texts(romanian).not_connected);
  auto login = device_login(url, romanian);
  if (!login) return fail(std::move(login).error());

  config.api_key = login->token;
  if (auto saved = save_config(config); !saved) return fail(std::move(saved).error());

  say_line(terminal_text(logged_in_greeting(romanian, login->account)));
  say("\n");
  return LoggedIn{make_agent(url, login->token), std::move(login->account)};
}

void wait_for_enter(bool romanian) {
  say("\n");
  say(send_to_texts(romanian).closing_prompt);
  // Whatever arrives, end of input included, closes the window.
  (void)platform::read_stdin_line();
}

void copy_to_clipboard(bool romanian, std::string_view link) {
  for (const platform::Command& command : platform::clipboard_commands()) {
    const auto code = platform::run_with_input(command, link);
    if (code && *code == 0) {
      say_line(send_to_texts(romanian).clipboard_done);
      return;
    }
  }
}

void close_countdown(bool romanian) {
  const SendToTexts& t = send_to_texts(romanian);
  say("\n");
  for (int left = COUNTDOWN_SECONDS; left >= 1; --left) {
    say(fill(t.countdown, {std::to_string(left)}));
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  say("\n");
}

int send_to_flow(const std::vector<std::filesystem::path>& paths, Config& config) {
  const bool romanian = choose_romanian();
  set_window_title();
  return paths.empty() ? greet(romanian, config) : send_files(romanian, paths, config);
}

}  // namespace qel
