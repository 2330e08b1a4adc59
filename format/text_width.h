#pragma once
// How many terminal columns a text takes: most characters one, East Asian
// wide and fullwidth ones (CJK ideographs, kana, Hangul, fullwidth forms,
// most emoji) two, combining marks and zero-width characters none. What
// terminals do, after Unicode's East Asian Width property, for the ranges
// that matter in file names.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ldr {

// 0, 1 or 2 for one code point.
int CodePointColumns(uint32_t code_point);
// The columns of well-formed UTF-8 text (the caller checks it is).
size_t Utf8Columns(std::string_view text);

}  // namespace ldr
