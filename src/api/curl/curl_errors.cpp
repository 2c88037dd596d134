#include "api/curl/curl_errors.h"

#include "common/text.h"

namespace qel {
namespace {

std::string_view kind_of(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return "Unknown Scheme";
    case CURLE_URL_MALFORMAT:
      return "Bad Url";
    case CURLE_COULDNT_RESOLVE_HOST:
      return "Dns Failed";
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_PROXY:
      return "Proxy Failed";
    case CURLE_COULDNT_CONNECT:
      return "Connection Failed";
    case CURLE_OPERATION_TIMEDOUT:
      return "Timed Out";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return "Tls Failed";
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return "Bad Reply";
    default:
      return "Network Error";
  }
}

// curl answers a reply it cannot parse (an HTTP/0.9 head, a status that is not three
// digits) with "unsupported protocol"; for an http or https URL that is the reply's fault.
bool is_http_url(std::string_view url) {
  const auto sep = url.find("://");
  if (sep == std::string_view::npos) return false;
  const std::string scheme = ascii_lower(url.substr(0, sep));
  return scheme == "http" || scheme == "https";
}

}  // namespace

std::string describe_curl_failure(std::string_view url, CURLcode code, const char* detail,
                                  bool proxy_refused) {
  std::string_view kind = kind_of(code);
  if (proxy_refused) {
    kind = "Proxy Failed";
  } else if (code == CURLE_UNSUPPORTED_PROTOCOL && is_http_url(url)) {
    kind = "Bad Reply";
  }
  std::string text = std::string(url) + ": " + std::string(kind);
  std::string_view why = (detail != nullptr && detail[0] != '\0') ? std::string_view(detail)
                                                                  : curl_easy_strerror(code);
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.remove_suffix(1);
  if (!why.empty()) text += ": " + std::string(why);
  return text;
}

}  // namespace qel
