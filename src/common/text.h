// Text helpers over UTF-8 strings: validity, lossy repair, Unicode white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

bool is_valid_utf8(std::string_view bytes);

// Replaces every ill-formed sequence by U+FFFD (one per maximal invalid subpart).
std::string utf8_lossy(std::string_view bytes);

// Text that came from the service or the file system, made fit for a terminal: every
// control character but line feed and tab (C0, DEL and C1) and every ill-formed sequence
// becomes U+FFFD, so that such text cannot move the cursor, clear the screen, set a window
// title or colour what follows. The program's own control output does not go through it.
std::string terminal_text(std::string_view text);

// True for the code points with the Unicode White_Space property.
bool is_unicode_space(char32_t c);

// Removes Unicode white space at both ends of a valid UTF-8 text.
std::string_view trim_unicode(std::string_view text);

// A-Z to a-z; every other byte unchanged.
std::string ascii_lower(std::string_view text);

// Number of code points of a valid UTF-8 text.
std::size_t utf8_length(std::string_view text);

// The first `count` code points of a valid UTF-8 text (all of it when shorter).
std::string_view utf8_prefix(std::string_view text, std::size_t count);

// Pads with blanks to `width` code points; a longer text is returned whole.
std::string pad_right(std::string_view text, std::size_t width);
std::string pad_left(std::string_view text, std::size_t width);

// Appends the UTF-8 form of one code point (surrogates too, as three bytes).
void append_utf8(std::string& out, char32_t c);

// Parses an unsigned decimal with an optional leading "+"; false on anything else or overflow.
bool parse_u64(std::string_view text, std::uint64_t& out);

}  // namespace qel
