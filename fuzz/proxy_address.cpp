// The proxy-address acceptance over arbitrary text. An accepted address must give settings
// that the address written back from them reproduces exactly, and a port written in the
// address must be all digits up to 65535.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/client.h"
#include "fuzz_check.h"

namespace {

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

// The value of a digit string, or more than 65535 when it is larger.
std::uint32_t number_of(std::string_view digits) {
  std::uint32_t value = 0;
  for (const char ch : digits) {
    value = value * 10 + static_cast<std::uint32_t>(ch - '0');
    if (value > 65535) return 65536;
  }
  return value;
}

std::string written(const qel::ProxySettings& proxy) {
  std::string out = proxy.kind == qel::ProxySettings::Kind::http ? "http://" : "socks5://";
  if (proxy.user) out += *proxy.user + ":" + *proxy.password + "@";
  return out + proxy.host + ":" + std::to_string(proxy.port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view address(reinterpret_cast<const char*>(data), size);
  const std::optional<qel::ProxySettings> proxy = qel::parse_proxy_address(address);
  if (!proxy) return 0;

  FUZZ_CHECK(!proxy->host.empty());
  FUZZ_CHECK(proxy->user.has_value() == proxy->password.has_value());
  if (proxy->user) FUZZ_CHECK(proxy->user->find(':') == std::string::npos);
  FUZZ_CHECK(proxy->host.find('@') == std::string::npos);
  // Only an IPv6 literal in brackets keeps colons in the host.
  if (proxy->host.front() == '[') {
    FUZZ_CHECK(proxy->host.back() == ']');
    FUZZ_CHECK(proxy->host.find(']') == proxy->host.size() - 1);
  } else {
    FUZZ_CHECK(proxy->host.find(':') == std::string::npos);
  }

  // The address ends with the host alone (the kind's default port) or the host, ":" and
  // the port's digits.
  std::string_view tail = address;
  while (!tail.empty() && tail.back() == '/') tail.remove_suffix(1);
  if (const auto at = tail.rfind('@'); at != std::string_view::npos) {
    tail.remove_prefix(at + 1);
  } else if (const auto sep = tail.find("://"); sep != std::string_view::npos) {
    tail.remove_prefix(sep + 3);
  }
  FUZZ_CHECK(tail.starts_with(proxy->host));
  const std::string_view port = tail.substr(proxy->host.size());
  if (port.empty()) {
    FUZZ_CHECK(proxy->port == (proxy->kind == qel::ProxySettings::Kind::http ? 80 : 1080));
  } else {
    FUZZ_CHECK(port.front() == ':' && all_digits(port.substr(1)));
    FUZZ_CHECK(number_of(port.substr(1)) == proxy->port);
  }

  const std::optional<qel::ProxySettings> again = qel::parse_proxy_address(written(*proxy));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->kind == proxy->kind);
  FUZZ_CHECK(again->host == proxy->host);
  FUZZ_CHECK(again->port == proxy->port);
  FUZZ_CHECK(again->user == proxy->user);
  FUZZ_CHECK(again->password == proxy->password);
  return 0;
}
