#include "config/config.h"

#include <vector>

#include "common/json.h"
#include "common/text.h"
#include "platform/platform.h"

namespace qel {
namespace {

// The file holds two short texts; anything far larger is not one the program wrote, and
// reading it whole could cost any amount of memory.
constexpr std::size_t MAX_CONFIG_SIZE = std::size_t{1} << 20;

// Reads the file's one JSON value event by event: the two fields must each be null or a
// string and appear at most once; any other member is skipped whatever it holds. The
// library's own document type would silently keep the last of two equal keys.
class ConfigReader : public nlohmann::json_sax<Json> {
 public:
  Config config;

  bool null() override { return scalar(Kind::null, {}); }
  bool boolean(bool) override { return scalar(Kind::other, {}); }
  bool number_integer(number_integer_t) override { return scalar(Kind::other, {}); }
  bool number_unsigned(number_unsigned_t) override { return scalar(Kind::other, {}); }
  bool number_float(number_float_t, const string_t&) override { return scalar(Kind::other, {}); }
  bool string(string_t& value) override { return scalar(Kind::string, value); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(Form::object); }
  bool start_array(std::size_t) override { return open(Form::array); }
  bool end_object() override { return close(); }
  bool end_array() override {
    if (depth_ == 1 && form_ == Form::array && elements_ != 2) return false;
    return close();
  }

  bool key(string_t& name) override {
    if (depth_ != 1) return true;
    field_ = nullptr;
    if (name == "api_key") field_ = claim(seen_key_, config.api_key);
    if (name == "api_url") field_ = claim(seen_url_, config.api_url);
    return !duplicate_;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class Form { none, object, array };
  enum class Kind { null, string, other };

  std::optional<std::string>* claim(bool& seen, std::optional<std::string>& field) {
    if (seen) duplicate_ = true;
    seen = true;
    return &field;
  }

  // The field that the value at depth 1 fills, or none when it is skipped.
  std::optional<std::string>* target() {
    if (depth_ != 1) return nullptr;
    if (form_ == Form::object) return field_;
    ++elements_;
    if (elements_ == 1) return &config.api_key;
    if (elements_ == 2) return &config.api_url;
    return nullptr;  // a third element: end_array refuses the array
  }

  bool scalar(Kind kind, const std::string& value) {
    if (depth_ == 0) return false;  // a bare value at the top
    std::optional<std::string>* field = target();
    if (field == nullptr) return true;
    if (kind == Kind::other) return false;
    if (kind == Kind::string) *field = value;
    return true;
  }

  bool open(Form form) {
    if (depth_ == 0) {
      form_ = form;
    } else if (target() != nullptr) {
      return false;  // an array or object where a field's value belongs
    }
    // No depth limit: the library reads events without recursing, and members of other
    // names are skipped however deeply they nest.
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    return true;
  }

  Form form_ = Form::none;
  std::size_t depth_ = 0;
  std::size_t elements_ = 0;
  std::optional<std::string>* field_ = nullptr;
  bool seen_key_ = false, seen_url_ = false, duplicate_ = false;
};

void append_member(std::string& out, bool& first, std::string_view name,
                   const std::optional<std::string>& value) {
  if (!value) return;
  out += first ? "\n  " : ",\n  ";
  first = false;
  out += json_quote(name);
  out += ": ";
  out += json_quote(*value);
}

std::string_view strip_trailing_slashes(std::string_view url) {
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return url;
}

// The variable's value when it is set, valid Unicode and not white space alone.
std::optional<std::string> override_from(const char* name) {
  auto value = platform::env_text(name);
  if (!value || trim_unicode(*value).empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Config> parse_config_text(std::string_view text) {
  // Not JSON white space; the library would skip it silently.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
  if (!is_valid_utf8(text)) return std::nullopt;
  // The library would take a NUL byte for the end of the file and ignore the rest.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  ConfigReader reader;
  const bool ok = Json::sax_parse(text.begin(), text.end(), &reader,
                                  nlohmann::detail::input_format_t::json, /*strict=*/true);
  if (!ok) return std::nullopt;
  return std::move(reader.config);
}

std::string config_file_bytes(const Config& config) {
  std::string out = "{";
  bool first = true;
  append_member(out, first, "api_key", config.api_key);
  append_member(out, first, "api_url", config.api_url);
  if (!first) out += "\n";
  out += "}";
  return out;
}

std::optional<std::filesystem::path> config_path() {
  auto folder = platform::roaming_app_data();
  if (!folder) return std::nullopt;
  return *folder / "qel" / "config.json";
}

Config load_config() {
  const auto path = config_path();
  if (!path) return {};
  const auto text = platform::read_file(*path, MAX_CONFIG_SIZE);
  if (!text) return {};
  return parse_config_text(*text).value_or(Config{});
}

Result<std::filesystem::path> save_config(const Config& config) {
  const auto path = config_path();
  if (!path) return fail("cannot determine the configuration directory");
  const auto folder = path->parent_path();
  // The file holds a credential: the folder and the file are the user's alone.
  if (auto made = platform::create_folders(folder, /*private_access=*/true); !made) {
    return fail("cannot create " + platform::path_text(folder) + ": " + made.error());
  }
  // Replaced, not rewritten in place: a failed write (a full disk) keeps the saved key.
  if (auto written = platform::replace_file(*path, config_file_bytes(config)); !written) {
    return fail("cannot write " + platform::path_text(*path) + ": " + written.error());
  }
  return *path;
}

std::optional<std::string> resolve_api_key(const Config& config) {
  if (auto key = override_from("QEL_API_KEY")) return std::string(trim_unicode(*key));
  if (config.api_key) return std::string(trim_unicode(*config.api_key));
  return std::nullopt;
}

std::string resolve_api_url(const Config& config) {
  std::string url;
  if (auto value = override_from("QEL_API_URL")) {
    url = std::move(*value);
  } else if (config.api_url) {
    url = *config.api_url;
  } else {
    url = DEFAULT_API_URL;
  }
  return std::string(strip_trailing_slashes(url));
}

}  // namespace qel
