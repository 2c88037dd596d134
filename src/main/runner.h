// The frame every subcommand but the Send To flow runs in.
#pragma once

#include <optional>
#include <string>

#include "api/client.h"
#include "config/config.h"
#include "main/cli.h"

namespace qel {

inline constexpr std::string_view NOT_LOGGED_IN =
    "not logged in. Run \"qel login\" (or set QEL_API_KEY).";

// Nothing on success, or the error text main prints as "Error: {}".
std::optional<std::string> run_command(const Cli& cli);

// Bodies of the subcommands, plugged into the frame.
Status run_login(Config config, const std::string& base_url, const cmd::Login& args, bool json);
Status run_logout(const Config& config, const std::string& base_url);
Status run_whoami(const ApiClient& client, bool json);
Status run_list(const ApiClient& client, const cmd::List& args, bool json);
Status run_info(const ApiClient& client, const cmd::Info& args, bool json);
Status run_delete(const ApiClient& client, const cmd::Delete& args, bool json);
Status run_send(const ApiClient& client, const cmd::Send& args, bool json);

}  // namespace qel
