#pragma once
// Stored names are UTF-8. The loader runs with UTF-8 as its active code page,
// so Windows turns the bytes of a name into the file's name by the UTF-8
// rules; a name that is not valid UTF-8 (one written in a legacy code page)
// has its stray bytes replaced by U+FFFD.
//
// Every UTF-8 rule of the product is decided here, by DecodeUtf8: the
// checks, the conversions and the way a name is shown (format/shown_name.h).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ldr {

// One character read from UTF-8 text: its code point and how many bytes
// it takes, or a length of 0 when the bytes at that place are not a
// well-formed sequence (a stray continuation byte, a sequence cut short or
// overlong, a surrogate, a value above U+10FFFF).
struct Utf8Char {
  char32_t code_point = 0;
  size_t length = 0;
};
// The character starting at byte `at` (which must be inside the text).
Utf8Char DecodeUtf8(std::string_view text, size_t at);

// True when the bytes are well-formed UTF-8. These are exactly the texts
// Windows converts to UTF-16 without loss.
bool IsValidUtf8(std::string_view text);

// UTF-16 of well-formed UTF-8, or nothing.
std::optional<std::u16string> Utf16FromUtf8(std::string_view text);
// UTF-8 of UTF-16; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);

}  // namespace ldr
