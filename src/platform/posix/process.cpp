// Placeholder until child processes land.
#include "platform/platform.h"

namespace qel::platform {

std::optional<std::string> run_capture(const Command&) { return std::nullopt; }
std::optional<int> run_with_input(const Command&, std::string_view) { return std::nullopt; }
bool spawn_detached(const Command&) { return false; }
Command url_opener() { return {"xdg-open", {}}; }

}  // namespace qel::platform
