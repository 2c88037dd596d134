#include "api/client.h"

namespace qel {
ApiClient make_agent(std::string_view base_url, std::string_view key) {
  std::string url(base_url);
  while (!url.empty() && url.back() == '/') url.pop_back();
  return ApiClient{url, std::string(key), nullptr};
}
}  // namespace qel
