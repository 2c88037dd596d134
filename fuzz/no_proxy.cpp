// The NO_PROXY decision over any list and host. Besides matching a reading of the rule
// written here independently, it must be a per-entry decision (a list excludes a host when
// one of its parts does), blind to the letter case of the list, and a host excluded by an
// entry must have every subdomain excluded too.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "api/client.h"
#include "common/text.h"
#include "fuzz_check.h"

namespace {

std::string upper(std::string text) {
  for (char& ch : text) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - ('a' - 'A'));
  }
  return text;
}

// One entry's verdict: "*" excludes everything; otherwise the entry without its leading
// "*." and "." and its ":port" is the domain, matched whole or after a ".".
bool entry_excludes(std::string entry, std::string_view host) {
  entry = qel::ascii_lower(qel::trim_unicode(entry));
  if (entry.empty()) return false;
  if (entry == "*") return true;
  std::size_t start = 0;
  while (entry.compare(start, 2, "*.") == 0) start += 2;
  while (start < entry.size() && entry[start] == '.') ++start;
  std::string domain = entry.substr(start);
  domain = domain.substr(0, domain.find(':'));
  if (host == domain) return true;
  return host.ends_with("." + domain);
}

bool expected(std::string_view list, std::string_view host) {
  std::string entry;
  for (const char ch : list) {
    if (ch == ',') {
      if (entry_excludes(entry, host)) return true;
      entry.clear();
    } else {
      entry += ch;
    }
  }
  return entry_excludes(entry, host);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string first = in.ConsumeRandomLengthString(256);
  const std::string second = in.ConsumeRandomLengthString(256);
  // The program hands over hosts already lower-cased.
  const std::string host = qel::ascii_lower(in.ConsumeRemainingBytesAsString());

  const std::string list = first + "," + second;
  const bool excluded = qel::no_proxy_excludes(list, host);
  FUZZ_CHECK(excluded == expected(list, host));
  FUZZ_CHECK(qel::no_proxy_excludes(first, host) == expected(first, host));
  FUZZ_CHECK(excluded ==
             (qel::no_proxy_excludes(first, host) || qel::no_proxy_excludes(second, host)));
  FUZZ_CHECK(qel::no_proxy_excludes(upper(list), host) == excluded);
  if (excluded && !host.empty()) FUZZ_CHECK(qel::no_proxy_excludes(list, "sub." + host));
  return 0;
}
