// The command-line definition on top of CLI11, and its conversion into `Cli`.
//
// CLI11 covers most of the rules. cli_rules.cpp covers the words it reads differently
// (values beginning with "-", "--", "--name=" with an empty value, values on flags) and
// suggests similar names; the "help" subcommand is answered here.
#include "main/cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>

#include "common/text.h"
#include "main/cli_rules.h"
#include "platform/platform.h"

namespace qel {
namespace {

constexpr const char* VERSION_TEXT = "qel " QEL_VERSION;

std::string valid_text(std::string& value) {
  if (is_valid_utf8(value)) return {};
  return "'" + utf8_lossy(unprotect_word(value)) + "' is not valid UTF-8";
}

// Whole decimal numbers with an optional "+", up to `max`; CLI11's own conversion would
// also take octal, hex, blanks and wrapped negative numbers.
CLI::Validator whole_number(std::uint64_t max) {
  return CLI::Validator(
      [max](std::string& value) -> std::string {
        std::uint64_t n = 0;
        if (parse_u64(value, n) && n <= max) return {};
        // No NUL mark may reach the message: CLI11 hands it on as a C string.
        return "'" + utf8_lossy(unprotect_word(value)) + "' is not a whole number from 0 to " +
               std::to_string(max);
      },
      "");
}

// The values the definition's options write into, one set per definition.
struct Values {
  bool json = false;
  std::string key;
  std::vector<std::string> sendto_paths;
  std::vector<std::string> send_paths;
  std::string to, title, message, password, expires, max_downloads, schedule, mode, lang;
  std::string parallel = "4";
  bool ask_password = false, self_destroy = false, no_encrypt = false, quiet = false;
  std::string status = "all", page = "1", per_page = "50";
  std::string info_id, delete_id;
  bool yes = false;
  std::string help_topic;
};

struct Definition {
  CLI::App app;
  Values v;
  CLI::App* help = nullptr;

