#include <gtest/gtest.h>

#include <sstream>

#include "main/cli.h"
#include "main/cli_rules.h"
#include "platform/platform.h"
#include "support/build.h"

namespace qel {
namespace {

std::variant<Cli, ParseExit> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/bin/qel");
  return parse_cli(words);
}

// A compact picture of a parse, so that one table can state many outcomes.
std::string describe(const std::variant<Cli, ParseExit>& result) {
  if (const auto* exit = std::get_if<ParseExit>(&result)) {
    return "exit " + std::to_string(exit->exit_code);
  }
  const Cli& cli = std::get<Cli>(result);
  std::ostringstream out;
  if (cli.json) out << "json ";
  if (!cli.command) return out.str() + "none";
  auto opt = [&](const char* name, const std::optional<std::string>& v) {
    if (v) out << " " << name << "=[" << *v << "]";
  };
  auto paths = [&](const std::vector<std::filesystem::path>& ps) {
    out << " paths=";
    for (const auto& p : ps) out << "[" << platform::name_bytes(p) << "]";
  };
  std::visit(
      [&](const auto& c) {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, cmd::Login>) {
          out << "login";
          opt("key", c.key);
        } else if constexpr (std::is_same_v<T, cmd::Logout>) {
          out << "logout";
        } else if constexpr (std::is_same_v<T, cmd::Install>) {
          out << "install";
        } else if constexpr (std::is_same_v<T, cmd::Uninstall>) {
          out << "uninstall";
        } else if constexpr (std::is_same_v<T, cmd::Sendto>) {
          out << "sendto";
          paths(c.paths);
        } else if constexpr (std::is_same_v<T, cmd::Whoami>) {
          out << "whoami";
        } else if constexpr (std::is_same_v<T, cmd::Send>) {
          out << "send";
          paths(c.paths);
          opt("to", c.to);
          opt("title", c.title);
          opt("message", c.message);
          opt("password", c.password);
          if (c.ask_password) out << " ask_password";
          opt("expires", c.expires);
          if (c.max_downloads) out << " max_downloads=" << *c.max_downloads;
          if (c.self_destroy) out << " self_destroy";
          opt("schedule", c.schedule);
          if (c.no_encrypt) out << " no_encrypt";
          opt("mode", c.mode);
          opt("lang", c.lang);
          out << " parallel=" << c.parallel;
          if (c.quiet) out << " quiet";
        } else if constexpr (std::is_same_v<T, cmd::List>) {
          out << "list status=[" << c.status << "] page=" << c.page << " per_page=" << c.per_page;
        } else if constexpr (std::is_same_v<T, cmd::Info>) {
          out << "info id=" << c.id;
        } else if constexpr (std::is_same_v<T, cmd::Delete>) {
          out << "delete id=" << c.id << (c.yes ? " yes" : "");
        }
      },
      *cli.command);
  return out.str();
}

struct Case {
  std::vector<std::string> words;
  std::string expected;
};

