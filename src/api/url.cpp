#include "api/url.h"

#include <cctype>
#include <optional>

namespace qel {
namespace {

struct UrlParts {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
};

// Splits by the generic syntax; the fragment, if any, is left out.
UrlParts split_url(std::string_view url) {
  UrlParts parts;
  if (const auto hash = url.find('#'); hash != std::string_view::npos) url = url.substr(0, hash);
  // A scheme is letters first, then letters, digits, "+", "-", "." up to the first ":".
  std::size_t i = 0;
  while (i < url.size() && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' ||
                            url[i] == '-' || url[i] == '.')) {
    ++i;
  }
  if (i > 0 && i < url.size() && url[i] == ':' &&
      std::isalpha(static_cast<unsigned char>(url[0]))) {
    parts.scheme = url.substr(0, i);
    url.remove_prefix(i + 1);
  }
  if (url.substr(0, 2) == "//") {
    url.remove_prefix(2);
    const auto end = url.find_first_of("/?");
    parts.authority = url.substr(0, end);
    url = end == std::string_view::npos ? std::string_view() : url.substr(end);
  }
  if (const auto q = url.find('?'); q != std::string_view::npos) {
    parts.query = url.substr(q + 1);
    url = url.substr(0, q);
  }
  parts.path = url;
  return parts;
}

std::string remove_dot_segments(std::string_view input) {
  std::string out;
  while (!input.empty()) {
    if (input.substr(0, 3) == "../") {
      input.remove_prefix(3);
    } else if (input.substr(0, 2) == "./") {
      input.remove_prefix(2);
    } else if (input.substr(0, 3) == "/./") {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.substr(0, 4) == "/../" || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      const auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const auto next = input.find('/', 1);
      out += input.substr(0, next);
      input = next == std::string_view::npos ? std::string_view() : input.substr(next);
    }
  }
  return out;
}

std::string merge_paths(const UrlParts& base, std::string_view path) {
  if (base.authority && base.path.empty()) return "/" + std::string(path);
  const auto slash = base.path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(base.path.substr(0, slash + 1)) + std::string(path);
}

}  // namespace

std::string escape_url_text(std::string_view url) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  for (const char ch : url) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte <= 0x20 || byte >= 0x7F || ch == '"' || ch == '<' || ch == '>' || ch == '`') {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

std::string resolve_url(std::string_view base_text, std::string_view reference) {
  const UrlParts base = split_url(base_text);
  const UrlParts ref = split_url(reference);

  std::optional<std::string_view> scheme = base.scheme, authority, query;
  std::string path;
  if (ref.scheme) {
    scheme = ref.scheme;
    authority = ref.authority;
    path = remove_dot_segments(ref.path);
    query = ref.query;
  } else if (ref.authority) {
    authority = ref.authority;
    path = remove_dot_segments(ref.path);
    query = ref.query;
  } else {
    authority = base.authority;
    if (ref.path.empty()) {
      path = std::string(base.path);
      query = ref.query ? ref.query : base.query;
    } else {
      path = remove_dot_segments(ref.path.front() == '/' ? std::string(ref.path)
                                                         : merge_paths(base, ref.path));
      query = ref.query;
    }
  }

  std::string out;
  if (scheme) out += std::string(*scheme) + ":";
  if (authority) out += "//" + std::string(*authority);
  out += path;
  if (query) out += "?" + std::string(*query);
  return out;
}

}  // namespace qel
