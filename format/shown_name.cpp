#include "format/shown_name.h"

#include "format/text_width.h"

#include "format/utf8.h"

namespace ldr {
std::string ShownName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  ForEachShownPiece(
      text,
      [](void* context, std::string_view piece) {
        static_cast<std::string*>(context)->append(piece);
      },
      &out);
  return out;
}

std::string ShownName(std::u16string_view text) { return ShownName(Utf8FromUtf16(text)); }

size_t DisplayWidth(std::string_view text) {
  return IsValidUtf8(text) ? Utf8Columns(text) : text.size();
}

std::string PadRight(std::string_view text, size_t width) {
  std::string out(text);
  const size_t shown = DisplayWidth(text);
  if (shown < width) out.append(width - shown, ' ');
  return out;
}

}  // namespace ldr
