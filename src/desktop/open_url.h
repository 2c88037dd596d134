// Hands a URL to the system's default handler without waiting for it.
#pragma once

#include <string_view>

namespace qel {

// True when the handler process was started.
bool open_url(std::string_view url);

}  // namespace qel
