// The text and path forms of names. The input read as UTF-16 code units (two bytes each,
// low byte first) must survive the lossless WTF-8 form unchanged, and its lossy UTF-8 form
// must be valid and differ only where a surrogate stands unpaired. The input read as bytes,
// when it is valid UTF-8, must come back from its UTF-16 form byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/text.h"
#include "fuzz_check.h"
#include "platform/utf16.h"

namespace {

bool is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The units with every surrogate that is not half of a pair replaced by U+FFFD.
std::u16string paired_only(std::u16string units, bool& changed) {
  changed = false;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (is_high(units[i]) && i + 1 < units.size() && is_low(units[i + 1])) {
      ++i;
    } else if (is_high(units[i]) || is_low(units[i])) {
      units[i] = 0xFFFD;
      changed = true;
    }
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }

  const std::string wtf8 = qel::platform::wtf8_from_utf16(units);
  FUZZ_CHECK(qel::platform::utf16_from_wtf8(wtf8) == units);

  bool unpaired = false;
  const std::u16string repaired = paired_only(units, unpaired);
  const std::string lossy = qel::platform::utf8_from_utf16_lossy(units);
  FUZZ_CHECK(qel::is_valid_utf8(lossy));
  FUZZ_CHECK(lossy == qel::platform::wtf8_from_utf16(repaired));
  FUZZ_CHECK(qel::is_valid_utf8(wtf8) == !unpaired);
  if (!unpaired) FUZZ_CHECK(lossy == wtf8);

  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string from_bytes = qel::platform::utf16_from_wtf8(bytes);
  if (qel::is_valid_utf8(bytes)) {
    FUZZ_CHECK(qel::platform::wtf8_from_utf16(from_bytes) == bytes);
    FUZZ_CHECK(qel::platform::utf8_from_utf16_lossy(from_bytes) == bytes);
  }
  // Whatever the bytes, their UTF-16 form is stable through the lossless text form.
  FUZZ_CHECK(qel::platform::utf16_from_wtf8(qel::platform::wtf8_from_utf16(from_bytes)) ==
             from_bytes);
  return 0;
}
