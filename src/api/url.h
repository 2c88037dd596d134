// URL text helpers of the service client: resolving a redirect's Location.
#pragma once

#include <string>
#include <string_view>

namespace qel {

// Resolves `reference` (absolute, network-path, absolute-path, relative path or query)
// against the absolute URL `base`, with dot segments removed; fragments are dropped.
std::string resolve_url(std::string_view base, std::string_view reference);

// Percent-encodes the bytes that cannot stand in a request line (controls, blanks, non-ASCII
// and "<>`), as a URL parser does; everything else, "%" included, stays as it is.
std::string escape_url_text(std::string_view url);

}  // namespace qel
