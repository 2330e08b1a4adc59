#include "base/text.h"

#include <cstring>

namespace ldr {

bool TextBuffer::Append(std::string_view text) {
  const size_t room = capacity_ - size_;
  const size_t n = text.size() <= room ? text.size() : room;
  if (n != 0) std::memcpy(data_ + size_, text.data(), n);
  size_ += n;
  data_[size_] = '\0';
  if (n == text.size()) return true;
  cut_ = true;
  return false;
}

bool TextBuffer::Append(char c) {
  if (size_ == capacity_) {
    cut_ = true;
    return false;
  }
  data_[size_++] = c;
  data_[size_] = '\0';
  return true;
}

bool TextBuffer::AppendCharacters(std::string_view text, LeadByteTest is_lead_byte) {
  const size_t room = capacity_ - size_;
  if (text.size() <= room || is_lead_byte == nullptr) return Append(text);
  // Whole characters only: walk from the start, where a character begins.
  size_t keep = 0;
  for (;;) {
    const size_t width = is_lead_byte(static_cast<unsigned char>(text[keep])) ? 2 : 1;
    if (keep + width > room) break;
    keep += width;
  }
  Append(text.substr(0, keep));
  cut_ = true;
  return false;
}

void TextBuffer::Truncate(size_t n) {
  if (n >= size_) return;
  size_ = n;
  data_[size_] = '\0';
}

}  // namespace ldr
