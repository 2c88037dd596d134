// The mapping of one HTTP outcome to a JSON value or an ApiError, for any status, headers
// and body. Runs of one byte (say "[" and "]") around the fuzzer's own bytes meet the
// 128-level limit at its edge and far beyond; bodies at the 10 MiB cap are checked at start.
// The expected result is worked out with the JSON library directly, not the program's parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/api_error.h"
#include "common/json.h"
#include "common/text.h"
#include "fuzz_check.h"
#include "json_events.h"

namespace {

using qel::Json;

// Nesting depth of a value (a scalar is 0), walked without recursion. False when a string
// or key is not UTF-8.
bool measure(const Json& root, std::size_t& depth) {
  depth = 0;
  std::vector<std::pair<const Json*, std::size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    const auto [value, level] = pending.back();
    pending.pop_back();
    if (value->is_string() && !qel::is_valid_utf8(value->get_ref<const std::string&>())) {
      return false;
    }
    if (!value->is_structured()) continue;
    depth = std::max(depth, level + 1);
    for (auto it = value->begin(); it != value->end(); ++it) {
      if (value->is_object() && !qel::is_valid_utf8(it.key())) return false;
      pending.emplace_back(&*it, level + 1);
    }
  }
  return true;
}

// Counts nesting as the library reads the text and gives up past `limit`, so a body of
// millions of "[" costs no more than its first levels.
class DepthProbe : public NestingEvents {
 public:
  explicit DepthProbe(std::size_t limit) : limit_(limit) {}
  bool too_deep = false;

 private:
  bool entered() override {
    if (depth() > limit_) too_deep = true;
    return !too_deep;
  }
  std::size_t limit_;
};

// The body as the program must read it: lossy text, one JSON document without a byte-order
// mark or NUL byte, at most 128 levels deep.
std::optional<Json> expected_document(const std::string& body) {
  const std::string text = qel::utf8_lossy(body);
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  // No JSON text holds a NUL byte; the library alone would end the input there.
  if (text.find('\0') != std::string::npos) return std::nullopt;
  DepthProbe probe(qel::MAX_JSON_DEPTH);
  Json::sax_parse(text, &probe);
  if (probe.too_deep) return std::nullopt;
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  std::size_t depth = 0;
  FUZZ_CHECK(measure(value, depth));
  FUZZ_CHECK(depth <= static_cast<std::size_t>(qel::MAX_JSON_DEPTH));
  return value;
}

std::string lower(std::string text) {
  for (char& ch : text) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + ('a' - 'A'));
  }
  return text;
}

void check_network_error(const qel::ApiResult<Json>& result, const std::string& description) {
  FUZZ_CHECK(!result.ok());
  const qel::ApiError& error = result.error();
  FUZZ_CHECK(error.code == "network");
  FUZZ_CHECK(error.http_status == 0);
  FUZZ_CHECK(!error.retry_after);
  FUZZ_CHECK(error.message == "Network error: " + description);
  FUZZ_CHECK(qel::format_api_error(error) == error.message);
  FUZZ_CHECK(qel::is_retryable(error));
}

void check_refusal(const qel::ApiResult<Json>& result, const qel::HttpReply& reply) {
  FUZZ_CHECK(!result.ok());
  const qel::ApiError& error = result.error();
  FUZZ_CHECK(error.http_status == reply.status);

  std::optional<std::uint64_t> retry_after;
  for (const auto& [name, value] : reply.headers) {
    if (lower(name) == "retry-after") {
      retry_after = qel::parse_retry_after(value);
      break;
    }
  }
  FUZZ_CHECK(error.retry_after == retry_after);

  Json document;
  if (reply.body.ok()) document = expected_document(reply.body.value()).value_or(Json());
  Json details;
  if (document.is_object() && document.contains("error")) details = document["error"];
  const auto text_member = [&](const char* name) -> std::optional<std::string> {
    if (!details.is_object() || !details.contains(name) || !details[name].is_string()) return {};
    return details[name].get<std::string>();
  };
  const std::string status = std::to_string(reply.status);
  FUZZ_CHECK(error.code == text_member("code").value_or("http_error"));
  FUZZ_CHECK(error.message ==
             text_member("message").value_or("The server answered with HTTP " + status + "."));
  FUZZ_CHECK(qel::is_valid_utf8(error.code) && qel::is_valid_utf8(error.message));
  FUZZ_CHECK(qel::format_api_error(error) ==
             error.message + " (" + error.code + ", HTTP " + status + ")");
}

