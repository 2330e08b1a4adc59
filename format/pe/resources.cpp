#include "format/pe/resources.h"

#include "format/shown_name.h"

#include <algorithm>

#include "format/pe/layout.h"

namespace ldr {

namespace {

// A tree with more entries than this is taken as damaged: it bounds the work
// a hostile image can ask for (three levels of 65,535 entries each).
constexpr size_t kMaxEntries = 65536;

struct DirectoryEntry {
  uint32_t name_field = 0;  // a number, or (high bit) the offset of a name
  uint32_t target = 0;      // (high bit) a directory, else a data entry
  bool subdirectory() const { return (target & kResourceHighBit) != 0; }
  uint32_t offset() const { return target & ~kResourceHighBit; }
};

struct DataEntry {
  uint32_t rva = 0;
  uint32_t size = 0;
  uint32_t codepage = 0;
};

// The tree of one image: every offset in it is relative to the root and
// checked against the resource section's file data from the root on.
class ResourceTree {
 public:
  ResourceTree(ByteSource& file, uint64_t file_size, const PeLayout& layout, uint64_t root,
               uint64_t area)
      : file_(file), file_size_(file_size), layout_(layout), area_(file, root, area) {}

  // Where the tree of `layout` starts and how far it may reach; nothing
  // when the image has none. `lies_outside` is set when the directory names
  // a table that does not lie in any section's file data.
  static std::optional<ResourceTree> Of(ByteSource& file, uint64_t file_size,
                                        const PeLayout& layout, bool& lies_outside) {
    lies_outside = false;
    const std::optional<PeDirectory> directory = layout.Directory(kPeResourceDirectory);
    if (!directory || directory->address == 0) return std::nullopt;
    const PeSection* section = layout.SectionAt(directory->address);
    const std::optional<uint64_t> root =
        layout.FileOffset(directory->address, kResourceDirectoryHeaderSize);
    if (!section || !root || *root > file_size) {
      lies_outside = true;
      return std::nullopt;
    }
    // The tree may use every byte of the section's file data after its root.
    const uint64_t section_end = uint64_t{section->raw_offset} + section->raw_size;
    return ResourceTree(file, file_size, layout, *root,
                        std::min<uint64_t>(section_end, file_size) - *root);
  }

  bool Has(uint64_t offset, uint64_t length) const { return area_.Has(offset, length); }

  // The number of entries of the directory at `directory`.
  std::optional<uint32_t> Count(uint64_t directory) const {
    const std::optional<uint16_t> named = area_.U16(directory + 12);
    const std::optional<uint16_t> ids = area_.U16(directory + 14);
    if (!named || !ids || !Has(directory, kResourceDirectoryHeaderSize)) return std::nullopt;
    return uint32_t{*named} + *ids;
  }

  std::optional<DirectoryEntry> Entry(uint64_t directory, uint32_t index) const {
    const uint64_t at =
        directory + kResourceDirectoryHeaderSize + uint64_t{index} * kResourceDirectoryEntrySize;
    const std::optional<uint32_t> name = area_.U32(at), target = area_.U32(at + 4);
    if (!name || !target) return std::nullopt;
    return DirectoryEntry{*name, *target};
  }

  // The entry with numeric id `id`, named entries skipped; or the first.
  std::optional<DirectoryEntry> Find(uint64_t directory, std::optional<uint32_t> id) const {
    const std::optional<uint32_t> count = Count(directory);
    if (!count || *count == 0) return std::nullopt;
    if (!id) return Entry(directory, 0);
    for (uint32_t i = 0; i < *count; ++i) {
      const std::optional<DirectoryEntry> e = Entry(directory, i);
      if (!e) return std::nullopt;
      if (!(e->name_field & kResourceHighBit) && e->name_field == *id) return e;
    }
    return std::nullopt;
  }

  std::optional<DataEntry> Data(uint64_t offset) const {
    unsigned char entry[kResourceDataEntrySize];
    if (!area_.Read(offset, entry, sizeof entry)) return std::nullopt;
    return DataEntry{GetU32(entry), GetU32(entry + 4), GetU32(entry + 8)};
  }

