#include "api/client.h"

#include "api/url.h"
#include "common/text.h"
#include "platform/platform.h"

namespace qel {
namespace {

std::string user_agent() {
  return "qel/" QEL_VERSION " (" + std::string(platform::os_name()) + ")";
}

void remove_header(HttpHeaders& headers, std::string_view name) {
  std::erase_if(headers, [&](const auto& h) { return ascii_lower(h.first) == ascii_lower(name); });
}

bool is_one_of(std::string_view method, std::initializer_list<std::string_view> methods) {
  for (auto m : methods) {
    if (method == m) return true;
  }
  return false;
}

// A line break or NUL in a header would let a value (a key from the environment, say)
// inject headers of its own; such a request is never sent.
std::optional<std::string> bad_header(const HttpHeaders& headers) {
  for (const auto& [name, value] : headers) {
    const auto unsafe = [](std::string_view text) {
      return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
    };
    if (unsafe(name) || unsafe(value)) return name;
  }
  return std::nullopt;
}

}  // namespace

ApiClient make_agent(std::string_view base_url, std::string_view key) {
  std::string url(base_url);
  while (!url.empty() && url.back() == '/') url.pop_back();
  TransportSettings settings;
  settings.user_agent = user_agent();
  settings.proxy = proxy_from_environment(base_url);
  return ApiClient{std::move(url), std::string(key), make_transport(settings)};
}

std::optional<HttpRequest> redirected_request(const HttpRequest& request, std::uint16_t status,
                                              std::string_view location) {
  HttpRequest next = request;
  if (status == 301 || status == 302 || status == 303) {
    if (!is_one_of(request.method, {"GET", "HEAD"})) {
      next.method = "GET";
      next.body.reset();
      remove_header(next.headers, "Content-Type");
      remove_header(next.headers, "Content-Length");
    }
  } else if (status == 307 || status == 308) {
    if (!is_one_of(request.method, {"GET", "HEAD", "OPTIONS", "TRACE"})) return std::nullopt;
  } else {
    return std::nullopt;
  }
  // The key stays with the service it was meant for, wherever the redirect points.
  remove_header(next.headers, "Authorization");
  next.url = escape_url_text(resolve_url(request.url, location));
  return next;
}

bool leaves_tls(std::string_view from_url, std::string_view to_url) {
  const auto scheme = [](std::string_view url) {
    const auto end = url.find("://");
    return end == std::string_view::npos ? std::string() : ascii_lower(url.substr(0, end));
  };
  return scheme(from_url) == "https" && scheme(to_url) == "http";
}

ApiRequest::ApiRequest(const ApiClient& client, std::string method, std::string_view path)
    : agent_(client.agent) {
  request_.method = std::move(method);
  request_.url = client.base_url;
  // A "#" would end the request target at a fragment and silently drop the rest of the
  // path and query (a status text holding "#" would lose the page values): it goes encoded.
  for (const char ch : path) {
    if (ch == '#') {
      request_.url += "%23";
    } else {
      request_.url += ch;
    }
  }
  request_.headers.emplace_back("Accept", "application/json");
  if (!client.key.empty()) request_.headers.emplace_back("Authorization", "Bearer " + client.key);
  request_.cancel = client.cancel;
  request_.time_limit = client.time_limit;
}

ApiRequest& ApiRequest::header(std::string name, std::string value) {
  request_.headers.emplace_back(std::move(name), std::move(value));
  return *this;
}

ApiRequest& ApiRequest::redirects(Redirects rule) {
  redirects_ = rule;
  return *this;
}

HttpOutcome ApiRequest::send(std::optional<std::string_view> body) const {
  HttpRequest request = request_;
  request.url = escape_url_text(request.url);
  request.body = body;
  if (!agent_) return TransportFailure{request.url + ": Network Error: the client has no agent"};
  if (const auto name = bad_header(request.headers)) {
    return TransportFailure{request.url + ": Bad Header: the value of " + *name +
                            " holds a line break"};
  }
  int redirect_replies = 0;
  for (;;) {
    // A cancelled client starts nothing more, a redirect's next request included.
    if (request.cancel != nullptr && request.cancel->load()) {
      return TransportFailure{request.url + ": Network Error: cancelled"};
    }
    HttpOutcome outcome = agent_->send(request);
    const auto* reply = std::get_if<HttpReply>(&outcome);
    if (reply == nullptr || reply->status < 300 || reply->status > 398) return outcome;
    const auto location = find_header(reply->headers, "Location");
    if (!location) return outcome;
    if (++redirect_replies >= MAX_REDIRECT_REPLIES) {
      return TransportFailure{request.url + ": Too Many Redirects"};
    }
    auto next = redirected_request(request, reply->status, *location);
    if (redirects_ == Redirects::unchanged && (!next || next->method != request.method)) {
      return RedirectNotFollowed{reply->status,
                                 escape_url_text(resolve_url(request.url, *location))};
    }
    if (!next) return outcome;
    // Followed, the request would go out in the clear and an unauthenticated reply would be
    // shown as the service's.
    if (leaves_tls(request.url, next->url)) {
      return TransportFailure{request.url + ": Insecure Redirect: not followed from https to " +
                              next->url};
    }
    request = std::move(*next);
  }
}

ApiRequest api_request(const ApiClient& client, std::string method, std::string_view path) {
  return ApiRequest(client, std::move(method), path);
}

ApiResult<Json> api_get(const ApiClient& client, std::string_view path) {
  return check_response(api_request(client, "GET", path).send());
}

ApiResult<Json> api_post(const ApiClient& client, std::string_view path, Redirects rule) {
  return check_response(api_request(client, "POST", path).redirects(rule).send(std::string_view()));
}

ApiResult<Json> api_post_json(const ApiClient& client, std::string_view path, const Json& body,
                              Redirects rule) {
  const std::string text = compact_json(body);
  return check_response(api_request(client, "POST", path)
                            .header("Content-Type", "application/json")
                            .redirects(rule)
                            .send(text));
}

ApiResult<Json> api_delete(const ApiClient& client, std::string_view path) {
  return check_response(api_request(client, "DELETE", path).send());
}

}  // namespace qel
