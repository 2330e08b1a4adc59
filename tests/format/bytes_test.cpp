// The byte codec: values in little-endian order whatever the host's, and a
// reader that refuses, rather than makes, a read past its end.

#include "format/bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "format/byte_source.h"

namespace ldr {
namespace {

TEST(Bytes, LittleEndianValuesBothWays) {
  const unsigned char bytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(GetU8(bytes + 7), 0x88u);
  EXPECT_EQ(GetU16(bytes), 0x0201u);
  EXPECT_EQ(GetU32(bytes), 0x04030201u);
  EXPECT_EQ(GetU64(bytes), 0x8807060504030201ull);
  unsigned char out[8] = {};
  PutU64(out, 0x8807060504030201ull);
  EXPECT_EQ(std::vector<unsigned char>(out, out + 8), std::vector<unsigned char>(bytes, bytes + 8));
  PutU32(out, 0xA1B2C3D4u);
  PutU16(out + 4, 0xBEEF);
  PutU8(out + 6, 0x7F);
  EXPECT_EQ(std::vector<unsigned char>(out, out + 8),
            (std::vector<unsigned char>{0xD4, 0xC3, 0xB2, 0xA1, 0xEF, 0xBE, 0x7F, 0x88}));
}

TEST(Bytes, SignedAndDoubleValuesKeepTheirBits) {
  unsigned char out[8] = {};
  for (int32_t v : {0, 1, -1, INT32_MIN, INT32_MAX, -65536}) {
    PutInt32(out, v);
    EXPECT_EQ(GetInt32(out), v);
  }
  PutInt32(out, -2);
  EXPECT_EQ(GetU32(out), 0xFFFFFFFEu);
  // 36018.5 days: 1998-08-11 12:00, as a kit's entry stores it.
  PutDouble(out, 36018.5);
  EXPECT_EQ(GetU64(out), 0x40E1965000000000ull);
  EXPECT_EQ(GetDouble(out), 36018.5);
}

TEST(ByteReader, ReadsUpToItsEndAndNeverPast) {
  const unsigned char data[6] = {1, 2, 3, 4, 5, 6};
  const ByteReader r(data, sizeof data);
  EXPECT_EQ(r.U32(2), 0x06050403u);
  EXPECT_EQ(r.U16(4), 0x0605u);
  EXPECT_EQ(r.U8(5), 6u);
  EXPECT_FALSE(r.U32(3));
  EXPECT_FALSE(r.U16(5));
  EXPECT_FALSE(r.U8(6));
  EXPECT_FALSE(r.U64(0));
  // Offsets near the top of the range must not wrap around to a good one.
  EXPECT_FALSE(r.U16(UINT64_MAX));
  EXPECT_FALSE(r.U32(UINT64_MAX - 2));
  EXPECT_EQ(r.At(6, 0), data + 6);
  EXPECT_EQ(r.At(7, 0), nullptr);
  EXPECT_EQ(r.At(1, UINT64_MAX), nullptr);
  EXPECT_FALSE(ByteReader(nullptr, 0).U8(0));
}

// Counts what reaches the source.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(const std::vector<unsigned char>& data) : data_(data) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override {
    ++reads;
    return MemoryByteSource(data_.data(), data_.size()).ReadAt(offset, buffer, size);
  }
  int reads = 0;

 private:
  const std::vector<unsigned char>& data_;
};

TEST(SourceReader, ReadsInsideItsWindowOnly) {
  const std::vector<unsigned char> file = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  CountingSource source(file);
  const SourceReader window(source, 4, 4);  // bytes 4..7
  EXPECT_EQ(window.U16(0), 0x0504u);
  EXPECT_EQ(window.U32(0), 0x07060504u);
  EXPECT_EQ(source.reads, 2);
  // Bytes 8 and 9 are in the file but not in the window: never asked for.
  EXPECT_FALSE(window.U32(1));
  EXPECT_FALSE(window.U16(UINT64_MAX));
  unsigned char b[4];
  EXPECT_FALSE(window.Read(2, b, 4));
  EXPECT_EQ(source.reads, 2);
  // A window the file does not fill: the source's refusal comes through.
  const SourceReader past(source, 8, 4);
  EXPECT_FALSE(past.U32(0));
  EXPECT_EQ(source.reads, 3);
}

TEST(MemoryByteSource, RefusesReadsOutsideTheBuffer) {
  const unsigned char data[4] = {1, 2, 3, 4};
  MemoryByteSource source(data, sizeof data);
  unsigned char out[4] = {};
  EXPECT_TRUE(source.ReadAt(0, out, 4));
  EXPECT_TRUE(source.ReadAt(4, out, 0));
  EXPECT_FALSE(source.ReadAt(1, out, 4));
  EXPECT_FALSE(source.ReadAt(5, out, 0));
  EXPECT_FALSE(source.ReadAt(UINT64_MAX, out, 2));
  EXPECT_FALSE(source.ReadAt(2, out, SIZE_MAX));
}

}  // namespace
}  // namespace ldr