  // Where a data entry's bytes lie: in the file data of one section.
  std::optional<FileRange> DataRange(const DataEntry& d) const {
    const std::optional<uint64_t> at = layout_.FileOffset(d.rva, d.size);
    if (!at || !RangeInside(*at, d.size, file_size_)) return std::nullopt;
    return FileRange{*at, d.size};
  }

  const SourceReader& area() const { return area_; }
  ByteSource& file() const { return file_; }
  uint64_t file_size() const { return file_size_; }

 private:
  ByteSource& file_;
  uint64_t file_size_;
  const PeLayout& layout_;
  SourceReader area_;
};

std::optional<FileRange> Lookup(ByteSource& file, uint64_t file_size, uint32_t type,
                                std::optional<uint32_t> id) {
  const std::optional<PeLayout> layout = ReadPeLayout(file, file_size);
  if (!layout) return std::nullopt;
  bool lies_outside = false;
  const std::optional<ResourceTree> tree = ResourceTree::Of(file, file_size, *layout, lies_outside);
  if (!tree || !tree->Has(0, kResourceDirectoryHeaderSize)) return std::nullopt;
  // Type, then name, then the first language, which holds the data entry.
  const std::optional<DirectoryEntry> by_type = tree->Find(0, type);
  if (!by_type || !by_type->subdirectory()) return std::nullopt;
  const std::optional<DirectoryEntry> by_name = tree->Find(by_type->offset(), id);
  if (!by_name || !by_name->subdirectory()) return std::nullopt;
  const std::optional<DirectoryEntry> by_language = tree->Find(by_name->offset(), std::nullopt);
  if (!by_language || by_language->subdirectory()) return std::nullopt;
  const std::optional<DataEntry> data = tree->Data(by_language->target);
  if (!data) return std::nullopt;
  return tree->DataRange(*data);
}

}  // namespace

std::optional<FileRange> FindPeResource(ByteSource& file, uint64_t file_size, uint32_t type,
                                        uint32_t id) {
  return Lookup(file, file_size, type, id);
}

std::optional<FileRange> FindPeResource(const unsigned char* data, size_t size, uint32_t type,
                                        uint32_t id) {
  MemoryByteSource bytes(data, size);
  return Lookup(bytes, size, type, id);
}

std::optional<FileRange> FindFirstPeResource(ByteSource& file, uint64_t file_size, uint32_t type) {
  return Lookup(file, file_size, type, std::nullopt);
}

namespace {

// Why a tree is refused; caught in ResourceTable::Read.
struct Damage {
  std::string why;
};

// The whole tree as a flat list, every entry checked.
class TableReader {
 public:
  TableReader(const ResourceTree& tree, bool with_data) : tree_(tree), with_data_(with_data) {}

  void Read(std::vector<Resource>& out) { ReadDirectory(0, 0, {}, {}, out); }

 private:
  void Need(uint64_t offset, uint64_t length, const char* thing) const {
    if (!tree_.Has(offset, length))
      throw Damage{std::string(thing) + " at offset " + std::to_string(offset) +
                   " lies outside the resource section"};
  }

  ResourceId Id(uint32_t name_field) const {
    if (!(name_field & kResourceHighBit)) return ResourceId::Number(name_field);
    const uint64_t at = name_field & ~kResourceHighBit;
    Need(at, 2, "a name");
    const uint32_t length = *tree_.area().U16(at);
    Need(at + 2, uint64_t{length} * 2, "a name");
    std::vector<unsigned char> chars(size_t{length} * 2);
    tree_.area().Read(at + 2, chars.data(), chars.size());
    ResourceId id;
    for (uint32_t i = 0; i < length; ++i)
      id.text.push_back(static_cast<char16_t>(GetU16(chars.data() + size_t{2} * i)));
    if (id.text.empty()) throw Damage{"an empty resource name"};
    return id;
  }