  explicit Definition(std::string name)
      : app("Send files with Dropvale from the command line", std::move(name)) {
    // Options are written with dashes on every system: a word such as "/tmp/a.txt" (or
    // "/?") is a path or a value, never a Windows-style option.
    app.allow_windows_style_options(false);
  }
};

// Every option, flag included, may be given once per command.
CLI::Option* once(CLI::Option* option) {
  return option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

CLI::Option* text(CLI::App* app, const std::string& name, std::string& into,
                  const std::string& value_name, const std::string& help) {
  return once(app->add_option(name, into, help))->type_name(value_name)->check(
      CLI::Validator(valid_text, ""));
}

CLI::Option* number(CLI::App* app, const std::string& name, std::string& into,
                    const std::string& value_name, std::uint64_t max, const std::string& help) {
  return once(app->add_option(name, into, help))->type_name(value_name)->check(whole_number(max));
}

CLI::Option* flag(CLI::App* app, const std::string& name, bool& into, const std::string& help) {
  return once(app->add_flag(name, into, help));
}

CLI::App* subcommand(Definition& d, const std::string& name, const std::string& about) {
  CLI::App* sub = d.app.add_subcommand(name, about);
  flag(sub, "--json", d.v.json, "Print machine-readable JSON instead of text");
  return sub;
}

constexpr std::uint64_t U32_MAX = 0xFFFFFFFFull;
constexpr std::uint64_t U64_MAX = ~std::uint64_t{0};
constexpr std::uint64_t WORD_MAX = static_cast<std::uint64_t>(~std::size_t{0});

std::unique_ptr<Definition> build_cli(std::string name) {
  auto d = std::make_unique<Definition>(std::move(name));
  CLI::App& app = d->app;
  Values& v = d->v;
  app.set_help_flag("-h,--help", "Print help");
  app.set_version_flag("-V,--version", VERSION_TEXT, "Print version");
  // At most one subcommand: once one is named, the words after it are its own, also when
  // they spell another subcommand's name.
  app.require_subcommand(0, 1);
  flag(&app, "--json", v.json, "Print machine-readable JSON instead of text");

  CLI::App* login = subcommand(
      *d, "login",
      "Connect your account: approve a code in the browser (any plan). With --key: use an "
      "API key instead (Business / Corporate, for servers and CI)");
  text(login, "--key", v.key, "[KEY]",
       "API key from Account -> API (without a value it is read from the terminal, no echo)")
      ->expected(0, 1);

  subcommand(*d, "logout", "Disconnect: remove the saved token or key from this computer");
  subcommand(*d, "install", "Windows: add \"Dropvale\" to the \"Send to\" menu of Explorer");
  subcommand(*d, "uninstall", "Windows: remove \"Dropvale\" from the \"Send to\" menu");

  CLI::App* sendto = subcommand(
      *d, "sendto", "Used by the \"Send to\" menu: upload, copy the link, open a new email");
  sendto->group("");  // hidden from the list of subcommands
  sendto->add_option("PATHS", v.sendto_paths)->type_name("");

  subcommand(*d, "whoami", "Show your account, plan limits and usage");

  CLI::App* send = subcommand(*d, "send", "Upload files and folders and print the download link");
  send->add_option("PATHS", v.send_paths, "Files and folders to send (folders are sent recursively)")
      ->type_name("")
      ->required();
  text(send, "--to", v.to, "TO", "Email the link to this recipient (requires --no-encrypt)");
  text(send, "--title", v.title, "TITLE", "Transfer title");
  text(send, "--message", v.message, "MESSAGE", "Message for the recipient");
  CLI::Option* password =
      text(send, "--password", v.password, "PASSWORD", "Protect the download with a password");
  CLI::Option* ask_password = flag(send, "--ask-password", v.ask_password,
                                   "Ask for the password in the terminal (no echo)");
  text(send, "--expires", v.expires, "EXPIRES",
       "Expiry date: YYYY-MM-DD or a full ISO 8601 date (within your plan limit)");
  number(send, "--max-downloads", v.max_downloads, "MAX_DOWNLOADS", U32_MAX,
         "Maximum number of downloads");
  flag(send, "--self-destroy", v.self_destroy,
       "Delete the transfer after every file was downloaded once");
  text(send, "--schedule", v.schedule, "SCHEDULE",
       "Send the recipient email later: YYYY-MM-DDTHH:MM (requires --to)");
  CLI::Option* no_encrypt = flag(send, "--no-encrypt", v.no_encrypt,
                                 "Do not encrypt in the client (needed for --to and previews)");
  CLI::Option* mode = text(send, "--mode", v.mode, "MODE",
                           "Advanced: e2ee | preview_download | preview_watermark | preview_only");
  text(send, "--lang", v.lang, "LANG", "Language of the emails (ro, en, de, ...)");
  number(send, "--parallel", v.parallel, "PARALLEL", WORD_MAX, "Parallel uploads (1-8)")
      ->default_str("4");
  flag(send, "-q,--quiet", v.quiet, "Print only the link");
  password->excludes(ask_password);
  ask_password->excludes(password);
  mode->excludes(no_encrypt);
  no_encrypt->excludes(mode);

  CLI::App* list = subcommand(*d, "list", "List your transfers");
  text(list, "--status", v.status, "STATUS", "all | active | expired | pending")
      ->default_str("all");
  number(list, "--page", v.page, "PAGE", U32_MAX, "")->default_str("1");
  number(list, "--per-page", v.per_page, "PER_PAGE", U32_MAX, "")->default_str("50");

  CLI::App* info = subcommand(*d, "info", "Show a transfer: files and downloads");
  number(info, "ID", v.info_id, "", U64_MAX, "")->required();

  CLI::App* del = subcommand(*d, "delete", "Delete a transfer and its files");
  number(del, "ID", v.delete_id, "", U64_MAX, "")->required();
  flag(del, "-y,--yes", v.yes, "Do not ask for confirmation");

  d->help = app.add_subcommand("help", "Print this message or the help of the given subcommand");
  d->help->add_option("SUBCOMMAND", v.help_topic)->type_name("");
  return d;
}

std::uint64_t to_u64(const std::string& digits) {
  std::uint64_t n = 0;
  parse_u64(digits, n);  // already checked by the option's validator
  return n;
}

std::optional<std::string> given(const CLI::App* app, const char* name, const std::string& value) {
  if (app->get_option(name)->count() == 0) return std::nullopt;
  return value;
}

std::vector<std::filesystem::path> to_paths(const std::vector<std::string>& words) {
  std::vector<std::filesystem::path> paths;
  paths.reserve(words.size());
  for (const auto& w : words) paths.push_back(platform::path_from_text(unprotect_word(w)));
  return paths;
}

Commands to_command(const Definition& d, const CLI::App* sub) {
  const Values& v = d.v;
  const std::string name = sub->get_name();
  if (name == "login") {
    cmd::Login c;
    c.key = given(sub, "--key", unprotect_word(v.key));
    return c;
  }
  if (name == "logout") return cmd::Logout{};
  if (name == "install") return cmd::Install{};
  if (name == "uninstall") return cmd::Uninstall{};
  if (name == "sendto") return cmd::Sendto{to_paths(v.sendto_paths)};
  if (name == "whoami") return cmd::Whoami{};
  if (name == "send") {
    cmd::Send c;
    c.paths = to_paths(v.send_paths);
    auto text_of = [&](const char* option, const std::string& value) {
      return given(sub, option, unprotect_word(value));
    };
    c.to = text_of("--to", v.to);
    c.title = text_of("--title", v.title);
    c.message = text_of("--message", v.message);
    c.password = text_of("--password", v.password);
    c.ask_password = v.ask_password;
    c.expires = text_of("--expires", v.expires);
    if (sub->get_option("--max-downloads")->count() > 0) {
      c.max_downloads = static_cast<std::uint32_t>(to_u64(v.max_downloads));
    }
    c.self_destroy = v.self_destroy;
    c.schedule = text_of("--schedule", v.schedule);
    c.no_encrypt = v.no_encrypt;
    c.mode = text_of("--mode", v.mode);
    c.lang = text_of("--lang", v.lang);
    c.parallel = static_cast<std::size_t>(to_u64(v.parallel));
    c.quiet = v.quiet;
    return c;
  }
  if (name == "list") {
    cmd::List c;
    c.status = unprotect_word(v.status);
    c.page = static_cast<std::uint32_t>(to_u64(v.page));
    c.per_page = static_cast<std::uint32_t>(to_u64(v.per_page));
    return c;
  }
  if (name == "info") return cmd::Info{to_u64(v.info_id)};
  return cmd::Delete{to_u64(v.delete_id), v.yes};
}

std::string program_name(const std::vector<std::string>& args) {
  if (args.empty()) return "qel";
  std::string name = platform::path_text(platform::path_from_text(args.front()).filename());
  return name.empty() ? std::string("qel") : name;
}

ParseExit usage_error(std::string message) {
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return ParseExit{2, "", utf8_lossy(unprotect_word(message)) + "\n" + std::string(RUN_WITH_HELP)};
}

const CLI::App* selected_subcommand(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->parsed()) return sub;
  }
  return nullptr;
}

// "qel help" and "qel help NAME": the help of the top level or of that subcommand.
ParseExit help_for_topic(const Definition& d, const std::string& program) {
  const auto topic = unprotect_word(d.v.help_topic);
  auto formatter = d.app.get_formatter();
  if (d.help->get_option("SUBCOMMAND")->count() == 0) {
    return ParseExit{0, formatter->make_help(&d.app, program, CLI::AppFormatMode::Normal), ""};
  }
  for (const CLI::App* sub : d.app.get_subcommands({})) {
    if (sub->get_name() == topic) {
      return ParseExit{
          0, formatter->make_help(sub, program + " " + topic, CLI::AppFormatMode::Normal), ""};
    }
  }
  std::string message = "unrecognized subcommand '" + utf8_lossy(topic) + "'";
  message += suggestion_line(topic, subcommand_names(d.app), "subcommand");
  return usage_error(message);
}

}  // namespace

