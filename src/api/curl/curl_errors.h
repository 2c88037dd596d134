// Descriptions of failed exchanges: "{url}: {kind}: {detail}".
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>

namespace qel {

// `proxy_refused`: the proxy answered the tunnel request with a refusal.
std::string describe_curl_failure(std::string_view url, CURLcode code, const char* detail,
                                  bool proxy_refused);

}  // namespace qel
