#pragma once
// Stored names are UTF-8. The loader runs with UTF-8 as its active code page,
// so Windows turns the bytes of a name into the file's name by the UTF-8
// rules; a name that is not valid UTF-8 (one written in a legacy code page)
// has its stray bytes replaced by U+FFFD.

#include <string_view>

namespace ldr {

// True when the bytes are well-formed UTF-8: no stray continuation bytes, no
// truncated or overlong sequences, no surrogates (U+D800 to U+DFFF) and
// nothing above U+10FFFF. These are exactly the texts Windows converts to
// UTF-16 without loss.
bool IsValidUtf8(std::string_view text);

}  // namespace ldr
