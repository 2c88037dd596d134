#include "platform/windows_rules.h"

namespace qel::platform {

std::string windows_command_line(const std::vector<std::string>& args) {
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i > 0) line += ' ';
    const bool quote = arg.empty() || arg.find_first_of(" \t") != std::string::npos;
    if (quote) line += '"';
    std::size_t backslashes = 0;
    for (const char ch : arg) {
      if (ch == '\\') {
        ++backslashes;
        continue;
      }
      if (ch == '"') {
        // Backslashes right before a quote are doubled, and the quote itself escaped.
        line.append(backslashes * 2 + 1, '\\');
      } else {
        line.append(backslashes, '\\');
      }
      backslashes = 0;
      line += ch;
    }
    // Before the closing quote, trailing backslashes are doubled so it stays a quote.
    line.append(quote ? backslashes * 2 : backslashes, '\\');
    if (quote) line += '"';
  }
  return line;
}

std::string_view strip_verbatim_prefix(std::string_view path_text) {
  constexpr std::string_view VERBATIM_PREFIX = "\\\\?\\";
  if (path_text.starts_with(VERBATIM_PREFIX)) path_text.remove_prefix(VERBATIM_PREFIX.size());
  return path_text;
}

bool console_is_own(std::uint32_t attached_processes) { return attached_processes == 1; }

bool is_link_reparse_point(std::uint32_t attributes, std::uint32_t reparse_tag) {
  constexpr std::uint32_t REPARSE_POINT = 0x400;      // FILE_ATTRIBUTE_REPARSE_POINT
  constexpr std::uint32_t NAME_SURROGATE = 1u << 29;  // IsReparseTagNameSurrogate
  return (attributes & REPARSE_POINT) != 0 && (reparse_tag & NAME_SURROGATE) != 0;
}

bool is_msys_pty_pipe_name(std::u16string_view name) {
  const auto skip = [&name](std::u16string_view prefix) {
    if (!name.starts_with(prefix)) return false;
    name.remove_prefix(prefix.size());
    return true;
  };
  // At least one character of the class, all of them consumed.
  const auto skip_run = [&name](auto in_class) {
    std::size_t n = 0;
    while (n < name.size() && in_class(name[n])) ++n;
    name.remove_prefix(n);
    return n > 0;
  };
  const auto is_digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  const auto is_hex = [&is_digit](char16_t c) {
    return is_digit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
  };
  if (!skip(u"\\msys-") && !skip(u"\\cygwin-")) return false;
  if (!skip_run(is_hex) || !skip(u"-pty") || !skip_run(is_digit) || !skip(u"-")) return false;
  return skip(u"from-master") || skip(u"to-master");
}

bool delete_needs_readonly_override(std::uint32_t windows_error) {
  constexpr std::uint32_t ACCESS_DENIED = 5;  // ERROR_ACCESS_DENIED
  return windows_error == ACCESS_DENIED;
}

}  // namespace qel::platform
