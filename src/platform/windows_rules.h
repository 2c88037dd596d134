// Windows conventions that are plain rules over text and numbers. They are portable, so
// both builds compile and test them; the Windows implementation calls them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qel::platform {

// Joins arguments into one command line by the convention CommandLineToArgvW parses.
std::string windows_command_line(const std::vector<std::string>& args);

// A path text without the verbatim prefix "\\?\" (exactly those four characters).
std::string_view strip_verbatim_prefix(std::string_view path_text);

// GetConsoleProcessList's count: the console is the program's own only when it alone is
// attached; 0 (a failed call) and 2 or more mean a console shared with a shell.
bool console_is_own(std::uint32_t attached_processes);

// A listing entry is a link (symbolic link or junction) when it is a reparse point whose
// tag has the name-surrogate bit; other reparse points are ordinary entries.
bool is_link_reparse_point(std::uint32_t attributes, std::uint32_t reparse_tag);

// The name GetFileInformationByHandleEx gives a pipe that an MSYS or Cygwin terminal hands
// its programs as a standard stream: \msys-<hex>-pty<N>-to-master or -from-master, possibly
// followed by more, or the same with \cygwin- in front. Such a pipe stands for a terminal.
bool is_msys_pty_pipe_name(std::u16string_view name);

// A plain delete refused with this Windows error is tried again with the read-only
// attribute ignored.
bool delete_needs_readonly_override(std::uint32_t windows_error);

}  // namespace qel::platform
