#include "main/cli_rules.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>

#include "common/text.h"

namespace qel {
namespace {

enum class Takes { nothing, optional_value, value };

// The long option names of one command, with what they take.
std::map<std::string, Takes> long_options(const CLI::App& app) {
  std::map<std::string, Takes> names;
  for (const CLI::Option* opt : app.get_options()) {
    if (opt->get_positional()) continue;
    Takes takes = Takes::value;
    if (opt->get_items_expected_max() == 0) {
      takes = Takes::nothing;
    } else if (opt->get_items_expected_min() == 0) {
      takes = Takes::optional_value;
    }
    for (const std::string& name : opt->get_lnames()) names.emplace(name, takes);
  }
  return names;
}

const CLI::App* find_subcommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->get_name() == name) return sub;
  }
  return nullptr;
}

bool looks_like_option(std::string_view word) { return word.size() > 1 && word.front() == '-'; }

bool in_brackets(std::string_view word) {
  return word.size() >= 2 && word.front() == '[' && word.back() == ']';
}

}  // namespace

std::optional<std::string> check_words(const CLI::App& app, std::vector<std::string>& words) {
  // The top level has flags only, so its first word that is not an option names the
  // subcommand whose options the later words belong to.
  auto names = long_options(app);
  bool in_subcommand = false;
  // Arguments can never hold a NUL byte, so a NUL in front marks a word that CLI11 must
  // take as a plain positional word or value: it then neither looks like an option nor
  // like a list in brackets.
  for (auto& word : words) {
    if (in_brackets(word)) word.insert(word.begin(), '\0');
  }
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string word = words[i];
    if (word == "--") {
      // CLI11 hands "--" back to the parent command once a list has a word, so every
      // later word is marked positional here instead.
      words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
      for (std::size_t k = i; k < words.size(); ++k) {
        if (words[k].empty() || words[k].front() != '\0') words[k].insert(words[k].begin(), '\0');
      }
      break;
    }
    if (!in_subcommand && !looks_like_option(word)) {
      const CLI::App* sub = find_subcommand(app, word);
      if (sub == nullptr) break;  // not a subcommand: CLI11 refuses the word
      names = long_options(*sub);
      in_subcommand = true;
      continue;
    }
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
      const auto eq = word.find('=');
      const std::string name = word.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const auto it = names.find(name);
      if (it == names.end()) continue;  // unknown: CLI11 reports it
      const auto insert_empty_value = [&] {
        words[i] = "--" + name;
        words.insert(words.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::string(1, '\0'));
        ++i;
      };
      if (eq != std::string::npos) {
        if (it->second == Takes::nothing) {
          return "unexpected value '" + word.substr(eq + 1) + "' for '--" + name +
                 "': it takes no value";
        }
        // CLI11 would take the next word as the value of "--name=".
        if (eq + 1 == word.size()) insert_empty_value();
        continue;
      }
      const bool value_follows = i + 1 < words.size() && !looks_like_option(words[i + 1]);
      if (it->second == Takes::value && !value_follows) {
        return "a value is required for '--" + name + "' but none was supplied (a value " +
               "that begins with \"-\" is written --" + name + "=VALUE)";
      }
      if (it->second == Takes::optional_value && !value_follows) {
        insert_empty_value();  // the empty text, spelt out so "--" stays the end of options
      } else if (it->second != Takes::nothing) {
        ++i;  // its value
      }
      continue;
    }
    // CLI11 reads "-1" as a value, and "-q1" as -q followed by the value "-1".
    const bool has_digit = word.find_first_of("0123456789") != std::string::npos;
    if (word.size() > 1 && word[0] == '-' && word[1] != '-' && has_digit) {
      return "unexpected argument '" + word + "' (a value that begins with \"-\" is written " +
             "--name=VALUE; after \"--\" every word is a positional argument)";
    }
  }
  return std::nullopt;
}

std::string unprotect_word(std::string word) {
  word.erase(std::remove(word.begin(), word.end(), '\0'), word.end());
  return word;
}

double name_similarity(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;
  const std::size_t window = std::max<std::size_t>(std::max(a.size(), b.size()) / 2, 1) - 1;
  std::vector<bool> a_hit(a.size()), b_hit(b.size());
  std::size_t matches = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::size_t lo = i > window ? i - window : 0;
    const std::size_t hi = std::min(b.size(), i + window + 1);
    for (std::size_t j = lo; j < hi; ++j) {
      if (!b_hit[j] && a[i] == b[j]) {
        a_hit[i] = b_hit[j] = true;
        ++matches;
        break;
      }
    }
  }
  if (matches == 0) return 0.0;
  std::size_t half_transpositions = 0;
  for (std::size_t i = 0, j = 0; i < a.size(); ++i) {
    if (!a_hit[i]) continue;
    while (!b_hit[j]) ++j;
    if (a[i] != b[j]) ++half_transpositions;
    ++j;
  }
  const double m = static_cast<double>(matches);
  const double t = static_cast<double>(half_transpositions / 2);
  return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) + (m - t) / m) /
         3.0;
}

std::string suggestion_line(std::string_view word, const std::vector<std::string>& candidates,
                            std::string_view kind) {
  const std::string* best = nullptr;
  double best_score = 0.7;  // below this a name is not offered
  for (const auto& c : candidates) {
    const double score = name_similarity(word, c);
    if (score > best_score) {
      best_score = score;
      best = &c;
    }
  }
  if (best == nullptr) return {};
  return "\n  tip: a similar " + std::string(kind) + " exists: '" + *best + "'";
}

std::vector<std::string> subcommand_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (!sub->get_group().empty()) names.push_back(sub->get_name());
  }
  return names;
}

std::string extras_message(const CLI::App& app) {
  std::vector<std::string> words;
  std::string tips;
  auto option_names = [](const CLI::App& a) {
    std::vector<std::string> names;
    for (const CLI::Option* opt : a.get_options()) {
      for (const std::string& name : opt->get_lnames()) names.push_back("--" + name);
    }
    return names;
  };
  auto collect = [&](const CLI::App& a, bool top) {
    for (const std::string& word : a.remaining(false)) {
      words.push_back("'" + utf8_lossy(unprotect_word(word)) + "'");
      if (!word.empty() && word.front() == '\0') continue;  // positional after "--"
      if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
        tips += suggestion_line(word.substr(0, word.find('=')), option_names(a), "argument");
      } else if (top && !looks_like_option(word)) {
        tips += suggestion_line(word, subcommand_names(a), "subcommand");
      }
    }
  };
  collect(app, true);
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->parsed()) collect(*sub, false);
  }
  std::string message = words.size() == 1 ? "unexpected argument " : "unexpected arguments ";
  for (std::size_t i = 0; i < words.size(); ++i) message += (i ? ", " : "") + words[i];
  return message + tips;
}

}  // namespace qel
