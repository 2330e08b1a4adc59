#include "format/pe_resources.h"

#include <vector>

namespace ldr {

namespace {

// Reads that fail instead of running off the end of the file.
class Bytes {
 public:
  Bytes(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  std::optional<uint32_t> U16(uint64_t offset) const {
    if (!Has(offset, 2)) return std::nullopt;
    return static_cast<uint32_t>(data_[offset] | data_[offset + 1] << 8);
  }
  std::optional<uint32_t> U32(uint64_t offset) const {
    if (!Has(offset, 4)) return std::nullopt;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | data_[offset + i];
    return v;
  }

 private:
  const unsigned char* data_;
  size_t size_;
};

struct Section {
  uint32_t virtual_address, virtual_size, raw_size, raw_offset;
};

constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kNamedEntryBit = 0x80000000u;
constexpr uint32_t kMaxSections = 96;  // the Windows loader's own limit
constexpr uint64_t kResourceDirectory =
    2;  // index of the resource table among the data directories

class PeImage {
 public:
  PeImage(const unsigned char* data, size_t size) : b_(data, size) {}

  std::optional<FileRange> Resource(uint32_t type, uint32_t id) {
    const std::optional<uint32_t> rva = ResourceTableRva();
    if (!rva) return std::nullopt;
    const std::optional<FileRange> root = Range(*rva, 16);
    if (!root) return std::nullopt;
    root_ = root->offset;
    // Three levels: type, then id, then the first language, which holds the
    // data entry itself.
    const std::optional<uint32_t> by_type = Find(root_, type);
    if (!by_type || !(*by_type & kSubdirectoryBit)) return std::nullopt;
    const std::optional<uint32_t> by_id = Find(root_ + (*by_type & ~kSubdirectoryBit), id);
    if (!by_id || !(*by_id & kSubdirectoryBit)) return std::nullopt;
    const std::optional<uint32_t> by_language = First(root_ + (*by_id & ~kSubdirectoryBit));
    if (!by_language || (*by_language & kSubdirectoryBit)) return std::nullopt;
    const uint64_t entry = root_ + *by_language;
    const std::optional<uint32_t> data_rva = b_.U32(entry);
    const std::optional<uint32_t> data_size = b_.U32(entry + 4);
    if (!data_rva || !data_size) return std::nullopt;
    return Range(*data_rva, *data_size);
  }

 private:
  // Reads the headers and the section table; gives the resource table's RVA.
  std::optional<uint32_t> ResourceTableRva() {
    const std::optional<uint32_t> mz = b_.U16(0);
    if (!mz || *mz != 0x5A4D) return std::nullopt;
    const std::optional<uint32_t> lfanew = b_.U32(0x3C);
    if (!lfanew) return std::nullopt;
    const uint64_t pe = *lfanew;
    const std::optional<uint32_t> signature = b_.U32(pe);
    if (!signature || *signature != 0x00004550) return std::nullopt;
    const uint64_t coff = pe + 4;
    const std::optional<uint32_t> section_count = b_.U16(coff + 2);
    const std::optional<uint32_t> optional_size = b_.U16(coff + 16);
    if (!section_count || !optional_size || *section_count > kMaxSections) return std::nullopt;
    const uint64_t opt = coff + 20;
    const std::optional<uint32_t> magic = b_.U16(opt);
    if (!magic) return std::nullopt;
    uint64_t count_at = 0;
    uint64_t directories_at = 0;
    if (*magic == 0x10B) {
      count_at = 92;
      directories_at = 96;
    } else if (*magic == 0x20B) {
      count_at = 108;
      directories_at = 112;
    } else {
      return std::nullopt;
    }
    // The resource table's entry must lie inside the optional header the
    // file declares, and the header must say it has that many entries.
    const std::optional<uint32_t> directory_count = b_.U32(opt + count_at);
    if (!directory_count || *directory_count <= kResourceDirectory ||
        directories_at + (kResourceDirectory + 1) * 8 > *optional_size) {
      return std::nullopt;
    }
    const std::optional<uint32_t> rva = b_.U32(opt + directories_at + kResourceDirectory * 8);
    if (!rva || *rva == 0) return std::nullopt;
    const uint64_t table = opt + *optional_size;
    for (uint32_t i = 0; i < *section_count; ++i) {
      const uint64_t s = table + uint64_t{i} * 40;
      const std::optional<uint32_t> vs = b_.U32(s + 8), va = b_.U32(s + 12);
      const std::optional<uint32_t> rs = b_.U32(s + 16), ro = b_.U32(s + 20);
      if (!va || !vs || !rs || !ro) return std::nullopt;
      sections_.push_back({*va, *vs, *rs, *ro});
    }
    return rva;
  }

  // The file range of `length` bytes at an RVA, when they all lie in the
  // file data of the one section that holds the RVA.
  std::optional<FileRange> Range(uint32_t rva, uint64_t length) const {
    for (const Section& s : sections_) {
      const uint64_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
      if (rva < s.virtual_address || rva - s.virtual_address >= extent) continue;
      const uint64_t delta = rva - s.virtual_address;
      if (delta > s.raw_size || length > s.raw_size - delta) return std::nullopt;
      const uint64_t offset = uint64_t{s.raw_offset} + delta;
      if (!b_.Has(offset, length)) return std::nullopt;
      return FileRange{offset, length};
    }
    return std::nullopt;
  }

  // The target (relative to the resource root) of the entry with this
  // numeric id in a resource directory.
  std::optional<uint32_t> Find(uint64_t directory, uint32_t id) const {
    const std::optional<uint32_t> named = b_.U16(directory + 12), ids = b_.U16(directory + 14);
    if (!named || !ids) return std::nullopt;
    for (uint32_t i = 0; i < *named + *ids; ++i) {
      const uint64_t e = directory + 16 + uint64_t{i} * 8;
      const std::optional<uint32_t> name = b_.U32(e), target = b_.U32(e + 4);
      if (!name || !target) return std::nullopt;
      if (!(*name & kNamedEntryBit) && *name == id) return target;
    }
    return std::nullopt;
  }

  std::optional<uint32_t> First(uint64_t directory) const {
    const std::optional<uint32_t> named = b_.U16(directory + 12), ids = b_.U16(directory + 14);
    if (!named || !ids || *named + *ids == 0) return std::nullopt;
    return b_.U32(directory + 16 + 4);
  }

  Bytes b_;
  std::vector<Section> sections_;
  uint64_t root_ = 0;
};

}  // namespace

std::optional<FileRange> FindPeResource(const unsigned char* data, size_t size, uint32_t type,
                                        uint32_t id) {
  return PeImage(data, size).Resource(type, id);
}

}  // namespace ldr
