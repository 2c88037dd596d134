// The narrow HTTP layer under the service client. Back end, for both builds: libcurl; the
// redirect rule, headers and error mapping live above it and are shared.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/result.h"

namespace qel {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

inline constexpr std::size_t MAX_REPLY_BODY = 10 * 1024 * 1024;

struct HttpRequest {
  std::string method;
  std::string url;
  HttpHeaders headers;
  // Absent: no body and no Content-Length. Present (maybe empty): sent with its length.
  // Points into memory that the caller keeps alive for the whole exchange.
  std::optional<std::string_view> body;
  // When given and raised (before or during the exchange), the exchange ends promptly with
  // a failure. The flag outlives the exchange.
  const std::atomic<bool>* cancel = nullptr;
  // The most the whole exchange may take; none: only the usual time-outs.
  std::optional<std::chrono::milliseconds> time_limit = std::nullopt;
};

struct HttpReply {
  std::uint16_t status = 0;
  HttpHeaders headers;
  // The body after gzip decoding, at most MAX_REPLY_BODY bytes, or the read failure's text.
  Result<std::string> body = std::string();
};

struct TransportFailure {
  std::string description;
};

// A redirect reply to a request that must reach the service as it was sent (see
// Redirects::unchanged): not followed, and not to be taken for the service's answer.
struct RedirectNotFollowed {
  std::uint16_t status = 0;
  std::string location;  // the target, resolved against the request's URL
};

// A back end yields one of the first two; the client's redirect step adds the third.
using HttpOutcome = std::variant<TransportFailure, HttpReply, RedirectNotFollowed>;

// Value of the first header named `name` (ASCII case-insensitive), if any.
std::optional<std::string_view> find_header(const HttpHeaders& headers, std::string_view name);

// Proxy settings handed to the back end; decided by the client from the environment.
struct ProxySettings {
  enum class Kind { http, socks } kind = Kind::http;
  std::string host;
  std::uint16_t port = 80;
  std::optional<std::string> user;  // Basic credentials for CONNECT, when both are given
  std::optional<std::string> password;
};

struct TransportSettings {
  std::string user_agent;
  std::optional<ProxySettings> proxy;
};

// One exchange per call, no redirects followed, and the request put on the wire at most
// once: a back end never resends it by itself, not even after a reused connection closed
// without a reply, since the retry rules above count every copy that may have reached the
// service. Safe to call from several threads at once; idle connections are pooled across
// calls (at most 1 per destination, 100 in all).
class Transport {
 public:
  virtual ~Transport() = default;
  virtual HttpOutcome send(const HttpRequest& request) = 0;
};

std::shared_ptr<Transport> make_transport(const TransportSettings& settings);

}  // namespace qel
