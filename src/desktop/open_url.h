// Hands a URL to the system's default handler without waiting for it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qel {

// True when the handler process was started.
bool open_url(std::string_view url);

// Joins arguments into one command line by the convention CommandLineToArgvW parses.
std::string windows_command_line(const std::vector<std::string>& args);

}  // namespace qel
