#include "tests/support/pe_resource_image.h"

namespace ldr::test {

namespace {

void Put16(std::vector<unsigned char>& b, uint64_t at, uint32_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void Put32(std::vector<unsigned char>& b, uint64_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t OptionalHeaderAt() { return kPeHeaderAt + 4 + 20; }
uint32_t OptionalHeaderSize(const PeLayout& l) { return l.pe32_plus ? 240 : 224; }

// One resource directory with the given (name or id, target) entries.
void Directory(std::vector<unsigned char>& s, uint64_t at,
               const std::vector<std::pair<uint32_t, uint32_t>>& entries, bool decoy) {
  uint32_t named = decoy ? 1 : 0;
  Put16(s, at + 12, named);
  Put16(s, at + 14, static_cast<uint32_t>(entries.size()));
  uint64_t e = at + 16;
  if (decoy) {
    // A name string offset whose low bits equal the first id looked for,
    // leading nowhere: a reader that takes it finds nothing.
    Put32(s, e, 0x80000000u | entries.front().first);
    Put32(s, e + 4, 0xFFFFFFF0u);
    e += 8;
  }
  for (const auto& [id, target] : entries) {
    Put32(s, e, id);
    Put32(s, e + 4, target);
    e += 8;
  }
}

}  // namespace

uint64_t ResourceDirectoryEntryAt(const PeLayout& l) {
  return OptionalHeaderAt() + (l.pe32_plus ? 112 : 96) + 2 * 8;
}

uint64_t SectionHeaderAt(const PeLayout& l) { return OptionalHeaderAt() + OptionalHeaderSize(l); }

PeImageBytes BuildPe(const std::vector<PeResource>& resources, const PeLayout& l) {
  PeImageBytes image;
  std::vector<unsigned char>& b = image.bytes;
  b.assign(l.raw_offset, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, static_cast<uint32_t>(kPeHeaderAt));
  b[kPeHeaderAt] = 'P';
  b[kPeHeaderAt + 1] = 'E';
  const uint64_t coff = kPeHeaderAt + 4;
  Put16(b, coff, l.pe32_plus ? 0x8664 : 0x14C);
  Put16(b, coff + 2, 1);  // one section
  Put16(b, coff + 16, OptionalHeaderSize(l));
  const uint64_t opt = OptionalHeaderAt();
  Put16(b, opt, l.pe32_plus ? 0x20B : 0x10B);
  Put32(b, opt + (l.pe32_plus ? 108 : 92), l.directory_count);

  // The resource section: the root (by type), one directory per type (by
  // id), one per resource (by language), the data entries, then the data.
  std::vector<uint32_t> types;
  for (const PeResource& r : resources) {
    bool known = false;
    for (uint32_t t : types) known = known || t == r.type;
    if (!known) types.push_back(r.type);
  }
  const size_t n = resources.size();
  const uint32_t decoy = l.named_decoys ? 8 : 0;
  uint32_t at = 16 + 8 * static_cast<uint32_t>(types.size()) + decoy;
  const uint32_t root_size = at;
  std::vector<uint32_t> type_dirs, language_dirs, data_entries;
  for (uint32_t t : types) {
    type_dirs.push_back(at);
    uint32_t count = 0;
    for (const PeResource& r : resources) count += r.type == t ? 1 : 0;
    at += 16 + 8 * count + decoy;
  }
  for (size_t i = 0; i < n; ++i) {
    language_dirs.push_back(at);
    at += 16 + 8;
  }
  for (size_t i = 0; i < n; ++i) {
    data_entries.push_back(at);
    at += 16;
  }
  std::vector<unsigned char> s;
  std::vector<std::pair<uint32_t, uint32_t>> root;
  for (size_t k = 0; k < types.size(); ++k) {
    root.push_back({types[k], 0x80000000u | type_dirs[k]});
    std::vector<std::pair<uint32_t, uint32_t>> ids;
    for (size_t i = 0; i < n; ++i) {
      if (resources[i].type == types[k])
        ids.push_back({resources[i].id, 0x80000000u | language_dirs[i]});
    }
    Directory(s, type_dirs[k], ids, l.named_decoys);
  }
  Directory(s, 0, root, l.named_decoys);
  for (size_t i = 0; i < n; ++i) {
    Directory(s, language_dirs[i], {{resources[i].language, data_entries[i]}}, false);
    const uint32_t data_at = at;
    Put32(s, data_entries[i], l.section_rva + data_at);
    Put32(s, data_entries[i] + 4, static_cast<uint32_t>(resources[i].data.size()));
    s.resize(data_at);
    s.insert(s.end(), resources[i].data.begin(), resources[i].data.end());
    image.data_offsets.push_back(l.raw_offset + data_at);
    at = static_cast<uint32_t>((s.size() + 7) & ~size_t{7});
  }
  s.resize((s.size() + 511) & ~size_t{511});

  Put32(b, ResourceDirectoryEntryAt(l), l.section_rva);
  Put32(b, ResourceDirectoryEntryAt(l) + 4, root_size);
  const uint64_t section = SectionHeaderAt(l);
  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  for (int i = 0; i < 8; ++i) b[section + i] = static_cast<unsigned char>(name[i]);
  Put32(b, section + 8, static_cast<uint32_t>(s.size()));
  Put32(b, section + 12, l.section_rva);
  Put32(b, section + 16, static_cast<uint32_t>(s.size()));
  Put32(b, section + 20, l.raw_offset);
  b.resize(l.raw_offset);
  b.insert(b.end(), s.begin(), s.end());
  return image;
}

}  // namespace ldr::test
