// The Send To shortcut: a Shell Link file written byte by byte, and its install/uninstall.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/result.h"

namespace qel {

Result<std::filesystem::path> send_to_shortcut_path();
std::string build_send_to_shortcut(std::string_view target, std::string_view working_folder);
std::string lnk_string(std::string_view text);
std::string utf16le_bytes(std::string_view text);
std::string ansi_path_bytes(std::string_view text);

Status install_send_to();
Status uninstall_send_to();

}  // namespace qel
