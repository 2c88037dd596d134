// Placeholder until the desktop pieces land.
#include "platform/platform.h"

namespace qel::platform {

Result<fs::path> executable_path() { return fail("not available yet"); }
bool ui_language_is_romanian() { return false; }
std::vector<Command> clipboard_commands() { return {}; }

}  // namespace qel::platform
