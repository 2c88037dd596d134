// The Retry-After reader against its rule, written out here digit by digit: ASCII white
// space around, one optional "+", then decimal digits that fit in 64 bits; nothing else.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/api_error.h"
#include "fuzz_check.h"

namespace {

bool is_blank(char ch) {
  return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

std::optional<std::uint64_t> expected(std::string_view value) {
  std::size_t begin = 0, end = value.size();
  while (begin < end && is_blank(value[begin])) ++begin;
  while (end > begin && is_blank(value[end - 1])) --end;
  std::string_view digits = value.substr(begin, end - begin);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  unsigned __int128 number = 0;
  for (const char ch : digits) {
    if (ch < '0' || ch > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(ch - '0');
    if (number > UINT64_MAX) return std::nullopt;
  }
  return static_cast<std::uint64_t>(number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const std::optional<std::uint64_t> seconds = qel::parse_retry_after(value);
  FUZZ_CHECK(seconds == expected(value));
  // A number read is the number written: a round trip through its decimal form.
  if (seconds) FUZZ_CHECK(qel::parse_retry_after(std::to_string(*seconds)) == seconds);
  return 0;
}