TEST(Cli, ParsesEveryRuleOfTheCommandLine) {
  const std::string INVALID(test::build::invalid_text);
  const Case cases[] = {
      // no subcommand
      {{}, "none"},
      {{"--json"}, "json none"},
      // login and its optional value
      {{"login"}, "login"},
      {{"login", "--key"}, "login key=[]"},
      {{"login", "--key", "--json"}, "json login key=[]"},
      {{"login", "--key", " k 1 "}, "login key=[ k 1 ]"},
      {{"login", "--key=abc"}, "login key=[abc]"},
      {{"login", "--key="}, "login key=[]"},
      {{"login", "--key", "logout"}, "login key=[logout]"},
      {{"login", "--key", "{}"}, "login key=[{}]"},
      {{"login", "--key", "[a,b]"}, "login key=[[a,b]]"},
      {{"login", "--key", "a", "--key", "b"}, "exit 2"},
      {{"login", "--key", "--key"}, "exit 2"},
      {{"login", "--key", "a", "b"}, "exit 2"},
      {{"login", "--key", "-5"}, "exit 2"},
      {{"login", "--key=-5"}, "login key=[-5]"},
      // the subcommands without values
      {{"logout"}, "logout"},
      {{"install"}, "install"},
      {{"uninstall"}, "uninstall"},
      {{"whoami", "--json"}, "json whoami"},
      {{"whoami", "extra"}, "exit 2"},
      // --json is global but once per command
      {{"--json", "list"}, "json list status=[all] page=1 per_page=50"},
      {{"list", "--json"}, "json list status=[all] page=1 per_page=50"},
      {{"--json", "list", "--json"}, "json list status=[all] page=1 per_page=50"},
      {{"list", "--json", "--json"}, "exit 2"},
      {{"--json", "--json"}, "exit 2"},
      {{"--json=true"}, "exit 2"},
      // sendto
      {{"sendto"}, "sendto paths="},
      {{"sendto", "--json", "a b"}, "json sendto paths=[a b]"},
      {{"sendto", "x", "x"}, "sendto paths=[x][x]"},
      // send: paths, values, flags, conflicts
      {{"send"}, "exit 2"},
      {{"send", "a"}, "send paths=[a] parallel=4"},
      {{"send", "a", "--title", "T", "b"}, "send paths=[a][b] title=[T] parallel=4"},
      {{"send", "a", "--title="}, "send paths=[a] title=[] parallel=4"},
      {{"send", "--title=", "a"}, "send paths=[a] title=[] parallel=4"},
      {{"send", "a", "--title", ""}, "send paths=[a] title=[] parallel=4"},
      {{"send", "a", "--title", "-x"}, "exit 2"},
      {{"send", "a", "--title", "--json"}, "exit 2"},
      {{"send", "a", "--title=--json"}, "send paths=[a] title=[--json] parallel=4"},
      {{"send", "a", "--title", "-"}, "send paths=[a] title=[-] parallel=4"},
      {{"send", "a", "--title"}, "exit 2"},
      {{"send", "a", "--title", "x", "--title", "x"}, "exit 2"},
      {{"send", "a", "-q", "-q"}, "exit 2"},
      {{"send", "a", "-q", "--quiet"}, "exit 2"},
      {{"send", "a", "--quiet=false"}, "exit 2"},
      {{"send", "-", "-q"}, "send paths=[-] parallel=4 quiet"},
      {{"send", "[a,b]", "[]"}, "send paths=[[a,b]][[]] parallel=4"},
      {{"send", "a", "--title", "[x]"}, "send paths=[a] title=[[x]] parallel=4"},
      {{"send", "a", "--", "--title", "-q", "-1", "--"}, "send paths=[a][--title][-q][-1][--] parallel=4"},
      {{"send", "--", "list"}, "send paths=[list] parallel=4"},
      {{"send", "a", "--", "b", "--"}, "send paths=[a][b][--] parallel=4"},
      {{"send", "a", "--"}, "send paths=[a] parallel=4"},
      {{"--", "send", "a"}, "exit 2"},
      {{"login", "--key", "--"}, "login key=[]"},
      {{"login", "--key", "--", "x"}, "exit 2"},
      {{"login", "--", "--key"}, "exit 2"},
      {{"send", "a", "list", "send"}, "send paths=[a][list][send] parallel=4"},
      // a word with a leading slash is a path or a value on every build, never an option
      {{"send", "/tmp/a.txt", "/q"}, "send paths=[/tmp/a.txt][/q] parallel=4"},
      {{"send", "a", "--title", "/json"}, "send paths=[a] title=[/json] parallel=4"},
      {{"send", "a", "-1"}, "exit 2"},
      {{"send", "a", "-q1"}, "exit 2"},
      {{"send", "a", "-qV"}, "exit 2"},
      {{"send", "a", "-qh"}, "exit 0"},
      {{"send", "a", "-qq"}, "exit 2"},
      {{"send", "a", "-q=1"}, "exit 2"},
      {{"send", "", "[", "]", "{}"}, "send paths=[][[][]][{}] parallel=4"},
      {{"send", "a", "--password", "p", "--ask-password"}, "exit 2"},
      {{"send", "a", "--ask-password", "--password", "p"}, "exit 2"},
      {{"send", "a", "--no-encrypt", "--mode", "e2ee"}, "exit 2"},
      {{"send", "a", "--mode", "e2ee", "--no-encrypt"}, "exit 2"},
      {{"send", "a", "--to", "x@example.com"}, "send paths=[a] to=[x@example.com] parallel=4"},
      {{"send", "a", "--mode", "anything"}, "send paths=[a] mode=[anything] parallel=4"},
      {{"send", "a", "--parallel", "0"}, "send paths=[a] parallel=0"},
      {{"send", "a", "--parallel", "100"}, "send paths=[a] parallel=100"},
      {{"send", "a", "--parallel", "+7"}, "send paths=[a] parallel=7"},
      {{"send", "a", "--parallel", "18446744073709551615"}, "send paths=[a] parallel=18446744073709551615"},
      {{"send", "a", "--parallel", "18446744073709551616"}, "exit 2"},
      {{"send", "a", "--parallel", "-1"}, "exit 2"},
      {{"send", "a", "--parallel=-1"}, "exit 2"},
      {{"send", "a", "--parallel", "+"}, "exit 2"},
      {{"send", "a", "--parallel", ""}, "exit 2"},
      {{"send", "a", "--parallel", "0x10"}, "exit 2"},
      {{"send", "a", "--parallel", "010"}, "send paths=[a] parallel=10"},
      {{"send", "a", "--parallel", " 5"}, "exit 2"},
      {{"send", "a", "--max-downloads", "0"}, "send paths=[a] max_downloads=0 parallel=4"},
      {{"send", "a", "--max-downloads", "4294967295"}, "send paths=[a] max_downloads=4294967295 parallel=4"},
      {{"send", "a", "--max-downloads", "4294967296"}, "exit 2"},
      {{"send", "a", "--self-destroy", "--no-encrypt", "--lang", "ro", "--expires", "2025-01-01",
        "--schedule", "s", "--message", "m", "--password", "p"},
       "send paths=[a] message=[m] password=[p] expires=[2025-01-01] self_destroy schedule=[s] "
       "no_encrypt lang=[ro] parallel=4"},
      {{"send", "a", "--ask-password"}, "send paths=[a] ask_password parallel=4"},
      {{"-q", "send", "a"}, "exit 2"},
      {{"send", "a", "-V"}, "exit 2"},
      {{"send", "a", "--titel", "x"}, "exit 2"},
      // list
      {{"list"}, "list status=[all] page=1 per_page=50"},
      {{"list", "--status", "Weird", "--page", "+4294967295", "--per-page", "0"},
       "list status=[Weird] page=4294967295 per_page=0"},
      {{"list", "--status="}, "list status=[] page=1 per_page=50"},
      {{"list", "--page", "4294967296"}, "exit 2"},
      {{"list", "--page", "x"}, "exit 2"},
      {{"list", "--page", "1.0"}, "exit 2"},
      {{"list", "--page", "1", "--page", "2"}, "exit 2"},
      // info and delete
      {{"info", "0"}, "info id=0"},
      {{"info", "+18446744073709551615"}, "info id=18446744073709551615"},
      {{"info", "18446744073709551616"}, "exit 2"},
      {{"info", "abc"}, "exit 2"},
      {{"info"}, "exit 2"},
      {{"info", "1", "2"}, "exit 2"},
      {{"delete", "7", "-y"}, "delete id=7 yes"},
      {{"delete", "--yes", "7"}, "delete id=7 yes"},
      {{"delete", "7"}, "delete id=7"},
      {{"-y", "delete", "7"}, "exit 2"},
      // names are whole and exact
      {{"Send", "a"}, "exit 2"},
      {{"sen", "a"}, "exit 2"},
      {{"sned"}, "exit 2"},
      {{"--Json"}, "exit 2"},
      // help and version
      {{"--version"}, "exit 0"},
      {{"-V"}, "exit 0"},
      {{"--help"}, "exit 0"},
      {{"-h"}, "exit 0"},
      {{"help"}, "exit 0"},
      {{"help", "send"}, "exit 0"},
      {{"help", "sendto"}, "exit 0"},
      {{"help", "nothing"}, "exit 2"},
      {{"send", "--help"}, "exit 0"},
      {{"list", "-h"}, "exit 0"},
      {{"list", "-V"}, "exit 2"},
      // text that is not valid Unicode: a path only, and the path keeps it unchanged
      {{"send", "a" + INVALID}, "send paths=[a" + INVALID + "] parallel=4"},
      {{"sendto", INVALID}, "sendto paths=[" + INVALID + "]"},
      {{"send", "a", "--title", "\xff"}, "exit 2"},
      {{"login", "--key", "\xc3"}, "exit 2"},
      {{"list", "--status", "\xff"}, "exit 2"},
      {{"\xff"}, "exit 2"},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const auto& w : c.words) line += "'" + w + "' ";
    EXPECT_EQ(describe(parse(c.words)), c.expected) << line;
  }
}

