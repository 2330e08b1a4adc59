#pragma once
// A text that came from outside (a stored name, a version text, a path) as a
// terminal may show it. Whatever bytes a kit holds, the shown text cannot
// move the cursor, clear a line, ring the bell or hide another entry, and
// the letters of any script stay as they are. No operating-system calls.

#include <cstddef>
#include <string>
#include <string_view>

namespace ldr {

// The text with every byte a terminal could obey, or could not show as a
// character, written as \xNN (two upper-case hexadecimal digits): control
// characters (below 0x20, and 0x7F), C1 controls (U+0080 to U+009F, so
// both bytes of C2 80..C2 9F) and each byte that is not part of a
// well-formed UTF-8 sequence (format/utf8.h). Everything else, the
// backslash included, stays as it is. The result is well-formed UTF-8, and
// showing it again changes nothing. kitpack's listing, its warnings and its
// error messages all show names this way: tests and users read these
// escapes, so they stay byte for byte.
std::string ShownName(std::string_view text);
// The same, handed over piece by piece for a writer without a heap (the
// loader's log): put(context, piece) for each run of bytes kept as they are
// and for each escape.
void ForEachShownPiece(std::string_view text, void (*put)(void*, std::string_view), void* context);
// The same for UTF-16 text (the names of resources); an unpaired surrogate
// is shown as U+FFFD.
std::string ShownName(std::u16string_view text);

// Columns a text takes on a terminal: its characters when it is UTF-8,
// else its bytes (a legacy code page, one byte a character).
size_t DisplayWidth(std::string_view text);
// The text followed by blanks up to `width` columns.
std::string PadRight(std::string_view text, size_t width);

}  // namespace ldr
