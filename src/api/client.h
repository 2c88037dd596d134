// The service client: base URL, bearer key and the shared HTTP agent; the request operations.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "api/api_error.h"
#include "api/transport.h"
#include "common/json.h"

namespace qel {

struct ApiClient {
  std::string base_url;
  std::string key;
  std::shared_ptr<Transport> agent;
  // Given to every request of this client (HttpRequest): a flag that ends them, and a limit
  // on each exchange's time. A copy of a client with these set shares its agent.
  const std::atomic<bool>* cancel = nullptr;
  std::optional<std::chrono::milliseconds> time_limit = std::nullopt;
};

ApiClient make_agent(std::string_view base_url, std::string_view key);

// How a request meets a redirect reply. `usual`: by redirected_request, and a redirect that
// is not followed is handed over as the reply. `unchanged`, for the upload's create, chunk
// and finalise requests, whose success must mean that the service took them as sent: a
// redirect is followed only when it keeps the method and the body; any other ends the
// request with RedirectNotFollowed, so that a GET's reply is never taken for their answer.
enum class Redirects { usual, unchanged };

// A prepared request: the holder may add headers, then sends it once.
class ApiRequest {
 public:
  ApiRequest(const ApiClient& client, std::string method, std::string_view path);
  ApiRequest& header(std::string name, std::string value);
  ApiRequest& redirects(Redirects rule);
  // Sends without a body, or with `body` (its length declared). Redirects are followed here;
  // none from https to plain http.
  HttpOutcome send(std::optional<std::string_view> body = std::nullopt) const;

 private:
  std::shared_ptr<Transport> agent_;
  HttpRequest request_;
  Redirects redirects_ = Redirects::usual;
};

ApiRequest api_request(const ApiClient& client, std::string method, std::string_view path);
ApiResult<Json> api_get(const ApiClient& client, std::string_view path);
ApiResult<Json> api_post(const ApiClient& client, std::string_view path,
                         Redirects rule = Redirects::usual);
ApiResult<Json> api_post_json(const ApiClient& client, std::string_view path, const Json& body,
                              Redirects rule = Redirects::usual);
ApiResult<Json> api_delete(const ApiClient& client, std::string_view path);

// The proxy decision, made once per client from the environment, and its pieces.
std::optional<ProxySettings> proxy_from_environment(std::string_view base_url);
// The host of a base URL as the NO_PROXY rule sees it (lower-case, no port, no path).
std::string proxy_host_of(std::string_view base_url);
bool no_proxy_excludes(std::string_view no_proxy_list, std::string_view host);
// An accepted proxy address (http or SOCKS), or none.
std::optional<ProxySettings> parse_proxy_address(std::string_view address);

// The request to send after a redirect reply, or none when the redirect is not followed.
std::optional<HttpRequest> redirected_request(const HttpRequest& request, std::uint16_t status,
                                              std::string_view location);

// A redirect from https to plain http, which would send the request, and show its reply,
// without the protection that the base URL asked for.
bool leaves_tls(std::string_view from_url, std::string_view to_url);

inline constexpr int MAX_REDIRECT_REPLIES = 5;

}  // namespace qel