TEST(Cli, EndingsGoToTheRightStream) {
  auto version = std::get<ParseExit>(parse({"--version"}));
  EXPECT_EQ(version.out, "qel 1.2.0\n");
  EXPECT_EQ(version.err, "");

  auto error = std::get<ParseExit>(parse({"list", "--page", "x"}));
  EXPECT_EQ(error.out, "");
  EXPECT_NE(error.err.find("--page"), std::string::npos) << error.err;

  auto help = std::get<ParseExit>(parse({"help", "send"}));
  EXPECT_EQ(help.err, "");
  EXPECT_NE(help.out.find("Usage: qel send"), std::string::npos) << help.out;
  EXPECT_EQ(help.out, std::get<ParseExit>(parse({"send", "--help"})).out);
}

TEST(Cli, UsageLinesNameTheProgramByItsFileName) {
  auto help = std::get<ParseExit>(parse_cli({"/opt/tools/qel-x", "--help"}));
  EXPECT_NE(help.out.find("Usage: qel-x "), std::string::npos) << help.out;
  auto version = std::get<ParseExit>(parse_cli({"/opt/tools/qel-x", "-V"}));
  EXPECT_EQ(version.out, "qel 1.2.0\n");
  // The short help of a fresh definition always says qel.
  EXPECT_NE(top_level_help().find("Usage: qel "), std::string::npos);
}

