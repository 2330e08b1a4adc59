#pragma once
// The headers and section table of a Windows PE image, read from its bytes:
// where each field lies in the file, so that a writer can change them in
// place. Every read is bounds-checked in 64-bit arithmetic; a damaged or
// hostile file only yields "not a PE image". No operating-system calls.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ldr {

inline constexpr uint32_t kPeMaxSections = 96;  // the Windows loader's own limit
inline constexpr uint64_t kPeSectionHeaderSize = 40;
inline constexpr uint32_t kPeResourceDirectory = 2;  // index among the data directories
inline constexpr uint32_t kPeSecurityDirectory = 4;
inline constexpr uint32_t kPeScnInitializedData = 0x00000040;

// One entry of the section table.
struct PeSection {
  std::array<unsigned char, 8> name{};
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
  uint32_t characteristics = 0;
  uint64_t header_offset = 0;  // where this entry lies in the file
};

struct PeLayout {
  bool pe32_plus = false;
  uint16_t machine = 0;
  uint16_t subsystem = 0;
  uint16_t characteristics = 0;  // of the COFF header
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_headers = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_initialized_data = 0;
  uint32_t directory_count = 0;  // NumberOfRvaAndSizes, as far as the header holds them
  // Offsets of fields in the file.
  uint64_t section_count_offset = 0;  // COFF NumberOfSections, 2 bytes
  uint64_t initialized_data_offset = 0;
  uint64_t size_of_image_offset = 0;
  uint64_t checksum_offset = 0;
  uint64_t directories_offset = 0;  // data directory 0; each is 8 bytes
  uint64_t section_table_offset = 0;
  std::vector<PeSection> sections;

  // Data directory `index` (address, size), or nothing when the header does
  // not reach it.
  std::optional<std::array<uint32_t, 2>> Directory(const unsigned char* data, uint32_t index) const;
  // The section whose virtual range holds `rva`, or nothing.
  const PeSection* SectionAt(uint32_t rva) const;
  // The file offset of `length` bytes at `rva`, when they all lie in the
  // file data of the section that holds `rva`.
  std::optional<uint64_t> FileOffset(uint32_t rva, uint64_t length) const;
};

// The layout of the PE32 or PE32+ image in `data`, or nothing when it is not
// one: "MZ", e_lfanew, "PE\0\0", a known optional-header magic, a section
// table inside the file. The alignments are as the header gives them.
std::optional<PeLayout> ReadPeLayout(const unsigned char* data, size_t size);

// The optional header's CheckSum for an image: the sum of its 16-bit words
// (the CheckSum field counted as zero) folded to 16 bits, plus its length.
uint32_t PeChecksum(const unsigned char* data, size_t size, uint64_t checksum_offset);

// Little-endian reads and writes at a file offset the caller has checked.
uint32_t PeGet16(const unsigned char* p);
uint32_t PeGet32(const unsigned char* p);
void PePut16(unsigned char* p, uint32_t value);
void PePut32(unsigned char* p, uint32_t value);

}  // namespace ldr
