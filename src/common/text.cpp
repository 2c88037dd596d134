#include "common/text.h"

#include <limits>

namespace qel {
namespace {

// Decodes one well-formed UTF-8 sequence at `i`; returns its length, or 0 when ill-formed.
// On 0, `bad` is the length of the maximal invalid subpart to replace.
std::size_t decode_one(std::string_view s, std::size_t i, char32_t& out, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  bad = 1;
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return 0;
    cp = (cp << 6) | (b & 0x3F);
    bad = k + 1;
  }
  out = cp;
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  char32_t c;
  std::size_t bad;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = decode_one(bytes, i, c, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  char32_t c;
  std::size_t bad;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = decode_one(bytes, i, c, bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string terminal_text(std::string_view text) {
  static constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  char32_t c;
  std::size_t bad;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = decode_one(text, i, c, bad);
    if (n == 0) {
      out += REPLACEMENT;
      i += bad;
      continue;
    }
    const bool control = (c < 0x20 && c != '\n' && c != '\t') || (c >= 0x7F && c <= 0x9F);
    if (control) {
      out += REPLACEMENT;
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode(std::string_view text) {
  char32_t c;
  std::size_t bad;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = decode_one(text, begin, c, bad);
    if (n == 0 || !is_unicode_space(c)) break;
    begin += n;
  }
  // Walk forward remembering where the last non-space code point ended.
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    std::size_t n = decode_one(text, i, c, bad);
    if (n == 0) {
      n = bad;
      end = i + n;
    } else if (!is_unicode_space(c)) {
      end = i + n;
    }
    i += n;
  }
  return text.substr(begin, end - begin);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return out;
}

std::size_t utf8_length(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char ch : text) {
    if ((ch & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string_view utf8_prefix(std::string_view text, std::size_t count) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == count) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

std::string pad_right(std::string_view text, std::size_t width) {
  std::string out(text);
  const std::size_t len = utf8_length(text);
  if (len < width) out.append(width - len, ' ');
  return out;
}

std::string pad_left(std::string_view text, std::size_t width) {
  const std::size_t len = utf8_length(text);
  std::string out;
  if (len < width) out.assign(width - len, ' ');
  out.append(text);
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool parse_u64(std::string_view text, std::uint64_t& out) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  std::uint64_t value = 0;
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    const auto digit = static_cast<std::uint64_t>(ch - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

}  // namespace qel
