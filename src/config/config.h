// The saved configuration: one small JSON file with the API key and the API base URL,
// and the rules that pick the key and URL in force from it and the environment.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace qel {

struct Config {
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
};

// A reserved name that never resolves, so a key can never reach a host someone else owns.
inline constexpr std::string_view DEFAULT_API_URL = "https://api.dropvale.example/api/v1";

std::optional<std::filesystem::path> config_path();

// Never fails and never prints: any failure gives the empty Config.
Config load_config();

// Writes the file and yields its path, or one of the writer's error texts.
Result<std::filesystem::path> save_config(const Config& config);

std::optional<std::string> resolve_api_key(const Config& config);
std::string resolve_api_url(const Config& config);

// The file's content, and its reading: exposed for tests.
std::string config_file_bytes(const Config& config);
std::optional<Config> parse_config_text(std::string_view text);

}  // namespace qel
