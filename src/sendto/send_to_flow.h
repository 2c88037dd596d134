// The console dialogue behind Explorer's Send To entry and a double-click start.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "api/client.h"
#include "common/json.h"
#include "common/result.h"
#include "config/config.h"
#include "sendto/mail_link.h"

namespace qel {

inline constexpr int COUNTDOWN_SECONDS = 5;
inline constexpr std::size_t SEND_TO_PARALLEL = 4;

// Uploads the files at `paths` (or, without paths, checks the account and explains how to
// send files). Everything goes to standard error. Returns the exit code, 0 or 1.
int send_to_flow(const std::vector<std::filesystem::path>& paths, Config& config);

// QEL_LANG when set, else the user-interface language.
bool choose_romanian();

struct LoggedIn {
  ApiClient client;
  Json account;
};

// A client whose key the service accepts; signs in (and saves the token) after a 401.
Result<LoggedIn> ensure_logged_in(bool romanian, Config& config);

// Shows the closing prompt and waits for one line of standard input.
void wait_for_enter(bool romanian);

// Tries the clipboard programs in order; prints a line when one took the link.
void copy_to_clipboard(bool romanian, std::string_view link);

// Counts down from COUNTDOWN_SECONDS, one second per step.
void close_countdown(bool romanian);

}  // namespace qel
