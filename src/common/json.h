// The program's one way to read JSON documents: bounded nesting, whole text, no exceptions.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qel {

using Json = nlohmann::json;

inline constexpr int MAX_JSON_DEPTH = 128;

// Parses `text` as one JSON document (white space around it allowed). Fails on malformed
// input, invalid UTF-8 inside strings, and arrays or objects nested deeper than 128 levels.
std::optional<Json> parse_json(std::string_view text);

// Compact form: no blanks, keys in ascending byte order, non-ASCII unescaped.
std::string compact_json(const Json& value);

// Member lookup that yields null for a missing key or a value that is not an object.
const Json& member(const Json& value, std::string_view key);

}  // namespace qel
