// Entry point: parse, then one road — the parser's ending, the help, the Send To flow,
// or the command runner.
#include <exception>

#include "common/text.h"
#include "config/config.h"
#include "main/cli.h"
#include "main/runner.h"
#include "platform/platform.h"
#include "sendto/send_to_flow.h"

namespace {

int run(int argc, char** argv) {
  using namespace qel;
  platform::init_process();

  auto parsed = parse_cli(platform::process_arguments(argc, argv));
  if (auto* exit = std::get_if<ParseExit>(&parsed)) {
    platform::write_stdout(exit->out);
    platform::write_stderr(exit->err);
    return exit->exit_code;
  }
  const Cli& cli = std::get<Cli>(parsed);

  if (!cli.command) {
    if (platform::is_own_console()) {
      Config config = load_config();
      return send_to_flow({}, config);
    }
    platform::write_stdout(top_level_help());
    return 0;
  }

  if (const auto* sendto = std::get_if<cmd::Sendto>(&*cli.command)) {
    Config config = load_config();
    return send_to_flow(sendto->paths, config);
  }

  if (auto error = run_command(cli)) {
    platform::write_stderr("Error: " + terminal_text(*error) + "\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Failures travel as values; this only keeps an unexpected one (such as running out of
  // memory) from ending the program without a word.
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    qel::platform::write_stderr(std::string("Error: ") + e.what() + "\n");
  } catch (...) {
    qel::platform::write_stderr("Error: unexpected failure\n");
  }
  return 1;
}
