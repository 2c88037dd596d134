#include "login/device_login.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "api/client.h"
#include "common/text.h"
#include "desktop/open_url.h"
#include "login/login_internal.h"
#include "platform/platform.h"

namespace qel {
namespace {

constexpr std::string_view UNEXPECTED = "unexpected response from the server";
constexpr std::size_t MAX_NAME_LENGTH = 60;
// A host name is a few dozen bytes; a file far larger than that is no host name file.
constexpr std::size_t MAX_HOSTNAME_FILE_SIZE = std::size_t{64} << 10;

struct Messages {
  std::string_view page;
  std::string_view code;
  std::string_view browser_opened;
  std::string_view waiting;
  std::string_view expired;
  std::string_view denied;
};

constexpr Messages ENGLISH{
    "Open this page in your browser:",
    "and confirm the code:",
    "(the browser was opened automatically)",
    "Waiting for approval...",
    "the request expired. Try again.",
    "the request was denied.",
};

constexpr Messages ROMANIAN{
    "Deschide în browser pagina:",
    "și confirmă codul:",
    "(browserul s-a deschis automat)",
    "Aștept confirmarea...",
    "cererea a expirat. Încearcă din nou.",
    "cererea a fost refuzată.",
};

const Messages& messages(bool romanian) { return romanian ? ROMANIAN : ENGLISH; }

// Only a non-negative JSON integer counts; fractions, strings and negatives do not.
std::optional<std::uint64_t> whole_seconds(const Json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
    return static_cast<std::uint64_t>(value.get<std::int64_t>());
  }
  return std::nullopt;
}

std::string text_or_empty(const Json& value) {
  return value.is_string() ? value.get<std::string>() : std::string();
}

std::string string_or_dash(const Json& value) {
  return value.is_string() ? value.get<std::string>() : std::string("-");
}

void say(std::string_view line) {
  std::string text(line);
  text += '\n';
  platform::write_stderr(text);
}

}  // namespace

std::optional<DeviceAuthorization> read_device_authorization(const Json& reply) {
  const Json& code = member(reply, "device_code");
  if (!code.is_string()) return std::nullopt;
  DeviceAuthorization auth;
  auth.device_code = code.get<std::string>();
  auth.user_code = text_or_empty(member(reply, "user_code"));
  auth.verification_url = text_or_empty(member(reply, "verification_url"));
  const Json& complete = member(reply, "verification_url_complete");
  auth.verification_url_complete =
      complete.is_string() ? complete.get<std::string>() : auth.verification_url;
  auth.interval = std::max<std::uint64_t>(whole_seconds(member(reply, "interval")).value_or(3), 1);
  auth.expires_in = whole_seconds(member(reply, "expires_in")).value_or(600);
  return auth;
}

std::string logged_in_greeting(bool romanian, const Json& account) {
  const std::string email = string_or_dash(member(account, "email"));
  const std::string plan = string_or_dash(member(member(account, "plan"), "name"));
  if (romanian) return "Conectat ca " + email + " (plan " + plan + ").";
  return "Logged in as " + email + " (" + plan + " plan).";
}

std::string client_name(std::string_view computer) {
  return "qel - " + std::string(computer) + " (" + std::string(platform::os_display_name()) + ")";
}

std::string computer_name() {
  return login_detail::computer_name_from(platform::get_env, "/etc/hostname");
}

namespace login_detail {

PollClock system_clock() {
  return PollClock{
      [] { return Clock::now(); },
      [](std::uint64_t seconds) {
        // Bounded by the caller; this keeps the conversion itself from overflowing.
        constexpr std::uint64_t limit = std::numeric_limits<std::int64_t>::max() / 1000000000;
        std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, limit)));
      },
  };
}

Clock::time_point deadline_after(Clock::time_point now, std::uint64_t seconds) {
  const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now);
  if (room.count() < 0 || seconds >= static_cast<std::uint64_t>(room.count())) {
    return Clock::time_point::max();
  }
  return now + std::chrono::seconds(static_cast<std::int64_t>(seconds));
}

