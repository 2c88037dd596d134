#include "platform/utf16.h"

#include "common/text.h"

namespace qel::platform {
namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

bool is_high(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The code point that starts at `i`, surrogates included; advances `i`. A byte that starts
// no well-formed sequence is consumed alone and gives U+FFFD.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return REPLACEMENT;
  }
  if (text.size() - i < len) {
    ++i;
    return REPLACEMENT;
  }
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return REPLACEMENT;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) {
    ++i;
    return REPLACEMENT;
  }
  i += len;
  return cp;
}

template <bool Lossless>
std::string from_utf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t u = units[i];
    if (is_high(u) && i + 1 < units.size() && is_low(units[i + 1])) {
      append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (is_high(u) || is_low(u)) {
      append_utf8(out, Lossless ? u : REPLACEMENT);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

}  // namespace

std::u16string utf16_from_wtf8(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = next_code_point(text, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(cp));
    }
  }
  return units;
}

std::string wtf8_from_utf16(std::u16string_view units) { return from_utf16<true>(units); }

std::string utf8_from_utf16_lossy(std::u16string_view units) { return from_utf16<false>(units); }

}  // namespace qel::platform
