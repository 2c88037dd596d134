// The program's one way to read JSON documents: bounded nesting, whole text, no exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qel {

using Json = nlohmann::json;

inline constexpr int MAX_JSON_DEPTH = 128;

// Parses `text` as one JSON document (JSON white space around it allowed). Fails on
// malformed input, a byte-order mark, a NUL byte anywhere, invalid UTF-8 inside strings,
// and arrays or objects nested deeper than 128 levels.
std::optional<Json> parse_json(std::string_view text);

// Compact form: no blanks, keys in ascending byte order, non-ASCII unescaped; control
// characters escaped (\b \t \n \f \r, else \u00xx in lower case).
std::string compact_json(const Json& value);

// Pretty form: two blanks per level, ": " after keys, otherwise as compact_json.
std::string pretty_json(const Json& value);

// The text as a JSON string, quotes included, escaped as compact_json does.
std::string json_quote(std::string_view text);

// Member lookup that yields null for a missing key or a value that is not an object.
const Json& member(const Json& value, std::string_view key);

// A JSON integer in the signed 64-bit range (no fraction or exponent), as transfer ids are.
std::optional<std::int64_t> signed_integer(const Json& value);

}  // namespace qel
