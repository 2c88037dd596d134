// The proxy decision of the service client: the program's own NO_PROXY rule and the
// proxy variables, read once when a client is built.
#include <array>

#include "api/client.h"
#include "common/text.h"
#include "platform/platform.h"

namespace qel {
namespace {

// "*." repeated, then "." repeated, then everything from the first ":" (a port) on.
std::string_view reduce_entry(std::string_view entry) {
  while (entry.substr(0, 2) == "*.") entry.remove_prefix(2);
  while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
  return entry.substr(0, entry.find(':'));
}

bool parse_port(std::string_view text, std::uint16_t& port) {
  std::uint64_t value = 0;
  if (text.empty() || text.front() == '+' || !parse_u64(text, value) || value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

std::string proxy_host_of(std::string_view base_url) {
  std::string_view rest = base_url;
  if (const auto first = rest.find("://"); first != std::string_view::npos) {
    rest.remove_prefix(first + 3);
    rest = rest.substr(0, rest.find("://"));
  }
  return ascii_lower(rest.substr(0, rest.find_first_of("/:")));
}

bool no_proxy_excludes(std::string_view no_proxy_list, std::string_view host) {
  std::size_t start = 0;
  while (start <= no_proxy_list.size()) {
    const auto comma = no_proxy_list.find(',', start);
    const auto raw = no_proxy_list.substr(
        start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    start = comma == std::string_view::npos ? no_proxy_list.size() + 1 : comma + 1;

    const std::string entry = ascii_lower(trim_unicode(raw));
    if (entry.empty()) continue;
    if (entry == "*") return true;
    const std::string_view domain = reduce_entry(entry);
    if (host == domain) return true;
    if (host.size() > domain.size() && host.substr(host.size() - domain.size()) == domain &&
        host[host.size() - domain.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

std::optional<ProxySettings> parse_proxy_address(std::string_view address) {
  while (!address.empty() && address.back() == '/') address.remove_suffix(1);

  ProxySettings proxy;
  if (const auto sep = address.find("://"); sep != std::string_view::npos) {
    const std::string_view scheme = address.substr(0, sep);
    if (scheme == "http") {
      proxy.kind = ProxySettings::Kind::http;
    } else if (scheme == "socks4" || scheme == "socks4a" || scheme == "socks" ||
               scheme == "socks5") {
      proxy.kind = ProxySettings::Kind::socks;
    } else {
      return std::nullopt;  // https proxies among them: not supported
    }
    address.remove_prefix(sep + 3);
  }
  proxy.port = proxy.kind == ProxySettings::Kind::http ? 80 : 1080;

  if (const auto at = address.rfind('@'); at != std::string_view::npos) {
    const std::string_view credentials = address.substr(0, at);
    const auto colon = credentials.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    proxy.user = std::string(credentials.substr(0, colon));
    proxy.password = std::string(credentials.substr(colon + 1));
    address.remove_prefix(at + 1);
  }

  std::string_view host = address;
  std::string_view port;
  if (!address.empty() && address.front() == '[') {  // an IPv6 literal keeps its colons
    const auto close = address.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = address.substr(0, close + 1);
    const std::string_view after = address.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else if (const auto colon = address.find(':'); colon != std::string_view::npos) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (port.empty()) return std::nullopt;
  }
  if (host.empty()) return std::nullopt;
  if (!port.empty() && !parse_port(port, proxy.port)) return std::nullopt;
  proxy.host = std::string(host);
  return proxy;
}

std::optional<ProxySettings> proxy_from_environment(std::string_view base_url) {
  std::string exclusions;
  for (const char* name : {"NO_PROXY", "no_proxy"}) {
    const platform::EnvVar var = platform::get_env(name);
    if (var.state == platform::EnvVar::State::set) {
      exclusions = var.value;
      break;
    }
  }
  if (no_proxy_excludes(exclusions, proxy_host_of(base_url))) return std::nullopt;

  constexpr std::array<const char*, 6> names = {"ALL_PROXY",   "all_proxy",  "HTTPS_PROXY",
                                                "https_proxy", "HTTP_PROXY", "http_proxy"};
  for (const char* name : names) {
    if (const auto value = platform::env_text(name)) {
      if (auto proxy = parse_proxy_address(*value)) return proxy;
    }
  }
  return std::nullopt;
}

}  // namespace qel
