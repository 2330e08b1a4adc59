#pragma once
// A minimal PE image in memory with one resource section, for the tests of
// the PE resource reader and of what kitpack writes into a loader's manifest.
// The layout is written out byte by byte here, independent of the reader.

#include <cstdint>
#include <string>
#include <vector>

namespace ldr::test {

struct PeResource {
  uint32_t type = 24;
  uint32_t id = 1;
  uint32_t language = 0x409;
  std::string data;
};

struct PeLayout {
  bool pe32_plus = true;  // optional-header magic 0x20B, else 0x10B
  uint32_t section_rva = 0x3000;
  uint32_t raw_offset = 0x400;
  uint32_t directory_count = 16;  // NumberOfRvaAndSizes
  // A named entry (high bit set) at every level before the numbered ones,
  // whose low bits equal the id looked for: the reader must skip it.
  bool named_decoys = false;
};

// The image, and where each resource's data lies in it.
struct PeImageBytes {
  std::vector<unsigned char> bytes;
  std::vector<uint64_t> data_offsets;
};

PeImageBytes BuildPe(const std::vector<PeResource>& resources, const PeLayout& layout = {});

// Offsets of fields in images BuildPe makes, for tests that damage them.
inline constexpr uint64_t kPeHeaderAt = 0x80;
uint64_t ResourceDirectoryEntryAt(const PeLayout& layout);  // RVA, then size
uint64_t SectionHeaderAt(const PeLayout& layout);

}  // namespace ldr::test
