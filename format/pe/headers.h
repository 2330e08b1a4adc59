#pragma once
// The headers of a Windows PE image: the DOS header's pointer, the "PE\0\0"
// signature, the file header and the optional header with its data
// directories, read through a ByteSource without the rest of the file. The
// loader reads its own security entry here; kitpack everything else it
// changes in an image. Every field is checked against the file's size in
// 64-bit arithmetic: a damaged or hostile file only yields "not a PE image".

#include <cstdint>
#include <optional>

#include "format/byte_source.h"

namespace ldr {

inline constexpr uint32_t kPeMaxSections = 96;  // the Windows loader's own limit
inline constexpr uint64_t kPeSectionHeaderSize = 40;
inline constexpr uint64_t kPeDirectorySize = 8;
inline constexpr uint32_t kPeMaxDirectories = 16;
inline constexpr uint32_t kPeResourceDirectory = 2;  // index among the data directories
inline constexpr uint32_t kPeSecurityDirectory = 4;

// One data directory: an address and a size (the security entry's address
// is a file offset).
struct PeDirectory {
  uint32_t address = 0;
  uint32_t size = 0;
};

struct PeHeaders {
  bool pe32_plus = false;
  uint16_t machine = 0;
  uint16_t subsystem = 0;
  uint16_t characteristics = 0;  // of the file header
  uint32_t section_count = 0;
  uint32_t optional_size = 0;  // SizeOfOptionalHeader
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_headers = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_initialized_data = 0;
  // NumberOfRvaAndSizes, as far as SizeOfOptionalHeader has room for them.
  uint32_t directory_count = 0;
  // Of those, the first ones (at most 16) that lie inside the file.
  uint32_t directories_read = 0;
  PeDirectory directories[kPeMaxDirectories] = {};
  // Offsets of fields in the file, for writers that change them in place.
  uint64_t optional_offset = 0;
  uint64_t section_count_offset = 0;  // the file header's NumberOfSections, 2 bytes
  uint64_t initialized_data_offset = 0;
  uint64_t size_of_image_offset = 0;
  uint64_t checksum_offset = 0;     // CheckSum, 4 bytes
  uint64_t directories_offset = 0;  // data directory 0; each is 8 bytes
  uint64_t section_table_offset = 0;

  // Data directory `index`, or nothing when it was not read.
  std::optional<PeDirectory> Directory(uint32_t index) const {
    if (index >= directories_read) return std::nullopt;
    return directories[index];
  }
  uint64_t DirectoryOffset(uint32_t index) const {
    return directories_offset + uint64_t{index} * kPeDirectorySize;
  }
};

inline constexpr uint64_t kPeDosHeaderSize = 64;
inline constexpr uint64_t kPeNewHeaderField = 0x3C;  // e_lfanew

// A DOS header ("MZ"), and the signature "PE\0\0" its e_lfanew points at.
inline bool IsDosHeader(const unsigned char* p) { return p[0] == 'M' && p[1] == 'Z'; }
inline bool IsPeSignature(const unsigned char* p) {
  return p[0] == 'P' && p[1] == 'E' && p[2] == 0 && p[3] == 0;
}

// Where "PE\0\0" lies, when the file starts with a 64-byte DOS header that
// points at that signature inside the file.
std::optional<uint64_t> PeSignatureOffset(ByteSource& file, uint64_t file_size);

// Reads the headers of the PE32 or PE32+ image into `headers`; false when it
// is not one: a DOS header, the signature, a known optional-header magic and
// an optional header that declares and holds its fixed part (everything
// before the directories). The directories are read as far as the header and
// the file hold them.
bool ReadPeHeaders(ByteSource& file, uint64_t file_size, PeHeaders& headers);

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

}  // namespace ldr
