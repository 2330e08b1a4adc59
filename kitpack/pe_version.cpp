#include "kitpack/pe_version.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kitpack {

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

constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;
constexpr size_t kMaxSections = 96;  // the PE loader's own limit

class PeReader {
 public:
  PeReader(const unsigned char* data, size_t size) : b_(data, size) {}

  std::string Version() {
    auto resource_rva = ResourceDirectoryRva();
    if (!resource_rva) return "";
    auto root = FileOffset(*resource_rva);
    if (!root) return "";
    resource_root_ = *root;
    // Type RT_VERSION, then the first name, then the first language.
    auto by_type = FindEntry(resource_root_, kRtVersion);
    if (!by_type || !(*by_type & kSubdirectoryBit)) return "";
    auto by_name = FirstEntry(resource_root_ + (*by_type & ~kSubdirectoryBit));
    if (!by_name || !(*by_name & kSubdirectoryBit)) return "";
    auto by_language = FirstEntry(resource_root_ + (*by_name & ~kSubdirectoryBit));
    if (!by_language || (*by_language & kSubdirectoryBit)) return "";
    uint64_t data_entry = resource_root_ + *by_language;
    auto data_rva = b_.U32(data_entry);
    auto data_size = b_.U32(data_entry + 4);
    if (!data_rva || !data_size) return "";
    auto info = FileOffset(*data_rva);
    if (!info || !b_.Has(*info, *data_size)) return "";
    return FixedFileVersion(*info, *data_size);
  }

 private:
  std::optional<uint32_t> ResourceDirectoryRva() {
    auto mz = b_.U16(0);
    if (!mz || *mz != 0x5A4D) return std::nullopt;
    auto lfanew = b_.U32(0x3C);
    if (!lfanew) return std::nullopt;
    uint64_t pe = *lfanew;
    auto sig = b_.U32(pe);
    if (!sig || *sig != 0x00004550) return std::nullopt;
    uint64_t coff = pe + 4;
    auto section_count = b_.U16(coff + 2);
    auto optional_size = b_.U16(coff + 16);
    if (!section_count || !optional_size || *section_count > kMaxSections) return std::nullopt;
    uint64_t opt = coff + 20;
    auto magic = b_.U16(opt);
    if (!magic) return std::nullopt;
    constexpr uint64_t kDirEntrySize = 8;
    uint64_t count_at, dirs_at;
    if (*magic == 0x10B) {
      count_at = 92, dirs_at = 96;
    } else if (*magic == 0x20B) {
      count_at = 108, dirs_at = 112;
    } else {
      return std::nullopt;
    }
    auto dir_count = b_.U32(opt + count_at);
    // The resource table is data directory 2; it must lie inside the
    // optional header the file declares.
    if (!dir_count || *dir_count < 3 || dirs_at + 3 * kDirEntrySize > *optional_size)
      return std::nullopt;
    auto rva = b_.U32(opt + dirs_at + 2 * kDirEntrySize);
    if (!rva || *rva == 0) return std::nullopt;
    uint64_t table = opt + *optional_size;
    for (uint32_t i = 0; i < *section_count; ++i) {
      uint64_t s = table + uint64_t{i} * 40;
      auto va = b_.U32(s + 12), vs = b_.U32(s + 8), rs = b_.U32(s + 16), ro = b_.U32(s + 20);
      if (!va || !vs || !rs || !ro) return std::nullopt;
      sections_.push_back({*va, *vs, *rs, *ro});
    }
    return rva;
  }

  std::optional<uint64_t> FileOffset(uint32_t rva) const {
    for (const Section& s : sections_) {
      uint64_t extent = s.virtual_size ? s.virtual_size : s.raw_size;
      if (rva >= s.virtual_address && rva - s.virtual_address < extent) {
        uint64_t delta = rva - s.virtual_address;
        if (delta >= s.raw_size) return std::nullopt;  // not backed by file data
        uint64_t offset = uint64_t{s.raw_offset} + delta;
        if (!b_.Has(offset, 1)) return std::nullopt;
        return offset;
      }
    }
    return std::nullopt;
  }

  // The OffsetToData of the entry with this numeric id in a resource
  // directory, relative to the resource root.
  std::optional<uint32_t> FindEntry(uint64_t directory, uint32_t id) const {
    auto named = b_.U16(directory + 12), ids = b_.U16(directory + 14);
    if (!named || !ids) return std::nullopt;
    uint64_t first = directory + 16;
    for (uint32_t i = 0; i < *named + *ids; ++i) {
      uint64_t e = first + uint64_t{i} * 8;
      auto name = b_.U32(e), target = b_.U32(e + 4);
      if (!name || !target) return std::nullopt;
      if (!(*name & kSubdirectoryBit) && *name == id) return target;
    }
    return std::nullopt;
  }

  std::optional<uint32_t> FirstEntry(uint64_t directory) const {
    auto named = b_.U16(directory + 12), ids = b_.U16(directory + 14);
    if (!named || !ids || *named + *ids == 0) return std::nullopt;
    return b_.U32(directory + 16 + 4);
  }

  // VS_VERSIONINFO: wLength, wValueLength, wType, the key
  // L"VS_VERSION_INFO", padding to 32 bits, then VS_FIXEDFILEINFO.
  std::string FixedFileVersion(uint64_t info, uint32_t size) const {
    static const char kKey[] = "VS_VERSION_INFO";
    constexpr uint64_t kKeyAt = 6;
    constexpr uint64_t kKeyBytes = sizeof kKey * 2;  // UTF-16 with its zero
    for (uint64_t i = 0; i < sizeof kKey; ++i) {
      auto ch = b_.U16(info + kKeyAt + i * 2);
      if (!ch || *ch != static_cast<unsigned char>(kKey[i])) return "";
    }
    uint64_t value = (kKeyAt + kKeyBytes + 3) & ~uint64_t{3};
    auto value_length = b_.U16(info + 2);
    if (!value_length || *value_length < 52 || value + 52 > size) return "";
    auto signature = b_.U32(info + value);
    auto ms = b_.U32(info + value + 8), ls = b_.U32(info + value + 12);
    if (!signature || *signature != kFixedFileInfoSignature || !ms || !ls) return "";
    return std::to_string(*ms >> 16) + "." + std::to_string(*ms & 0xFFFF) + "." +
           std::to_string(*ls >> 16) + "." + std::to_string(*ls & 0xFFFF);
  }

  Bytes b_;
  std::vector<Section> sections_;
  uint64_t resource_root_ = 0;
};

}  // namespace

std::string PeFileVersion(const unsigned char* data, size_t size) {
  return PeReader(data, size).Version();
}

}  // namespace kitpack
