#include "format/shown_name.h"
#include "format/utf8.h"

namespace ldr {

void ForEachShownPiece(std::string_view text, void (*put)(void*, std::string_view), void* context) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t kept = 0;  // the start of the bytes kept as they are, not yet handed over
  for (size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8(text, i);
    const bool control = c.code_point < 0x20 || (c.code_point >= 0x7F && c.code_point < 0xA0);
    if (c.length != 0 && !control) {
      i += c.length;
      continue;
    }
    if (i > kept) put(context, text.substr(kept, i - kept));
    // An invalid byte alone, or every byte of a control character.
    const size_t bytes = c.length == 0 ? 1 : c.length;
    for (size_t k = 0; k < bytes; ++k) {
      const unsigned char byte = static_cast<unsigned char>(text[i + k]);
      const char escape[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
      put(context, std::string_view(escape, 4));
    }
    i += bytes;
    kept = i;
  }
  if (text.size() > kept) put(context, text.substr(kept));
}

}  // namespace ldr
