#include "format/pe/layout.h"

namespace ldr {

std::optional<PeLayout> ReadPeLayout(ByteSource& file, uint64_t file_size) {
  PeLayout l;
  if (!ReadPeHeaders(file, file_size, l) || l.section_count > kPeMaxSections ||
      !RangeInside(l.optional_offset, l.optional_size, file_size))
    return std::nullopt;
  unsigned char table[kPeMaxSections * kPeSectionHeaderSize];
  const uint64_t table_size = uint64_t{l.section_count} * kPeSectionHeaderSize;
  if (!SourceReader(file, 0, file_size).Read(l.section_table_offset, table, table_size))
    return std::nullopt;
  for (uint32_t i = 0; i < l.section_count; ++i) {
    const unsigned char* s = table + uint64_t{i} * kPeSectionHeaderSize;
    PeSection section;
    for (size_t c = 0; c < section.name.size(); ++c) section.name[c] = s[c];
    section.virtual_size = GetU32(s + 8);
    section.virtual_address = GetU32(s + 12);
    section.raw_size = GetU32(s + 16);
    section.raw_offset = GetU32(s + 20);
    section.characteristics = GetU32(s + 36);
    section.header_offset = l.section_table_offset + uint64_t{i} * kPeSectionHeaderSize;
    l.sections.push_back(section);
  }
  return l;
}

std::optional<PeLayout> ReadPeLayout(const unsigned char* data, size_t size) {
  MemoryByteSource bytes(data, size);
  return ReadPeLayout(bytes, size);
}

const PeSection* PeLayout::SectionAt(uint32_t rva) const {
  for (const PeSection& s : sections) {
    const uint64_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (rva >= s.virtual_address && rva - s.virtual_address < extent) return &s;
  }
  return nullptr;
}

std::optional<uint64_t> PeLayout::FileOffset(uint32_t rva, uint64_t length) const {
  const PeSection* s = SectionAt(rva);
  if (!s) return std::nullopt;
  const uint64_t delta = rva - s->virtual_address;
  if (delta > s->raw_size || length > s->raw_size - delta) return std::nullopt;
  return uint64_t{s->raw_offset} + delta;
}

uint64_t PeLayout::ImageEnd() const {
  uint64_t end = size_of_headers;
  for (const PeSection& s : sections) {
    const uint64_t section_end = uint64_t{s.raw_offset} + s.raw_size;
    if (s.raw_size != 0 && section_end > end) end = section_end;
  }
  return end;
}

uint32_t PeChecksum(const unsigned char* data, size_t size, uint64_t checksum_offset) {
  uint64_t sum = 0;
  for (uint64_t i = 0; i < size; i += 2) {
    if (i >= checksum_offset && i < checksum_offset + 4) continue;
    uint32_t word = data[i];
    if (i + 1 < size) word |= static_cast<uint32_t>(data[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + size);
}

void UpdatePeChecksum(std::vector<unsigned char>& image) {
  const std::optional<PeLayout> layout = ReadPeLayout(image.data(), image.size());
  if (!layout) return;
  PutU32(image.data() + layout->checksum_offset,
         PeChecksum(image.data(), image.size(), layout->checksum_offset));
}

}  // namespace ldr
