#pragma once
// The one little-endian codec of every byte layout: kit records, PE headers,
// resources, version information, icons and bitmaps. Values are put
// together byte by byte, so the host's own byte order never matters.
//
// The Get and Put functions work at a place the caller has checked;
// ByteReader checks the place itself and reports a read that would leave its
// bytes instead of making it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace ldr {

inline uint8_t GetU8(const unsigned char* p) { return p[0]; }

inline uint16_t GetU16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t GetU64(const unsigned char* p) {
  return static_cast<uint64_t>(GetU32(p)) | static_cast<uint64_t>(GetU32(p + 4)) << 32;
}

inline void PutU8(unsigned char* p, uint8_t value) { p[0] = value; }

inline void PutU16(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

inline void PutU32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void PutU64(unsigned char* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Signed 32-bit values in two's complement, and IEEE 754 doubles: the bits
// reinterpreted through memcpy, never through a cast.
inline int32_t GetInt32(const unsigned char* p) {
  const uint32_t bits = GetU32(p);
  int32_t out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

inline void PutInt32(unsigned char* p, int32_t value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(p, bits);
}

inline double GetDouble(const unsigned char* p) {
  const uint64_t bits = GetU64(p);
  double out;
  std::memcpy(&out, &bits, sizeof out);
  return out;
}

inline void PutDouble(unsigned char* p, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU64(p, bits);
}

// True when [offset, offset + length) lies inside `size` bytes; 64-bit
// arithmetic that cannot wrap.
inline bool RangeInside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

// Reads from a span of bytes, each checked against its end: a read that
// would leave the span gives nothing. The bytes stay the caller's.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  bool Has(uint64_t offset, uint64_t length) const { return RangeInside(offset, length, size_); }
  // The first byte of [offset, offset + length), or null when the range
  // does not lie inside.
  const unsigned char* At(uint64_t offset, uint64_t length) const {
    return Has(offset, length) ? data_ + offset : nullptr;
  }

  std::optional<uint8_t> U8(uint64_t offset) const { return Get<uint8_t>(offset, 1, GetU8); }
  std::optional<uint16_t> U16(uint64_t offset) const { return Get<uint16_t>(offset, 2, GetU16); }
  std::optional<uint32_t> U32(uint64_t offset) const { return Get<uint32_t>(offset, 4, GetU32); }
  std::optional<uint64_t> U64(uint64_t offset) const { return Get<uint64_t>(offset, 8, GetU64); }

 private:
  template <typename T>
  std::optional<T> Get(uint64_t offset, uint64_t length, T (*get)(const unsigned char*)) const {
    const unsigned char* p = At(offset, length);
    if (!p) return std::nullopt;
    return get(p);
  }

  const unsigned char* data_;
  size_t size_;
};

}  // namespace ldr