  void ReadDirectory(uint64_t offset, int level, const ResourceId& type, const ResourceId& name,
                     std::vector<Resource>& out) {
    Need(offset, kResourceDirectoryHeaderSize, "a directory");
    const uint32_t count = *tree_.Count(offset);
    Need(offset + kResourceDirectoryHeaderSize, uint64_t{count} * kResourceDirectoryEntrySize,
         "a directory");
    for (uint32_t i = 0; i < count; ++i) {
      if (++entries_ > kMaxEntries) throw Damage{"more than 65536 entries"};
      const DirectoryEntry e = *tree_.Entry(offset, i);
      if (level < 2) {
        if (!e.subdirectory()) throw Damage{"a data entry where a directory belongs"};
        const ResourceId id = Id(e.name_field);
        ReadDirectory(e.offset(), level + 1, level == 0 ? id : type, level == 1 ? id : name, out);
        continue;
      }
      if (e.subdirectory()) throw Damage{"more than three levels"};
      if (e.name_field & kResourceHighBit) throw Damage{"a language given by name"};
      Need(e.target, kResourceDataEntrySize, "a data entry");
      out.push_back(ReadData(*tree_.Data(e.target), type, name, e.name_field));
    }
  }

  Resource ReadData(const DataEntry& d, const ResourceId& type, const ResourceId& name,
                    uint32_t language) {
    const std::optional<FileRange> at = tree_.DataRange(d);
    if (!at) throw Damage{"the data of a resource lies outside the file"};
    // Real trees never share data between resources, so together it fits in
    // the file; this bounds what a hostile tree can make us copy.
    data_bytes_ += d.size;
    if (data_bytes_ > tree_.file_size()) throw Damage{"its resources hold more data than the file"};
    Resource r;
    r.type = type;
    r.name = name;
    r.language = language;
    r.codepage = d.codepage;
    if (with_data_) {
      r.data.resize(d.size);
      if (!tree_.file().ReadAt(at->offset, r.data.data(), r.data.size()))
        throw Damage{"the data of a resource cannot be read"};
    }
    return r;
  }

  const ResourceTree& tree_;
  bool with_data_;
  size_t entries_ = 0;
  uint64_t data_bytes_ = 0;
};

}  // namespace

std::string ResourceTable::Read(ByteSource& file, uint64_t file_size, const std::string& what,
                                ResourceTable& table, bool with_data) {
  table.items_.clear();
  const std::optional<PeLayout> layout = ReadPeLayout(file, file_size);
  if (!layout) return what + " is not a Windows PE image";
  bool lies_outside = false;
  const std::optional<ResourceTree> tree = ResourceTree::Of(file, file_size, *layout, lies_outside);
  if (lies_outside)
    return "the resources of " + what +
           " are damaged: the resource table lies outside the file's sections";
  if (!tree) return "";
  try {
    TableReader(*tree, with_data).Read(table.items_);
  } catch (const Damage& damage) {
    table.items_.clear();
    return "the resources of " + what + " are damaged: " + damage.why;
  }
  return "";
}

std::u16string AsciiToUtf16(std::string_view ascii) {
  std::u16string text;
  for (char c : ascii) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return text;
}

ResourceId ResourceId::Text(const std::string& ascii) { return {0, AsciiToUtf16(ascii)}; }

bool ResourceId::operator<(const ResourceId& o) const {
  if (named() != o.named()) return named();
  if (named()) return text < o.text;
  return number < o.number;
}

std::string ResourceId::Shown() const {
  if (!named()) return std::to_string(number);
  return ShownName(std::u16string_view(text));
}

std::vector<Resource*> ResourceTable::Find(const ResourceId& type, const ResourceId& name) {
  std::vector<Resource*> found;
  for (Resource& r : items_)
    if (r.type == type && r.name == name) found.push_back(&r);
  return found;
}

void ResourceTable::Remove(const ResourceId& type, const ResourceId& name) {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const Resource& r) { return r.type == type && r.name == name; }),
               items_.end());
}

}  // namespace ldr
