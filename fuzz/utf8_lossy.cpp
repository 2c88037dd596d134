// The lossy reading of names and replies as text: it must agree with the validity check,
// keep valid text unchanged, always give valid UTF-8, and replace exactly the maximal
// invalid subparts that the Unicode standard names, worked out here from its table of
// well-formed byte sequences.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "fuzz_check.h"

namespace {

// Allowed range of the byte after each lead byte; later continuation bytes are 80..BF.
struct Lead {
  unsigned char first, last;  // range of the lead byte
  std::size_t length;
  unsigned char second_low, second_high;
};
constexpr Lead LEADS[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

// How many bytes from `i` continue a well-formed sequence (its full length when complete).
std::size_t well_formed_prefix(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  length = 1;
  if (b0 < 0x80) return 1;
  for (const Lead& lead : LEADS) {
    if (b0 < lead.first || b0 > lead.last) continue;
    length = lead.length;
    std::size_t n = 1;
    while (n < length && i + n < s.size()) {
      const auto b = static_cast<unsigned char>(s[i + n]);
      const unsigned char low = n == 1 ? lead.second_low : 0x80;
      const unsigned char high = n == 1 ? lead.second_high : 0xBF;
      if (b < low || b > high) break;
      ++n;
    }
    return n;
  }
  length = 2;  // no lead byte: never complete
  return 0;
}

std::string expected(std::string_view s, bool& valid) {
  std::string out;
  valid = true;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t length = 0;
    const std::size_t n = well_formed_prefix(s, i, length);
    if (n == length) {
      out.append(s.substr(i, n));
    } else {
      out += "\xEF\xBF\xBD";
      valid = false;
    }
    i += n == 0 ? 1 : n;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  bool valid = false;
  const std::string repaired = qel::utf8_lossy(bytes);
  FUZZ_CHECK(repaired == expected(bytes, valid));
  FUZZ_CHECK(qel::is_valid_utf8(bytes) == valid);
  FUZZ_CHECK(qel::is_valid_utf8(repaired));
  if (valid) FUZZ_CHECK(repaired == bytes);
  FUZZ_CHECK(qel::utf8_lossy(repaired) == repaired);
  return 0;
}
