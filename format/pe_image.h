#pragma once
// Where the trailer of a kit lies, and the few PE header fields that place an
// Authenticode signature. Shared by the loader, kitpack and the reference
// installer so that the rule is written down once.
//
// A signing tool appends its certificate table to the end of an executable,
// after zero bytes (at most 7) that align the table to 8 bytes, and names the
// table in the security entry (number 4) of the optional header's data
// directories. Unlike the other entries it holds a file offset, not an
// address. Data appended before signing (a kit's archives and trailer) then
// lies before the table, where the signature covers it.
//
// Every field taken from the headers is checked against the file's size in
// 64-bit arithmetic; anything odd leaves the plain rule, the last 56 bytes.

#include <cstddef>
#include <cstdint>

namespace ldr {

// Read access to the bytes of one file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads exactly size bytes at offset. False when they cannot all be read.
  virtual bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) = 0;
};

// A file held in memory.
class MemoryByteSource final : public ByteSource {
 public:
  MemoryByteSource(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(uint64_t offset, unsigned char* buffer, size_t size) override;

 private:
  const unsigned char* data_;
  size_t size_;
};

// True when [offset, offset + length) lies inside a file of file_size bytes.
inline bool RangeInside(uint64_t offset, uint64_t length, uint64_t file_size) {
  return offset <= file_size && length <= file_size - offset;
}

inline constexpr uint64_t kMaxCertificatePadding = 7;
// A certificate table holds at least one WIN_CERTIFICATE header.
inline constexpr uint64_t kMinCertificateTable = 8;

// The security entry of a PE32 or PE32+ image.
struct PeSecurityEntry {
  // The file is a PE image whose optional header reaches data directory 4:
  // "MZ", e_lfanew, "PE\0\0", a PE32 or PE32+ magic, SizeOfOptionalHeader
  // and NumberOfRvaAndSizes covering entry 4, all inside the file.
  bool found = false;
  bool pe32_plus = false;
  uint64_t checksum_offset = 0;  // the optional header's CheckSum, 4 bytes
  uint64_t entry_offset = 0;     // data directory 4, 8 bytes
  uint32_t table_offset = 0;     // the entry's two fields
  uint32_t table_size = 0;

  // The entry names a table: both of its fields are non-zero.
  bool NamesTable() const { return found && table_offset != 0 && table_size != 0; }
};

PeSecurityEntry ReadPeSecurityEntry(ByteSource& file, uint64_t file_size);

// Where the 56-byte trailer of a file lies.
//
// When the file is a PE image whose security entry names a certificate
// table of at least 8 bytes that ends exactly at the end of the file, with
// room for a trailer before it, the trailer is the 56 bytes that end where
// the table begins, or up to 7 zero bytes earlier: the first of those eight
// places (nearest the table first) whose bytes carry the self-extracting
// mark and are followed by nothing but zero bytes up to the table. When none
// carries the mark, it is the 56 bytes right before the table. In every
// other case the trailer is the file's last 56 bytes.
struct TrailerLocation {
  // Offset of the trailer's first byte; file size - 56 under the plain rule,
  // negative when the file is shorter than a trailer.
  int64_t offset = -1;
  bool before_certificates = false;  // placed by the certificate table
  uint64_t certificate_offset = 0;   // only with before_certificates
  uint64_t certificate_size = 0;
  uint64_t padding = 0;  // zero bytes between trailer and table
};

TrailerLocation LocateTrailer(ByteSource& file, uint64_t file_size);

}  // namespace ldr
