#include "main/format.h"

#include <cstdio>

#include "platform/platform.h"

namespace qel {

void print_json(const Json& value) { platform::write_stdout(pretty_json(value) + "\n"); }

std::string value_text(const Json& value) {
  if (value.is_null()) return "-";
  if (value.is_string()) return value.get<std::string>();
  return compact_json(value);
}

std::string format_timestamp(const Json& value) {
  if (!value.is_string()) return "-";
  const auto& text = value.get_ref<const std::string&>();
  if (text.size() < 16) return text;
  // The service's dates are ASCII; should a malformed one put a multi-byte character
  // across the cut, the cut moves back to that character's first byte.
  std::size_t cut = 16;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string shown = text.substr(0, cut);
  for (char& ch : shown) {
    if (ch == 'T') ch = ' ';
  }
  return shown;
}

std::string size_or_unlimited(const Json& value) {
  // Only what the reader classifies as a non-negative integer counts; "-0" reads as a
  // signed integer and, like every count of the commands, means no limit.
  if (value.is_number_unsigned()) return format_size(value.get<std::uint64_t>());
  return "unlimited";
}

std::string format_size(std::uint64_t bytes) {
  static constexpr const char* UNITS[] = {"B", "KB", "MB", "GB", "TB"};
  double x = static_cast<double>(bytes);
  int unit = 0;
  while (x >= 1024.0 && unit < 4) {
    x *= 0.0009765625;  // exact: a power of two
    ++unit;
  }
  if (unit == 0) return std::to_string(bytes) + " B";
  // printf rounds the exact binary value, so a true tie (.25, .75) goes to the even digit.
  char text[64];
  std::snprintf(text, sizeof text, "%.1f %s", x, UNITS[unit]);
  return text;
}

}  // namespace qel
