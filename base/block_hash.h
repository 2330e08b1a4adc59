#pragma once
// What SHA-1 and SHA-256 share (FIPS 180-4): input cut into 64-byte blocks,
// and the padding of the last one, a 1 bit, zero bits and the length in bits
// as a big-endian 64-bit number. The hash's own block function does the rest.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace ldr {

class BlockFeeder {
 public:
  // Hands every complete 64-byte block of the input so far to `block`.
  template <typename Block>
  void Update(const void* data, size_t size, Block block) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    length_ += size;
    if (buffered_ > 0) {
      const size_t n = size < 64 - buffered_ ? size : 64 - buffered_;
      std::memcpy(buffer_.data() + buffered_, p, n);
      buffered_ += n;
      p += n;
      size -= n;
      if (buffered_ < 64) return;
      block(buffer_.data());
      buffered_ = 0;
    }
    for (; size >= 64; p += 64, size -= 64) block(p);
    if (size > 0) std::memcpy(buffer_.data(), p, size);
    buffered_ = size;
  }

  // Pads the input and hands the last block or two to `block`.
  template <typename Block>
  void Finish(Block block) {
    const uint64_t bits = length_ * 8;
    const unsigned char one = 0x80;
    Update(&one, 1, block);
    const unsigned char zero[64] = {};
    Update(zero, buffered_ <= 56 ? 56 - buffered_ : 120 - buffered_, block);
    unsigned char tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Update(tail, 8, block);
  }

 private:
  std::array<unsigned char, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t length_ = 0;  // bytes
};

// Big-endian 32-bit words in and out of the blocks and the digest.
inline uint32_t GetU32BigEndian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

template <size_t N>
std::array<unsigned char, 4 * N> WordsBigEndian(const std::array<uint32_t, N>& words) {
  std::array<unsigned char, 4 * N> out;
  for (size_t i = 0; i < N; ++i)
    for (size_t k = 0; k < 4; ++k)
      out[4 * i + k] = static_cast<unsigned char>(words[i] >> (24 - 8 * k));
  return out;
}

// A digest in lower-case hexadecimal into out, two characters a byte (no
// heap: the loader hands setup.2's digest to the installer so).
inline void DigestHexInto(const unsigned char* digest, size_t size, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 15];
  }
}

// A digest in lower-case hexadecimal.
inline std::string DigestHex(const unsigned char* digest, size_t size) {
  std::string s(2 * size, '0');
  DigestHexInto(digest, size, &s[0]);
  return s;
}

// The digest a text of lower-case hexadecimal digits spells, two a byte;
// false for any other text (another length, another character).
template <size_t N>
bool ParseDigestHex(std::string_view text, std::array<unsigned char, N>* digest) {
  if (text.size() != 2 * N) return false;
  auto value = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (size_t i = 0; i < N; ++i) {
    const int high = value(text[2 * i]), low = value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*digest)[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

inline uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace ldr
