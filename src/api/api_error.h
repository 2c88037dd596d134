// Every service call ends here: an HTTP outcome becomes a JSON value or one ApiError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "api/transport.h"
#include "common/json.h"
#include "common/result.h"

namespace qel {

struct ApiError {
  std::optional<std::uint64_t> retry_after;
  std::string code;
  std::string message;
  std::uint16_t http_status = 0;
};

template <class T>
using ApiResult = Result<T, ApiError>;

ApiError network_error(std::string_view description);
std::string format_api_error(const ApiError& error);
bool is_retryable(const ApiError& error);

// Maps one exchange (a transport failure or a reply with its read body) to JSON or an error.
ApiResult<Json> check_response(HttpOutcome outcome);

// check_response for a caller that drops the value unread (an accepted chunk): the same
// errors, but a successful body is only checked to be one JSON document, never built, and
// the value yielded is null.
ApiResult<Json> check_response_unread(HttpOutcome outcome);

// Reads a Retry-After value: digits with an optional "+", white space around allowed.
std::optional<std::uint64_t> parse_retry_after(std::string_view value);

}  // namespace qel
