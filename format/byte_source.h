#pragma once
// Random access to the bytes of one file, for readers that need only some
// of them: the headers of a PE image, its resource tree, a kit's trailer.
// The loader reads its own file through this, kitpack its inputs and kits,
// the tests memory; each reader asks for the few ranges it decodes.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/bytes.h"

namespace ldr {

// Read access to the bytes of one file.
class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;
  // Reads exactly size bytes at offset. False when they cannot all be read.
  virtual bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) = 0;
};

// A file held in memory; the bytes stay the caller's.
class MemoryByteSource final : public ByteSource {
 public:
  MemoryByteSource(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override;

 private:
  const unsigned char* data_;
  size_t size_;
};

// Reads from the window [base, base + size) of a source, offsets counted
// from base. A read that would leave the window fails without asking the
// source, so a reader never goes past what the caller knows is there.
class SourceReader {
 public:
  SourceReader(ByteSource& source, uint64_t base, uint64_t size)
      : source_(source), base_(base), size_(size) {}

  uint64_t base() const { return base_; }
  uint64_t size() const { return size_; }
  bool Has(uint64_t offset, uint64_t length) const { return RangeInside(offset, length, size_); }
  bool Read(uint64_t offset, unsigned char* buffer, uint64_t length) const {
    return Has(offset, length) &&
           source_.ReadAt(base_ + offset, buffer, static_cast<size_t>(length));
  }
  std::optional<uint16_t> U16(uint64_t offset) const {
    unsigned char b[2];
    if (!Read(offset, b, sizeof b)) return std::nullopt;
    return GetU16(b);
  }
  std::optional<uint32_t> U32(uint64_t offset) const {
    unsigned char b[4];
    if (!Read(offset, b, sizeof b)) return std::nullopt;
    return GetU32(b);
  }

 private:
  ByteSource& source_;
  uint64_t base_;
  uint64_t size_;
};

}  // namespace ldr
