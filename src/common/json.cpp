#include "common/json.h"

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
  if (!nesting_within_limit(text)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::string compact_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json& member(const Json& value, std::string_view key) {
  static const Json null_value;
  if (!value.is_object()) return null_value;
  const auto it = value.find(key);
  return it == value.end() ? null_value : *it;
}

}  // namespace qel
