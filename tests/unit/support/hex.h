// Bytes as lower-case hexadecimal and back.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace qel::test {

std::string hex(const void* data, std::size_t size);
inline std::string hex(std::string_view bytes) { return hex(bytes.data(), bytes.size()); }
template <std::size_t N>
std::string hex(const std::array<unsigned char, N>& bytes) {
  return hex(bytes.data(), N);
}

// The bytes of a text of hexadecimal digit pairs (either case).
std::string unhex(std::string_view digits);

}  // namespace qel::test
