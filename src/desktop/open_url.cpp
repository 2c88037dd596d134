#include "desktop/open_url.h"

#include "platform/platform.h"

namespace qel {

bool open_url(std::string_view url) {
  // No command line or argument vector can carry a NUL.
  if (url.find('\0') != std::string_view::npos) return false;
  platform::Command command = platform::url_opener();
  command.args.emplace_back(url);
  return platform::spawn_detached(command);
}

}  // namespace qel
