#include "format/shown_name.h"

#include "format/utf8.h"

namespace ldr {
namespace {

void AppendEscaped(std::string& out, unsigned char byte) {
  static const char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

}  // namespace

std::string ShownName(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8Char c = DecodeUtf8(text, i);
    const bool control = c.code_point < 0x20 || (c.code_point >= 0x7F && c.code_point < 0xA0);
    if (c.length == 0) {
      AppendEscaped(out, static_cast<unsigned char>(text[i++]));
    } else if (control) {
      for (size_t k = 0; k < c.length; ++k)
        AppendEscaped(out, static_cast<unsigned char>(text[i + k]));
      i += c.length;
    } else {
      out.append(text.substr(i, c.length));
      i += c.length;
    }
  }
  return out;
}

std::string ShownName(std::u16string_view text) { return ShownName(Utf8FromUtf16(text)); }

size_t DisplayWidth(std::string_view text) {
  if (!IsValidUtf8(text)) return text.size();
  size_t n = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::string PadRight(std::string_view text, size_t width) {
  std::string out(text);
  const size_t shown = DisplayWidth(text);
  if (shown < width) out.append(width - shown, ' ');
  return out;
}

}  // namespace ldr
