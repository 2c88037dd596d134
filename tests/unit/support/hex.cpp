#include "support/hex.h"

#include <stdexcept>

namespace qel::test {

std::string hex(const void* data, std::size_t size) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    out += DIGITS[bytes[i] >> 4];
    out += DIGITS[bytes[i] & 15];
  }
  return out;
}

std::string unhex(std::string_view digits) {
  const auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not a hexadecimal digit");
  };
  if (digits.size() % 2 != 0) throw std::invalid_argument("odd number of hexadecimal digits");
  std::string out;
  out.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out += static_cast<char>(value(digits[i]) * 16 + value(digits[i + 1]));
  }
  return out;
}

}  // namespace qel::test
