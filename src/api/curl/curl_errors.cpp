#include "api/curl/curl_errors.h"

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

}  // namespace

std::string describe_curl_failure(std::string_view url, CURLcode code, const char* detail,
                                  bool proxy_refused) {
  std::string text =
      std::string(url) + ": " + std::string(proxy_refused ? "Proxy Failed" : kind_of(code));
  std::string_view why = (detail != nullptr && detail[0] != '\0') ? std::string_view(detail)
                                                                  : curl_easy_strerror(code);
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.remove_suffix(1);
  if (!why.empty()) text += ": " + std::string(why);
  return text;
}

}  // namespace qel
