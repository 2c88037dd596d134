#include "api/api_error.h"

#include <string>

#include "common/text.h"

namespace qel {
namespace {

constexpr std::string_view UNEXPECTED_RESPONSE = "The server returned an unexpected response.";

std::string_view trim_ascii_space(std::string_view text) {
  const auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// The body of a refusal, kept only as far as it is read: the object "error" with its
// members "code" and "message". Everything else is checked but never built, so a refusal
// of many megabytes costs no tree.
Json refusal_body(const std::string& body) {
  if (!holds_json_document(body)) return Json();
  using Event = Json::parse_event_t;
  Json parsed = Json::parse(utf8_lossy(body), [](int depth, Event event, Json& value) {
    switch (event) {
      case Event::object_start:
        return depth <= 1;  // the document itself, and the value of "error"
      case Event::array_start:
        return false;
      case Event::key:
        if (depth == 1) return value == "error";
        return depth == 2 && (value == "code" || value == "message");
      default:
        return true;
    }
  }, /*allow_exceptions=*/false);
  return parsed.is_discarded() ? Json() : parsed;
}

ApiError refused(const HttpReply& reply) {
  ApiError error;
  if (const auto value = find_header(reply.headers, "Retry-After")) {
    error.retry_after = parse_retry_after(*value);
  }
  // An unreadable body of a refusal is treated as an empty one: the status still tells.
  const Json parsed = reply.body.ok() ? refusal_body(reply.body.value()) : Json();
  const Json& details = member(parsed, "error");
  const Json& code = member(details, "code");
  const Json& message = member(details, "message");
  error.code = code.is_string() ? code.get<std::string>() : "http_error";
  error.message = message.is_string()
                      ? message.get<std::string>()
                      : "The server answered with HTTP " + std::to_string(reply.status) + ".";
  error.http_status = reply.status;
  return error;
}

// Counted like a refusal, which it is for the request: not retried, and shown with the
// status that the service gave.
ApiError redirect_not_followed(const RedirectNotFollowed& redirect) {
  ApiError error;
  error.code = "http_error";
  error.message = "The server redirected the request to " + redirect.location +
                  ", which an upload does not follow.";
  error.http_status = redirect.status;
  return error;
}

// Every outcome but a successful reply's readable body is mapped here; `read_body` turns
// that body into the value, or none when it is not JSON.
template <class ReadBody>
ApiResult<Json> check_outcome(const HttpOutcome& outcome, ReadBody read_body) {
  if (const auto* failure = std::get_if<TransportFailure>(&outcome)) {
    return fail(network_error(failure->description));
  }
  if (const auto* redirect = std::get_if<RedirectNotFollowed>(&outcome)) {
    return fail(redirect_not_followed(*redirect));
  }
  const HttpReply& reply = std::get<HttpReply>(outcome);
  if (reply.status >= 400) return fail(refused(reply));
  if (!reply.body.ok()) return fail(network_error(reply.body.error()));
  if (std::optional<Json> value = read_body(reply.body.value())) return std::move(*value);
  ApiError error;
  error.code = "invalid_response";
  error.message = std::string(UNEXPECTED_RESPONSE);
  error.http_status = 200;
  return fail(std::move(error));
}

}  // namespace

ApiError network_error(std::string_view description) {
  ApiError error;
  error.code = "network";
  error.message = "Network error: " + std::string(description);
  error.http_status = 0;
  return error;
}

std::string format_api_error(const ApiError& error) {
  if (error.http_status == 0) return error.message;
  return error.message + " (" + error.code + ", HTTP " + std::to_string(error.http_status) + ")";
}

bool is_retryable(const ApiError& error) {
  if (error.http_status == 0 || error.http_status >= 500) return true;
  if (error.http_status == 429 && error.code != "ip_blocked") return true;
  if (error.code == "checksum_mismatch") return true;
  return error.http_status == 400 && error.code == "invalid_chunk";
}

std::optional<std::uint64_t> parse_retry_after(std::string_view value) {
  std::uint64_t seconds = 0;
  if (!parse_u64(trim_ascii_space(value), seconds)) return std::nullopt;
  return seconds;
}

ApiResult<Json> check_response(HttpOutcome outcome) {
  return check_outcome(outcome, [](const std::string& body) { return parse_json(utf8_lossy(body)); });
}

ApiResult<Json> check_response_unread(HttpOutcome outcome) {
  return check_outcome(outcome, [](const std::string& body) -> std::optional<Json> {
    if (!holds_json_document(body)) return std::nullopt;
    return Json();
  });
}

std::optional<std::string_view> find_header(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (ascii_lower(key) == ascii_lower(name)) return std::string_view(value);
  }
  return std::nullopt;
}

}  // namespace qel
