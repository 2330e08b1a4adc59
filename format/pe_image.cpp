#include "format/pe_image.h"

#include <cstring>

#include "format/records.h"

namespace ldr {

namespace {

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kNewHeaderField = 0x3C;  // e_lfanew
constexpr uint64_t kSignatureAndFileHeader = 4 + 20;
constexpr uint64_t kOptionalSizeField = 4 + 16;  // SizeOfOptionalHeader, from the signature
constexpr uint32_t kPe32Magic = 0x10B;
constexpr uint32_t kPe32PlusMagic = 0x20B;
// Offsets inside the optional header.
constexpr uint64_t kChecksumField = 64;
constexpr uint64_t kPe32Directories = 96;
constexpr uint64_t kPe32PlusDirectories = 112;
constexpr uint64_t kDirectorySize = 8;
constexpr uint64_t kSecurityDirectory = 4;

uint32_t U16(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool Read(ByteSource& file, uint64_t file_size, uint64_t offset, unsigned char* buffer,
          uint64_t size) {
  return RangeInside(offset, size, file_size) &&
         file.ReadAt(offset, buffer, static_cast<size_t>(size));
}

}  // namespace

bool MemoryByteSource::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  if (!RangeInside(offset, size, size_)) return false;
  if (size != 0) std::memcpy(buffer, data_ + offset, size);
  return true;
}

PeSecurityEntry ReadPeSecurityEntry(ByteSource& file, uint64_t file_size) {
  PeSecurityEntry entry;
  unsigned char dos[kDosHeaderSize];
  if (!Read(file, file_size, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return entry;

  const uint64_t nt = U32(dos + kNewHeaderField);
  unsigned char head[kSignatureAndFileHeader + 2];  // with the optional header's magic
  if (!Read(file, file_size, nt, head, sizeof head)) return entry;
  if (head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) return entry;
  const uint64_t optional_size = U16(head + kOptionalSizeField);
  const uint32_t magic = U16(head + kSignatureAndFileHeader);
  uint64_t directories;
  if (magic == kPe32Magic) {
    directories = kPe32Directories;
  } else if (magic == kPe32PlusMagic) {
    directories = kPe32PlusDirectories;
  } else {
    return entry;
  }
  // The header must declare and hold everything up to the end of entry 4.
  const uint64_t needed = directories + (kSecurityDirectory + 1) * kDirectorySize;
  if (optional_size < needed) return entry;
  const uint64_t optional = nt + kSignatureAndFileHeader;
  unsigned char header[kPe32PlusDirectories + (kSecurityDirectory + 1) * kDirectorySize];
  if (!Read(file, file_size, optional, header, needed)) return entry;
  const uint32_t directory_count = U32(header + directories - 4);  // NumberOfRvaAndSizes
  if (directory_count <= kSecurityDirectory) return entry;

  const uint64_t at = directories + kSecurityDirectory * kDirectorySize;
  entry.found = true;
  entry.pe32_plus = magic == kPe32PlusMagic;
  entry.checksum_offset = optional + kChecksumField;
  entry.entry_offset = optional + at;
  entry.table_offset = U32(header + at);
  entry.table_size = U32(header + at + 4);
  return entry;
}

TrailerLocation LocateTrailer(ByteSource& file, uint64_t file_size) {
  TrailerLocation plain;
  if (file_size >= kTrailerSize) plain.offset = static_cast<int64_t>(file_size - kTrailerSize);

  const PeSecurityEntry pe = ReadPeSecurityEntry(file, file_size);
  if (!pe.NamesTable()) return plain;
  const uint64_t table = pe.table_offset;
  const uint64_t table_end = table + pe.table_size;  // both 32-bit: no wrap in 64 bits
  if (table_end != file_size || pe.table_size < kMinCertificateTable || table < kTrailerSize)
    return plain;

  // The bytes before the table: a trailer and at most 7 bytes of padding.
  unsigned char before[kTrailerSize + kMaxCertificatePadding];
  const uint64_t room = table < sizeof before ? table : sizeof before;
  if (!Read(file, file_size, table - room, before, room)) return plain;

  TrailerLocation found;
  found.before_certificates = true;
  found.certificate_offset = table;
  found.certificate_size = pe.table_size;
  found.offset = static_cast<int64_t>(table - kTrailerSize);
  for (uint64_t padding = 0; padding <= kMaxCertificatePadding && padding + kTrailerSize <= room;
       ++padding) {
    if (padding > 0 && before[room - padding] != 0) break;  // padding is zero bytes only
    unsigned char record[kTrailerSize];
    std::memcpy(record, before + (room - padding - kTrailerSize), kTrailerSize);
    if (IsSelfExtracting(DecodeTrailer(record))) {
      found.offset = static_cast<int64_t>(table - padding - kTrailerSize);
      found.padding = padding;
      return found;
    }
  }
  return found;
}

}  // namespace ldr
