#include "main/runner.h"

#include "desktop/shortcut.h"

namespace qel {
namespace {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

std::optional<std::string> outcome(Status status) {
  if (status) return std::nullopt;
  return std::move(status).error();
}

}  // namespace

std::optional<std::string> run_command(const Cli& cli) {
  const Config config = load_config();
  const std::string base_url = resolve_api_url(config);

  // The five subcommands that read the service share one client, built from the key in force.
  auto with_client = [&](auto&& body) -> std::optional<std::string> {
    const auto key = resolve_api_key(config);
    if (!key) return std::string(NOT_LOGGED_IN);
    const ApiClient client = make_agent(base_url, *key);
    return outcome(body(client));
  };

  return std::visit(
      Overload{
          [&](const cmd::Login& c) { return outcome(run_login(config, base_url, c, cli.json)); },
          [&](const cmd::Logout&) { return outcome(run_logout(config, base_url)); },
          [&](const cmd::Install&) { return outcome(install_send_to()); },
          [&](const cmd::Uninstall&) { return outcome(uninstall_send_to()); },
          [&](const cmd::Sendto&) -> std::optional<std::string> {
            return std::string("sendto is run by main");
          },
          [&](const cmd::Whoami&) {
            return with_client([&](const ApiClient& c) { return run_whoami(c, cli.json); });
          },
          [&](const cmd::Send& s) {
            return with_client([&](const ApiClient& c) { return run_send(c, s, cli.json); });
          },
          [&](const cmd::List& l) {
            return with_client([&](const ApiClient& c) { return run_list(c, l, cli.json); });
          },
          [&](const cmd::Info& i) {
            return with_client([&](const ApiClient& c) { return run_info(c, i, cli.json); });
          },
          [&](const cmd::Delete& d) {
            return with_client([&](const ApiClient& c) { return run_delete(c, d, cli.json); });
          },
      },
      *cli.command);
}

}  // namespace qel
