// The parsing rules that CLI11 does not follow by itself, applied around it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace qel {

inline constexpr std::string_view RUN_WITH_HELP = "Run with --help for more information.\n";

// Checks the words (program name left out) before CLI11 sees them, against the options of
// the subcommand they belong to, and rewrites the few forms that CLI11 would read
// differently:
// - before "--", a word that begins with "-" and has more characters is an option, never
//   the value of the option before it, so a value-taking option followed by such a word
//   (or by nothing) is refused; so are short words holding a digit ("-1", "-q1"), which
//   CLI11 would take as values;
// - a flag written with a value ("--quiet=yes") is refused;
// - "--name=" and a bare optional-value "--key" get an explicit empty value, because
//   CLI11 would take the next word instead;
// - "--" is dropped and every later word is marked positional (CLI11 would hand the words
//   after it to the parent command once a list has a word);
// - a word in brackets ("[a,b]") is marked so that CLI11 does not split it into a list.
// A mark is a NUL byte in front, which no argument can hold; unprotect_word removes it.
// Yields the usage error, or none when the words may be parsed.
std::optional<std::string> check_words(const CLI::App& app, std::vector<std::string>& words);

// Undoes the protection of check_words on a value that CLI11 hands back.
std::string unprotect_word(std::string word);

// Similarity of two names from 0 (nothing alike) to 1 (equal), by Jaro's measure.
double name_similarity(std::string_view a, std::string_view b);

// "\n  tip: a similar {kind} exists: '{name}'" for the most similar candidate, or "".
std::string suggestion_line(std::string_view word, const std::vector<std::string>& candidates,
                            std::string_view kind);

// The message for the words that the last parse left over, in command-line order, with a
// suggestion for each that is like a known name.
std::string extras_message(const CLI::App& app);

// The names of the subcommands listed in the help.
std::vector<std::string> subcommand_names(const CLI::App& app);

}  // namespace qel
