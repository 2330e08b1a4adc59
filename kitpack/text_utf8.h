#pragma once
// UTF-8 text as kitpack meets it: stored names and the texts of a version
// resource. No operating-system calls.

#include <cstddef>
#include <optional>
#include <string>

namespace kitpack {

// UTF-16 of well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF), or nothing.
std::optional<std::u16string> Utf16FromUtf8(const std::string& text);
// UTF-8 of UTF-16; an unpaired surrogate becomes U+FFFD.
std::string Utf8FromUtf16(const std::u16string& text);
bool IsUtf8(const std::string& text);

// Columns a name takes on a terminal: as text_width.h counts them when it is
// UTF-8, else its bytes (a legacy code page, one byte a character).
size_t DisplayWidth(const std::string& text);
// The text followed by blanks up to `width` columns.
std::string PadRight(const std::string& text, size_t width);

}  // namespace kitpack