std::uint64_t pause_before_poll(std::uint64_t interval, Clock::time_point now,
                                Clock::time_point deadline) {
  std::uint64_t left = 0;
  if (deadline > now) {
    const auto span = deadline - now;
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(span);
    left = static_cast<std::uint64_t>(whole.count()) + (span > whole ? 1 : 0);
  }
  return std::min(interval, left + 1);
}

Result<std::string> poll_for_token(const DeviceAuthorization& auth, bool romanian,
                                   const PollClock& clock,
                                   const std::function<ApiResult<Json>()>& poll) {
  const Messages& text = messages(romanian);
  const Clock::time_point deadline = deadline_after(clock.now(), auth.expires_in);
  std::uint64_t interval = std::max<std::uint64_t>(auth.interval, 1);
  for (;;) {
    clock.sleep(pause_before_poll(interval, clock.now(), deadline));
    if (clock.now() > deadline) return fail(std::string(text.expired));

    ApiResult<Json> reply = poll();
    if (!reply) {
      const ApiError& error = reply.error();
      // The sign-in's own codes decide before the status does.
      if (error.code == "authorization_pending") continue;
      if (error.code == "slow_down") {
        interval = interval > std::numeric_limits<std::uint64_t>::max() - 2 ? interval : interval + 2;
        continue;
      }
      if (error.code == "access_denied") return fail(std::string(text.denied));
      if (error.code == "expired_token") return fail(std::string(text.expired));
      if (is_retryable(error)) {
        interval = std::max<std::uint64_t>(interval, 3);
        continue;
      }
      return fail(format_api_error(error));
    }
    const Json& token = member(*reply, "access_token");
    if (!token.is_string()) return fail(std::string(UNEXPECTED));
    return token.get<std::string>();
  }
}

std::string computer_name_from(const std::function<platform::EnvVar(const char*)>& env,
                               const std::filesystem::path& hostname_file) {
  std::string found;
  bool have = false;
  for (const char* name : {"COMPUTERNAME", "HOSTNAME"}) {
    const platform::EnvVar var = env(name);
    if (var.state == platform::EnvVar::State::set && !trim_unicode(var.value).empty()) {
      found = var.value;
      have = true;
      break;
    }
  }
  if (!have) {
    // The file counts whenever it reads as text, even blank: the program is then not run.
    if (auto content = platform::read_file(hostname_file, MAX_HOSTNAME_FILE_SIZE);
        content && is_valid_utf8(*content)) {
      found = std::move(*content);
    } else if (auto output = platform::run_capture({"hostname", {}})) {
      found = utf8_lossy(*output);
    }
  }
  const std::string_view trimmed = trim_unicode(found);
  if (trimmed.empty()) return "computer";
  return std::string(utf8_prefix(trimmed, MAX_NAME_LENGTH));
}

}  // namespace login_detail

Result<LoginResult> device_login(std::string_view base_url, bool romanian) {
  const Messages& text = messages(romanian);
  const ApiClient anonymous = make_agent(base_url, "");
  const Json start_body = {{"app", "qel"}, {"client_name", client_name(computer_name())}};
  ApiResult<Json> started = api_post_json(anonymous, "/auth/device", start_body);
  if (!started) return fail(format_api_error(started.error()));
  const auto auth = read_device_authorization(*started);
  if (!auth) return fail(std::string(UNEXPECTED));

  say("");
  say(text.page);
  say("  " + terminal_text(auth->verification_url));
  say(text.code);
  say("");
  say("    " + terminal_text(auth->user_code));
  say("");
  if (open_url(auth->verification_url_complete)) say(text.browser_opened);
  say(text.waiting);

  const Json poll_body = {{"device_code", auth->device_code}};
  auto token = login_detail::poll_for_token(*auth, romanian, login_detail::system_clock(), [&] {
    return api_post_json(anonymous, "/auth/token", poll_body);
  });
  if (!token) return fail(std::move(token).error());

  const ApiClient signed_in = make_agent(base_url, *token);
  ApiResult<Json> account = api_get(signed_in, "/me");
  if (!account) return fail(format_api_error(account.error()));
  return LoginResult{std::move(*token), std::move(*account)};
}

}  // namespace qel
