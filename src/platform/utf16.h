// UTF-16 and the 8-bit text forms the program uses. Windows names are UTF-16 that need not
// be valid (an unpaired surrogate is a legal file name), so the lossless text form of such a
// name is WTF-8: UTF-8 in which an unpaired surrogate stands as the three bytes of its code
// point.
#pragma once

#include <string>
#include <string_view>

namespace qel::platform {

// The UTF-16 code units of a WTF-8 text; bytes that form no code point become U+FFFD.
// The three-byte forms of a high and a low surrogate in a row give the pair they name.
std::u16string utf16_from_wtf8(std::string_view text);

// WTF-8 of UTF-16 code units: pairs as one four-byte code point, unpaired surrogates as
// their three-byte forms. Lossless: utf16_from_wtf8 gives the units back.
std::string wtf8_from_utf16(std::u16string_view units);

// UTF-8 of UTF-16 code units with every unpaired surrogate replaced by U+FFFD.
std::string utf8_from_utf16_lossy(std::u16string_view units);

}  // namespace qel::platform
