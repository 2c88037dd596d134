// The Send To shortcut: a Shell Link file written byte by byte, and its install/uninstall.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "common/result.h"

namespace qel {

// APPDATA joined with Microsoft, Windows, SendTo and Dropvale.lnk.
Result<std::filesystem::path> send_to_shortcut_path();

// The complete .lnk file that starts `target` with the argument "sendto".
std::string build_send_to_shortcut(std::string_view target, std::string_view working_folder);

// Count of UTF-16 code units (16-bit, little-endian), then the units; no terminator.
std::string lnk_string(std::string_view text);
// UTF-16LE code units of a UTF-8 text, no terminator.
std::string utf16le_bytes(std::string_view text);
// One byte per code point ("?" for anything outside ASCII), then a zero byte.
std::string ansi_path_bytes(std::string_view text);

Status install_send_to();
Status uninstall_send_to();

}  // namespace qel
