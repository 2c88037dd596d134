#include "common/json.h"

#include <limits>

namespace qel {
namespace {

// Depth check before handing the text to the library, so a hostile reply nested
// a hundred thousand levels deep never reaches code that might recurse on it.
bool nesting_within_limit(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char ch : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (ch == '\\') {
        escaped = true;
      } else if (ch == '"') {
        in_string = false;
      }
      continue;
    }
    if (ch == '"') {
      in_string = true;
    } else if (ch == '[' || ch == '{') {
      if (++depth > MAX_JSON_DEPTH) return false;
    } else if (ch == ']' || ch == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  // The library skips a byte-order mark, which is not JSON white space.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
  // The library takes a NUL byte for the end of the input and ignores what follows it; a
  // JSON text never holds one (inside strings it must be escaped).
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!nesting_within_limit(text)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// Text that is not valid UTF-8 can only come from the program itself (parsed documents
// are checked); it is shown with U+FFFD rather than failing the whole output.
std::string compact_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string pretty_json(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string json_quote(std::string_view text) { return compact_json(Json(std::string(text))); }

const Json& member(const Json& value, std::string_view key) {
  static const Json null_value;
  if (!value.is_object()) return null_value;
  const auto it = value.find(key);
  return it == value.end() ? null_value : *it;
}

std::optional<std::int64_t> signed_integer(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return {};
    return static_cast<std::int64_t>(v);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return {};
}

}  // namespace qel