TEST(Cli, HelpListsWhatItShould) {
  const std::string top = top_level_help();
  const char* listed[] = {"login", "logout", "install", "uninstall", "whoami", "send",
                          "list",  "info",   "delete",  "help",      "--json", "--version"};
  std::size_t last = 0;
  for (const char* name : {"login", "logout", "install", "uninstall", "whoami", "send", "list",
                           "info", "delete", "help"}) {
    const auto at = top.find("\n  " + std::string(name) + " ");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(at, last) << name << " out of order";
    last = at;
  }
  for (const char* name : listed) EXPECT_NE(top.find(name), std::string::npos) << name;
  EXPECT_EQ(top.find("sendto"), std::string::npos) << "sendto is hidden";
  EXPECT_NE(top.find("Send files with Dropvale from the command line"), std::string::npos);

  for (const char* sub : {"login", "logout", "install", "uninstall", "sendto", "whoami", "send",
                          "list", "info", "delete"}) {
    const auto help = std::get<ParseExit>(parse({sub, "--help"})).out;
    EXPECT_NE(help.find("--json"), std::string::npos) << sub;
  }
  const auto list = std::get<ParseExit>(parse({"help", "list"})).out;
  for (const char* shown : {"--status STATUS", "all", "--page PAGE", "--per-page PER_PAGE", "50"}) {
    EXPECT_NE(list.find(shown), std::string::npos) << shown << "\n" << list;
  }
  const auto send = std::get<ParseExit>(parse({"help", "send"})).out;
  EXPECT_NE(send.find("PARALLEL"), std::string::npos);
  EXPECT_NE(send.find("4"), std::string::npos);
}

TEST(Cli, SuggestsASimilarName) {
  struct Suggest {
    std::vector<std::string> words;
    std::string tip;  // empty: no tip expected
  };
  const Suggest cases[] = {
      {{"sned"}, "'send'"},
      {{"lst"}, "'list'"},
      {{"Whoami"}, "'whoami'"},
      {{"help", "dleete"}, "'delete'"},
      {{"send", "a", "--titel", "x"}, "'--title'"},
      {{"list", "--per-pag=3"}, "'--per-page'"},
      {{"--jsno", "list"}, "'--json'"},
      {{"zzzzzz"}, ""},
  };
  for (const auto& c : cases) {
    const auto exit = std::get<ParseExit>(parse(c.words));
    EXPECT_EQ(exit.exit_code, 2);
    if (c.tip.empty()) {
      EXPECT_EQ(exit.err.find("tip:"), std::string::npos) << exit.err;
    } else {
      EXPECT_NE(exit.err.find("similar"), std::string::npos) << exit.err;
      EXPECT_NE(exit.err.find(c.tip), std::string::npos) << exit.err;
    }
  }
}

TEST(Cli, UsageErrorTextsShowTheWordsAsGiven) {
  struct Message {
    std::vector<std::string> words;
    std::string first_line;
  };
  const Message cases[] = {
      {{"send", "a", "--title", "b\xff"}, "--title: 'b\xEF\xBF\xBD' is not valid UTF-8"},
      {{"list", "--page="}, "--page: '' is not a whole number from 0 to 4294967295"},
      {{"list", "--page", "[1]"}, "--page: '[1]' is not a whole number from 0 to 4294967295"},
      {{"--", "list"}, "unexpected argument 'list'"},
      {{"list", "--title", "-x"}, "unexpected arguments '--title', '-x'"},
      {{"whoami", "a", "[b]"}, "unexpected arguments 'a', '[b]'"},
      {{"\xff"}, "unexpected argument '\xEF\xBF\xBD'"},
  };
  for (const auto& c : cases) {
    const auto exit = std::get<ParseExit>(parse(c.words));
    EXPECT_EQ(exit.exit_code, 2);
    EXPECT_EQ(exit.err.substr(0, exit.err.find('\n')), c.first_line);
    EXPECT_EQ(exit.err.find('\0'), std::string::npos);
  }
}

TEST(Cli, NameSimilarity) {
  EXPECT_DOUBLE_EQ(name_similarity("send", "send"), 1.0);
  EXPECT_NEAR(name_similarity("sned", "send"), 0.9167, 1e-4);
  EXPECT_NEAR(name_similarity("martha", "marhta"), 0.9444, 1e-4);
  EXPECT_DOUBLE_EQ(name_similarity("abc", "xyz"), 0.0);
  EXPECT_DOUBLE_EQ(name_similarity("", "a"), 0.0);
}

}  // namespace
}  // namespace qel
