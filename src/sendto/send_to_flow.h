// The console dialogue behind Explorer's Send To entry and a double-click start.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "config/config.h"

namespace qel {

int send_to_flow(const std::vector<std::filesystem::path>& paths, Config& config);

bool choose_romanian();
std::string percent_encode(std::string_view bytes);

}  // namespace qel
