// The fixed look of the program's output: JSON printing and display texts of reply members.
#pragma once

#include <cstdint>
#include <string>

#include "common/json.h"

namespace qel {

// Pretty JSON (two-space indent, keys in ascending byte order) and a line end on standard
// output; pretty_json (common/json.h) gives the same text without the line end.
void print_json(const Json& value);

// "-" for null, a string's own text, else the value's compact JSON.
std::string value_text(const Json& value);

// A service date-time "2025-03-14T09:26:53Z" shown as "2025-03-14 09:26"; "-" for a value
// that is not a string; a text shorter than 16 bytes unchanged.
std::string format_timestamp(const Json& value);

// format_size of a non-negative integer, else "unlimited".
std::string size_or_unlimited(const Json& value);

// "{n} B" below 1024, else one decimal and KB, MB, GB or TB (ties to the even digit).
std::string format_size(std::uint64_t bytes);

}  // namespace qel
