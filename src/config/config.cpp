#include "config/config.h"

namespace qel {
std::optional<std::filesystem::path> config_path() { return std::nullopt; }
Config load_config() { return {}; }
Result<std::filesystem::path> save_config(const Config&) { return fail("not available yet"); }
std::optional<std::string> resolve_api_key(const Config& c) { return c.api_key; }
std::string resolve_api_url(const Config&) { return std::string(DEFAULT_API_URL); }
}  // namespace qel
