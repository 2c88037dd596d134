// Display helpers for service replies.
#pragma once

#include <cstdint>
#include <string>

#include "common/json.h"

namespace qel {

// Pretty JSON (two-space indent) and a line end on standard output.
void print_json(const Json& value);
// The pretty text print_json writes, without the line end.
std::string pretty_json(const Json& value);

std::string value_text(const Json& value);
std::string format_timestamp(const Json& value);
std::string size_or_unlimited(const Json& value);
std::string format_size(std::uint64_t bytes);

}  // namespace qel
