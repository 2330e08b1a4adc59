#include "format/pe_layout.h"

namespace ldr {

namespace {

bool Has(size_t size, uint64_t offset, uint64_t length) {
  return offset <= size && length <= size - offset;
}

}  // namespace

uint32_t PeGet16(const unsigned char* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }

uint32_t PeGet32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PePut16(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

void PePut32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::optional<PeLayout> ReadPeLayout(const unsigned char* data, size_t size) {
  if (!Has(size, 0, 0x40) || data[0] != 'M' || data[1] != 'Z') return std::nullopt;
  const uint64_t pe = PeGet32(data + 0x3C);
  if (!Has(size, pe, 24) || data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 ||
      data[pe + 3] != 0)
    return std::nullopt;
  const uint64_t coff = pe + 4;
  PeLayout l;
  l.machine = static_cast<uint16_t>(PeGet16(data + coff));
  const uint32_t section_count = PeGet16(data + coff + 2);
  const uint32_t optional_size = PeGet16(data + coff + 16);
  l.characteristics = static_cast<uint16_t>(PeGet16(data + coff + 18));
  l.section_count_offset = coff + 2;
  if (section_count > kPeMaxSections) return std::nullopt;
  const uint64_t opt = coff + 20;
  if (!Has(size, opt, optional_size) || optional_size < 2) return std::nullopt;
  const uint32_t magic = PeGet16(data + opt);
  uint64_t count_at = 0;
  if (magic == 0x10B) {
    count_at = 92;
  } else if (magic == 0x20B) {
    l.pe32_plus = true;
    count_at = 108;
  } else {
    return std::nullopt;
  }
  if (optional_size < count_at + 4) return std::nullopt;
  l.size_of_initialized_data = PeGet32(data + opt + 8);
  l.initialized_data_offset = opt + 8;
  l.section_alignment = PeGet32(data + opt + 32);
  l.file_alignment = PeGet32(data + opt + 36);
  l.size_of_image = PeGet32(data + opt + 56);
  l.size_of_image_offset = opt + 56;
  l.size_of_headers = PeGet32(data + opt + 60);
  l.checksum_offset = opt + 64;
  l.subsystem = static_cast<uint16_t>(PeGet16(data + opt + 68));
  l.directories_offset = opt + count_at + 4;
  // Only the directories that both the count and the header's size cover.
  const uint64_t room = (optional_size - (count_at + 4)) / 8;
  const uint32_t declared = PeGet32(data + opt + count_at);
  l.directory_count = static_cast<uint32_t>(declared < room ? declared : room);
  l.section_table_offset = opt + optional_size;
  if (!Has(size, l.section_table_offset, uint64_t{section_count} * kPeSectionHeaderSize))
    return std::nullopt;
  for (uint32_t i = 0; i < section_count; ++i) {
    const uint64_t s = l.section_table_offset + uint64_t{i} * kPeSectionHeaderSize;
    PeSection section;
    for (size_t c = 0; c < section.name.size(); ++c) section.name[c] = data[s + c];
    section.virtual_size = PeGet32(data + s + 8);
    section.virtual_address = PeGet32(data + s + 12);
    section.raw_size = PeGet32(data + s + 16);
    section.raw_offset = PeGet32(data + s + 20);
    section.characteristics = PeGet32(data + s + 36);
    section.header_offset = s;
    l.sections.push_back(section);
  }
  return l;
}

std::optional<std::array<uint32_t, 2>> PeLayout::Directory(const unsigned char* data,
                                                           uint32_t index) const {
  if (index >= directory_count) return std::nullopt;
  const unsigned char* p = data + directories_offset + uint64_t{index} * 8;
  return std::array<uint32_t, 2>{PeGet32(p), PeGet32(p + 4)};
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

}  // namespace ldr
