// Opening paths longer than the system's path length limit (POSIX platform files only).
#pragma once

#include <string>

namespace qel::platform::posix {

// open(2) for `path` with `flags` (O_CLOEXEC added). A path of PATH_MAX bytes or more is
// resolved in pieces below the limit, each opened relative to the folder before it, so it
// resolves as the whole path would. Returns the descriptor, or -1 with errno set.
int open_path(const std::string& path, int flags);

}  // namespace qel::platform::posix
