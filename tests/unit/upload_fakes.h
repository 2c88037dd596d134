// Test doubles for the upload: a scripted HTTP transport that records every request, and
// temporary files.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "api/client.h"
#include "api/transport.h"
#include "support/files.h"

namespace qel::testing {

inline constexpr std::string_view BASE_URL = "http://service.test/api/v1";

struct SeenRequest {
  std::string method;
  std::string path;  // after the base URL
  HttpHeaders headers;
  std::optional<std::string> body;
  const std::atomic<bool>* cancel = nullptr;
  std::optional<std::chrono::milliseconds> time_limit = std::nullopt;

  std::string header(std::string_view name) const {
    auto value = find_header(headers, name);
    return value ? std::string(*value) : std::string();
  }
};

inline HttpOutcome reply(std::uint16_t status, std::string body, HttpHeaders headers = {}) {
  HttpReply r;
  r.status = status;
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}

inline HttpOutcome no_reply() { return TransportFailure{"connection refused"}; }

// Answers every request with the handler; safe from several threads at once.
class FakeTransport : public Transport {
 public:
  using Handler = std::function<HttpOutcome(const SeenRequest&)>;
  explicit FakeTransport(Handler handler) : handler_(std::move(handler)) {}

  HttpOutcome send(const HttpRequest& request) override {
    SeenRequest seen{request.method, request.url.substr(std::min(request.url.size(), BASE_URL.size())),
                     request.headers, std::nullopt, request.cancel, request.time_limit};
    if (request.body) seen.body = std::string(*request.body);
    {
      std::lock_guard lock(mutex_);
      seen_.push_back(seen);
    }
    return handler_(seen);
  }

  std::vector<SeenRequest> requests() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<SeenRequest> requests(std::string_view method) const {
    std::vector<SeenRequest> out;
    for (auto& r : requests()) {
      if (r.method == method) out.push_back(r);
    }
    return out;
  }

 private:
  Handler handler_;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

inline ApiClient fake_client(std::shared_ptr<FakeTransport> transport) {
  return ApiClient{std::string(BASE_URL), "test-key", std::move(transport)};
}

inline std::string random_text(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>(generator() & 0xFF);
  return text;
}

using TempFolder = qel::test::TempFolder;

}  // namespace qel::testing
