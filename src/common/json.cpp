#include "common/json.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

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

// What the library does not refuse by itself: it skips a byte-order mark, which is not JSON
// white space, and takes a NUL byte for the end of the text, so "[1]\0junk" would pass; a
// NUL can stand nowhere in a document (inside a string it must be escaped). None of the
// checks looks at anything that a lossy UTF-8 repair changes.
bool passes_prechecks(std::string_view text) {
  return text.substr(0, 3) != "\xEF\xBB\xBF" && text.find('\0') == std::string_view::npos &&
         nesting_within_limit(text);
}

// The checker below reads the bytes as they arrive, without the lossy UTF-8 repair that
// precedes parse_json: the repair never touches an ASCII byte, outside strings any other
// byte is refused either way, and inside strings every repaired byte is allowed.
constexpr std::size_t NOT_JSON = std::string_view::npos;

bool is_json_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// Ends a number or a literal.
bool is_delimiter(char ch) {
  return is_json_space(ch) || ch == '[' || ch == ']' || ch == '{' || ch == '}' || ch == ',' ||
         ch == ':' || ch == '"';
}

// The four hex digits of a \u escape at `at`, or none.
std::optional<unsigned> hex_unit(std::string_view text, std::size_t at) {
  if (text.size() - at < 4) return std::nullopt;
  unsigned unit = 0;
  const auto begin = text.data() + at;
  const auto [end, ec] = std::from_chars(begin, begin + 4, unit, 16);
  if (ec != std::errc() || end != begin + 4) return std::nullopt;
  return unit;
}

// The end of the string whose opening quote is at `at`, or NOT_JSON. Control characters
// must be escaped; a \u escape of a UTF-16 surrogate must be a high one followed at once by
// an escaped low one.
std::size_t string_end(std::string_view text, std::size_t at) {
  for (++at; at < text.size();) {
    const auto ch = static_cast<unsigned char>(text[at++]);
    if (ch == '"') return at;
    if (ch < 0x20) return NOT_JSON;
    if (ch != '\\') continue;
    if (at == text.size()) return NOT_JSON;
    const char escape = text[at++];
    if (escape != 'u') {
      if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) return NOT_JSON;
      continue;
    }
    const auto unit = hex_unit(text, at);
    if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return NOT_JSON;
    at += 4;
    if (*unit >= 0xD800 && *unit <= 0xDBFF) {
      if (text.substr(at, 2) != "\\u") return NOT_JSON;
      const auto low = hex_unit(text, at + 2);
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return NOT_JSON;
      at += 6;
    }
  }
  return NOT_JSON;
}

// Whether the decimal number is at least 1 in magnitude, read from its digits: asked only
// of numbers too large or too small for a double, where the answer tells which.
bool at_least_one(std::string_view number) {
  std::size_t at = number.front() == '-' ? 1 : 0;
  // The power of ten of the first significant digit.
  std::int64_t order = std::numeric_limits<std::int64_t>::min() / 2;
  bool found = false;
  const std::size_t whole_begin = at;
  while (at < number.size() && is_digit(number[at])) ++at;
  for (std::size_t i = whole_begin; i < at && !found; ++i) {
    found = number[i] != '0';
    if (found) order = static_cast<std::int64_t>(at - 1 - i);
  }
  if (at < number.size() && number[at] == '.') {
    const std::size_t fraction_begin = ++at;
    for (; at < number.size() && is_digit(number[at]); ++at) {
      if (!found && number[at] != '0') {
        found = true;
        order = -static_cast<std::int64_t>(at - fraction_begin + 1);
      }
    }
  }
  // The exponent, saturated far beyond any count of digits that fits in memory.
  constexpr std::int64_t FAR = std::int64_t{1} << 50;
  std::int64_t exponent = 0;
  bool negative = false;
  if (at < number.size()) {  // at "e" or "E"
    ++at;
    if (number[at] == '+' || number[at] == '-') negative = number[at++] == '-';
    for (; at < number.size(); ++at) exponent = std::min(FAR, exponent * 10 + (number[at] - '0'));
  }
  return found && order + (negative ? -exponent : exponent) >= 0;
}

// A number as the grammar allows it, and one that does not overflow a double (the reader
// turns an integer outside 64 bits into a double and refuses an infinite one).
bool is_json_number(std::string_view number) {
  std::size_t at = 0;
  const auto digits = [&] {
    const std::size_t from = at;
    while (at < number.size() && is_digit(number[at])) ++at;
    return at > from;
  };
  if (at < number.size() && number[at] == '-') ++at;
  if (at < number.size() && number[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < number.size() && number[at] == '.') {
    ++at;
    if (!digits()) return false;
  }
  if (at < number.size() && (number[at] == 'e' || number[at] == 'E')) {
    ++at;
    if (at < number.size() && (number[at] == '+' || number[at] == '-')) ++at;
    if (!digits()) return false;
  }
  if (at != number.size()) return false;
  double value = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec == std::errc()) return true;
  // Out of range: too large is refused, too small reads as zero or a subnormal.
  return ec == std::errc::result_out_of_range && !at_least_one(number);
}

}  // namespace

std::optional<Json> parse_json(std::string_view text) {
  if (!passes_prechecks(text)) return std::nullopt;
  Json value = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// The library's own checker keeps every byte read since its last string, number or literal,
// so a long run of brackets would cost as much again as the text; this one keeps only the
// brackets open around it (at most 128, by the prechecks).
bool holds_json_document(std::string_view bytes) {
  if (!passes_prechecks(bytes)) return false;
  enum class Next { value, value_or_close, key, key_or_close, colon, comma_or_close, end };
  std::string open;
  Next next = Next::value;
  const auto value_done = [&] { next = open.empty() ? Next::end : Next::comma_or_close; };
  const auto close = [&] {
    open.pop_back();
    value_done();
  };
  std::size_t at = 0;
  for (;;) {
    while (at < bytes.size() && is_json_space(bytes[at])) ++at;
    if (at == bytes.size()) return next == Next::end;
    const char ch = bytes[at];
    switch (next) {
      case Next::end:
        return false;
      case Next::colon:
        if (ch != ':') return false;
        ++at;
        next = Next::value;
        continue;
      case Next::comma_or_close:
        if (ch == ',') {
          ++at;
          next = open.back() == '{' ? Next::key : Next::value;
        } else if (ch == (open.back() == '{' ? '}' : ']')) {
          ++at;
          close();
        } else {
          return false;
        }
        continue;
      case Next::key:
      case Next::key_or_close:
        if (next == Next::key_or_close && ch == '}') {
          ++at;
          close();
          continue;
        }
        if (ch != '"' || (at = string_end(bytes, at)) == NOT_JSON) return false;
        next = Next::colon;
        continue;
      case Next::value:
      case Next::value_or_close:
        break;
    }
    if (next == Next::value_or_close && ch == ']') {
      ++at;
      close();
    } else if (ch == '[' || ch == '{') {
      open.push_back(ch);
      ++at;
      next = ch == '[' ? Next::value_or_close : Next::key_or_close;
    } else if (ch == '"') {
      if ((at = string_end(bytes, at)) == NOT_JSON) return false;
      value_done();
    } else {
      std::size_t end = at;
      while (end < bytes.size() && !is_delimiter(bytes[end])) ++end;
      const std::string_view token = bytes.substr(at, end - at);
      if (token != "true" && token != "false" && token != "null" && !is_json_number(token)) {
        return false;  // also an empty token: a delimiter where a value belongs
      }
      at = end;
      value_done();
    }
  }
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
