#pragma once
// The section table of a Windows PE image on top of its headers: where each
// section's data lies in the file and in memory, so that a reader can find
// the bytes at an address and a writer can change the table in place. Read
// through a ByteSource: only the headers and the table are read. kitpack's
// part of the PE module; the loader needs none of it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/pe/headers.h"

namespace ldr {

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

struct PeLayout : PeHeaders {
  std::vector<PeSection> sections;

  // The section whose virtual range holds `rva`, or nothing.
  const PeSection* SectionAt(uint32_t rva) const;
  // The file offset of `length` bytes at `rva`, when they all lie in the
  // file data of the section that holds `rva`.
  std::optional<uint64_t> FileOffset(uint32_t rva, uint64_t length) const;
  // Where the image's own bytes end in the file: its headers
  // (SizeOfHeaders) and the raw data of every section.
  uint64_t ImageEnd() const;
};

// The headers and section table, or nothing when the file is not a PE image
// (ReadPeHeaders) or its optional header or section table does not lie
// wholly inside it, or it has more sections than Windows takes. The
// alignments are as the header gives them.
std::optional<PeLayout> ReadPeLayout(ByteSource& file, uint64_t file_size);
std::optional<PeLayout> ReadPeLayout(const unsigned char* data, size_t size);

// The optional header's CheckSum for an image: the sum of its 16-bit words
// (the CheckSum field counted as zero) folded to 16 bits, plus its length.
uint32_t PeChecksum(const unsigned char* data, size_t size, uint64_t checksum_offset);
// Writes that checksum into a PE image held in memory; nothing happens to
// bytes that are not one.
void UpdatePeChecksum(std::vector<unsigned char>& image);

}  // namespace ldr
