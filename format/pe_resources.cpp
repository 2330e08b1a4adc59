#include "format/pe_resources.h"

#include "format/pe_layout.h"

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

constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kNamedEntryBit = 0x80000000u;

class PeImage {
 public:
  PeImage(const unsigned char* data, size_t size) : data_(data), size_(size), b_(data, size) {}

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
  // Reads the headers and the section table (format/pe_layout.h); gives the
  // resource table's RVA.
  std::optional<uint32_t> ResourceTableRva() {
    std::optional<PeLayout> layout = ReadPeLayout(data_, size_);
    if (!layout) return std::nullopt;
    const std::optional<std::array<uint32_t, 2>> directory =
        layout->Directory(data_, kPeResourceDirectory);
    if (!directory || (*directory)[0] == 0) return std::nullopt;
    layout_ = std::move(*layout);
    return (*directory)[0];
  }

  // The file range of `length` bytes at an RVA, when they all lie in the
  // file data of the one section that holds the RVA.
  std::optional<FileRange> Range(uint32_t rva, uint64_t length) const {
    const std::optional<uint64_t> offset = layout_.FileOffset(rva, length);
    if (!offset || !b_.Has(*offset, length)) return std::nullopt;
    return FileRange{*offset, length};
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

  const unsigned char* data_;
  size_t size_;
  Bytes b_;
  PeLayout layout_;
  uint64_t root_ = 0;
};

}  // namespace

std::optional<FileRange> FindPeResource(const unsigned char* data, size_t size, uint32_t type,
                                        uint32_t id) {
  return PeImage(data, size).Resource(type, id);
}

}  // namespace ldr
