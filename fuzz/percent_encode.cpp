// The two percent-encoders. The mail link's encoder keeps only letters, digits and "-_.~"
// and writes every other byte as "%XX", so decoding gives the input back. The request-line
// escaper writes only the bytes that cannot stand in a request line as "%XX" and keeps the
// rest, "%" included, so its output needs no further escaping.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "api/url.h"
#include "fuzz_check.h"
#include "sendto/mail_link.h"

namespace {

constexpr char HEX[] = "0123456789ABCDEF";

bool is_unreserved(unsigned char b) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
         b == '-' || b == '_' || b == '.' || b == '~';
}

bool escaped_in_request_line(unsigned char b) {
  return b <= 0x20 || b >= 0x7F || b == '"' || b == '<' || b == '>' || b == '`';
}

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;  // lower-case digits are not written
}

// Checks that `encoded` is `input` with each byte for which `escape` holds written as "%XX"
// (upper-case hex) and every other byte kept.
template <class Escape>
void check_encoding(std::string_view input, std::string_view encoded, Escape escape) {
  std::size_t at = 0;
  for (const char ch : input) {
    const auto b = static_cast<unsigned char>(ch);
    if (escape(b)) {
      FUZZ_CHECK(encoded.substr(at, 1) == "%" && at + 3 <= encoded.size());
      FUZZ_CHECK(encoded[at + 1] == HEX[b >> 4] && encoded[at + 2] == HEX[b & 0x0F]);
      at += 3;
    } else {
      FUZZ_CHECK(at < encoded.size() && encoded[at] == ch);
      ++at;
    }
  }
  FUZZ_CHECK(at == encoded.size());
}

std::string percent_decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    FUZZ_CHECK(i + 2 < text.size());
    const int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
    FUZZ_CHECK(high >= 0 && low >= 0);
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string encoded = qel::percent_encode(input);
  for (const char ch : encoded) {
    FUZZ_CHECK(is_unreserved(static_cast<unsigned char>(ch)) || ch == '%');
  }
  check_encoding(input, encoded, [](unsigned char b) { return !is_unreserved(b); });
  FUZZ_CHECK(percent_decode(encoded) == input);

  const std::string escaped = qel::escape_url_text(input);
  for (const char ch : escaped) {
    FUZZ_CHECK(!escaped_in_request_line(static_cast<unsigned char>(ch)));
  }
  check_encoding(input, escaped, escaped_in_request_line);
  FUZZ_CHECK(qel::escape_url_text(escaped) == escaped);
  return 0;
}