std::variant<Cli, ParseExit> parse_cli(const std::vector<std::string>& args) {
  const std::string program = program_name(args);
  try {
    auto d = build_cli(program);
    std::vector<std::string> words(args.size() > 1 ? args.begin() + 1 : args.end(), args.end());
    if (auto refusal = check_words(d->app, words)) return usage_error(*refusal);
    std::reverse(words.begin(), words.end());  // CLI11 takes the words last first
    try {
      d->app.parse(words);
    } catch (const CLI::CallForHelp&) {
      return ParseExit{0, d->app.help(), ""};
    } catch (const CLI::CallForAllHelp&) {
      return ParseExit{0, d->app.help("", CLI::AppFormatMode::All), ""};
    } catch (const CLI::CallForVersion& e) {
      return ParseExit{0, std::string(e.what()) + "\n", ""};
    } catch (const CLI::ExtrasError&) {
      return usage_error(extras_message(d->app));
    } catch (const CLI::ParseError& e) {
      return usage_error(e.what());
    }

    Cli cli;
    cli.json = d->v.json;
    const CLI::App* sub = selected_subcommand(d->app);
    if (sub == d->help) return help_for_topic(*d, program);
    if (sub != nullptr) cli.command = to_command(*d, sub);
    return cli;
  } catch (const std::exception& e) {
    // A fault of the definition itself; reported like any other usage error.
    return usage_error(e.what());
  }
}

std::string top_level_help() {
  try {
    return build_cli("qel")->app.help();
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace qel