void check_success(const qel::ApiResult<Json>& result, const std::string& body) {
  const std::optional<Json> expected = expected_document(body);
  if (!result.ok()) {
    FUZZ_CHECK(!expected);
    const qel::ApiError& error = result.error();
    FUZZ_CHECK(error.code == "invalid_response");
    FUZZ_CHECK(error.message == "The server returned an unexpected response.");
    FUZZ_CHECK(error.http_status == 200);
    FUZZ_CHECK(!error.retry_after);
    FUZZ_CHECK(!qel::is_retryable(error));
    return;
  }
  FUZZ_CHECK(expected && *expected == *result);
  std::size_t depth = 0;
  FUZZ_CHECK(measure(*result, depth) && depth <= static_cast<std::size_t>(qel::MAX_JSON_DEPTH));
}

void check(const qel::HttpReply& reply) {
  const qel::ApiResult<Json> result = qel::check_response(reply);
  if (reply.status >= 400) {
    check_refusal(result, reply);
  } else if (!reply.body.ok()) {
    check_network_error(result, reply.body.error());
  } else {
    check_success(result, reply.body.value());
  }
}

qel::HttpReply reply_of(std::uint16_t status, std::string body) {
  qel::HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

}  // namespace

// A body at the 10 MiB cap costs a second or more here, far too slow to fuzz: two are checked
// once at the start of every run instead, against results built directly. One is the deepest
// document allowed, padded to the cap with blanks; the other nests to the cap.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  constexpr std::size_t cap = qel::MAX_REPLY_BODY;
  constexpr int limit = qel::MAX_JSON_DEPTH;
  std::string deepest_allowed(limit, '[');
  deepest_allowed.append(cap - 2 * limit, ' ');
  deepest_allowed.append(limit, ']');
  Json expected = Json::array();
  for (int level = 1; level < limit; ++level) expected = Json::array({std::move(expected)});
  const qel::ApiResult<Json> accepted = qel::check_response(reply_of(200, deepest_allowed));
  FUZZ_CHECK(accepted.ok() && *accepted == expected);

  const std::string too_deep = std::string(cap / 2, '{') + std::string(cap / 2, '}');
  const qel::ApiResult<Json> invalid = qel::check_response(reply_of(201, too_deep));
  FUZZ_CHECK(!invalid.ok() && invalid.error().code == "invalid_response");
  const qel::ApiResult<Json> refused = qel::check_response(reply_of(429, too_deep));
  FUZZ_CHECK(!refused.ok() && refused.error().code == "http_error" &&
             refused.error().message == "The server answered with HTTP 429.");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int shape = in.ConsumeIntegralInRange(0, 15);
  if (shape == 0) {
    const std::string description = in.ConsumeRemainingBytesAsString();
    check_network_error(qel::check_response(qel::TransportFailure{description}), description);
    return 0;
  }

  qel::HttpReply reply;
  reply.status = in.ConsumeIntegral<std::uint16_t>();
  const int header_count = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < header_count; ++i) {
    std::string name = in.ConsumeRandomLengthString(24);
    std::string value = in.ConsumeRandomLengthString(32);
    reply.headers.emplace_back(std::move(name), std::move(value));
  }

  std::string body;
  if (shape == 1) {
    // Runs of one byte before and after the fuzzer's bytes, each up to 4096 bytes, their
    // lengths drawn on a doubling scale so short runs stay common.
    const char open = in.ConsumeIntegral<char>(), close = in.ConsumeIntegral<char>();
    const auto run = [&in] {
      const int scale = in.ConsumeIntegralInRange(0, 12);
      return in.ConsumeIntegralInRange<std::size_t>(0, std::size_t{1} << scale);
    };
    const std::size_t before = run(), after = run();
    body.assign(before, open);
    body += in.ConsumeRemainingBytesAsString();
    body.append(after, close);
  } else {
    body = in.ConsumeRemainingBytesAsString();
  }
  if (shape == 2) {
    reply.body = qel::fail(body);  // the read failed; the bytes are its description
  } else {
    reply.body = body;
  }

  check(reply);
  return 0;
}
