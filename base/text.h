#pragma once
// Texts of a fixed capacity, held in the object itself: the loader's paths,
// arguments, messages and command lines, without the heap.
//
// A Text<N> holds up to N bytes and a zero byte after them, so c_str() is
// always valid. Bytes are counted, zero bytes included: a text may hold
// embedded zero bytes (c_str() then ends at the first of them, as the
// system's calls would).
//
// What happens when something does not fit is part of the type:
//   - Append keeps the bytes that fit, drops the rest, returns false and
//     marks the text as cut. The mark stays until Clear or Assign; every
//     operation after a cut still keeps as much as fits.
//   - AppendCharacters does the same but never keeps the first byte of a
//     two-byte character without its second (the lead-byte test says which
//     bytes begin one), so a cut text never ends in a lone lead byte.
// Nothing is ever written beyond the capacity, and nothing is allocated.
//
// The operations are written once, for every capacity, in TextBuffer; Text<N>
// only adds the storage. Texts convert to std::string_view, and to any string
// type built from a pointer and a length (std::string in kitpack and tests).

#include <cstddef>
#include <string_view>
#include <type_traits>

namespace ldr {

// Tells whether a byte begins a two-byte character in the system code page
// (IsDBCSLeadByte). Null stands for a single-byte code page.
using LeadByteTest = bool (*)(unsigned char byte);

class TextBuffer {
 public:
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }
  const char* data() const { return data_; }
  const char* c_str() const { return data_; }
  std::string_view view() const { return std::string_view(data_, size_); }
  operator std::string_view() const { return view(); }
  // Kitpack and tests may take a copy in their own string type.
  template <class String,
            class = std::enable_if_t<std::is_constructible<String, const char*, size_t>::value &&
                                     !std::is_same<String, std::string_view>::value>>
  operator String() const {
    return String(data_, size_);
  }
  char operator[](size_t i) const { return data_[i]; }
  // The last byte; zero for the empty text.
  char back() const { return size_ == 0 ? '\0' : data_[size_ - 1]; }

  // True once something did not fit.
  bool cut() const { return cut_; }

  void Clear() {
    size_ = 0;
    cut_ = false;
    data_[0] = '\0';
  }
  // Clear, then Append.
  bool Assign(std::string_view text) {
    Clear();
    return Append(text);
  }
  bool Append(std::string_view text);
  bool Append(char c);
  bool AppendCharacters(std::string_view text, LeadByteTest is_lead_byte);
  // Keeps the first n bytes (all when n is not smaller than the size).
  void Truncate(size_t n);

 protected:
  TextBuffer(char* data, size_t capacity) : data_(data), capacity_(capacity) {}
  ~TextBuffer() = default;
  void CopyFrom(const TextBuffer& other) {
    Assign(other.view());
    cut_ = other.cut_;
  }

 private:
  char* data_;
  size_t capacity_;
  size_t size_ = 0;
  bool cut_ = false;
};

template <size_t N>
class Text : public TextBuffer {
 public:
  static constexpr size_t kCapacity = N;

  Text() : TextBuffer(storage_, N) { storage_[0] = '\0'; }
  // The text's first N bytes; cut() tells whether that was all of it.
  Text(std::string_view text) : Text() { Append(text); }    // NOLINT: a text is a text
  Text(const char* text) : Text(std::string_view(text)) {}  // NOLINT
  Text(const Text& other) : Text() { CopyFrom(other); }
  Text& operator=(const Text& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }
  Text& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }
  ~Text() = default;

 private:
  char storage_[N + 1];
};

// The text with more appended, in the same capacity (cut, and marked so,
// when it does not fit).
template <size_t N>
Text<N> operator+(const Text<N>& a, std::string_view b) {
  Text<N> result(a);
  result.Append(b);
  return result;
}

inline bool operator==(const TextBuffer& a, std::string_view b) { return a.view() == b; }
inline bool operator==(std::string_view a, const TextBuffer& b) { return a == b.view(); }
inline bool operator==(const TextBuffer& a, const TextBuffer& b) { return a.view() == b.view(); }
inline bool operator!=(const TextBuffer& a, std::string_view b) { return !(a == b); }
inline bool operator!=(std::string_view a, const TextBuffer& b) { return !(a == b); }
inline bool operator!=(const TextBuffer& a, const TextBuffer& b) { return !(a == b); }

}  // namespace ldr
