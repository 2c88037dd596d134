// `qel login` and `qel logout`: connect an account to this computer and disconnect it.
#include "common/text.h"
#include "login/device_login.h"
#include "main/format.h"
#include "main/runner.h"
#include "platform/platform.h"

namespace qel {
namespace {

// A key the service can revoke; any other saved key is never sent on sign-out.
constexpr std::string_view REVOCABLE_PREFIX = "qec_";

}  // namespace

Status run_login(Config config, const std::string& base_url, const cmd::Login& args, bool json) {
  std::string key;
  Json account;
  if (args.key) {
    std::string given = *args.key;
    if (given.empty()) {
      auto answer = platform::read_secret("API key: ");
      if (!answer) return fail(std::move(answer).error());
      given = std::move(*answer);
    }
    key = std::string(trim_unicode(given));
    if (key.empty()) return fail("no key given");
    ApiResult<Json> me = api_get(make_agent(base_url, key), "/me");
    if (!me) return fail(format_api_error(me.error()));
    account = std::move(*me);
  } else {
    auto signed_in = device_login(base_url, false);
    if (!signed_in) return fail(std::move(signed_in).error());
    key = std::move(signed_in->token);  // saved exactly as the service gave it
    account = std::move(signed_in->account);
  }

  // The URL stays as loaded: one that came from QEL_API_URL is not written to the file.
  config.api_key = std::move(key);
  auto saved = save_config(config);
  if (!saved) return fail(std::move(saved).error());

  if (json) {
    print_json(account);
  } else {
    platform::write_stdout(terminal_text(logged_in_greeting(false, account)) + "\n");
    platform::write_stdout("Saved in " + terminal_text(platform::path_text(*saved)) + "\n");
  }
  return {};
}

Status run_logout(const Config& config, const std::string& base_url) {
  if (config.api_key && config.api_key->starts_with(REVOCABLE_PREFIX)) {
    // Whatever the service answers, the key is removed locally next.
    (void)api_post(make_agent(base_url, *config.api_key), "/auth/revoke");
  }

  const auto path = config_path();
  if (!path || !platform::path_exists(*path, true)) {
    platform::write_stdout("Not logged in.\n");
    return {};
  }

  // Read again just before rewriting, so only the key is taken away.
  Config remaining = load_config();
  remaining.api_key.reset();
  if (!remaining.api_url) {
    if (Status removed = platform::remove_file(*path); !removed) {
      return fail(std::move(removed).error());
    }
  } else if (auto saved = save_config(remaining); !saved) {
    return fail(std::move(saved).error());
  }
  platform::write_stdout("Logged out.\n");
  return {};
}

}  // namespace qel
