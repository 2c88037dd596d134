// The command line: one declarative definition and the typed record a parse yields.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qel {

namespace cmd {
struct Login {
  std::optional<std::string> key;
};
struct Logout {};
struct Install {};
struct Uninstall {};
struct Sendto {
  std::vector<std::filesystem::path> paths;
};
struct Whoami {};
struct Send {
  std::vector<std::filesystem::path> paths;
  std::optional<std::string> to;
  std::optional<std::string> title;
  std::optional<std::string> message;
  std::optional<std::string> password;
  bool ask_password = false;
  std::optional<std::string> expires;
  std::optional<std::uint32_t> max_downloads;
  bool self_destroy = false;
  std::optional<std::string> schedule;
  bool no_encrypt = false;
  std::optional<std::string> mode;
  std::optional<std::string> lang;
  std::size_t parallel = 4;
  bool quiet = false;
};
struct List {
  std::string status = "all";
  std::uint32_t page = 1;
  std::uint32_t per_page = 50;
};
struct Info {
  std::uint64_t id = 0;
};
struct Delete {
  std::uint64_t id = 0;
  bool yes = false;
};
}  // namespace cmd

using Commands = std::variant<cmd::Login, cmd::Logout, cmd::Install, cmd::Uninstall, cmd::Sendto,
                              cmd::Whoami, cmd::Send, cmd::List, cmd::Info, cmd::Delete>;

struct Cli {
  bool json = false;
  std::optional<Commands> command;
};

// The parser's own endings: help or version on standard output (exit 0), or a usage
// error on standard error (exit 2).
struct ParseExit {
  int exit_code = 0;
  std::string out;  // for standard output
  std::string err;  // for standard error
};

// Parses the arguments (program path first).
std::variant<Cli, ParseExit> parse_cli(const std::vector<std::string>& args);

// The short top-level help, from a freshly built definition.
std::string top_level_help();

}  // namespace qel
