// Laying a resource table out and writing it into an image.
#include <algorithm>
#include <map>

#include "format/pe/layout.h"
#include "format/pe/resources.h"

namespace ldr {

namespace {

uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) & ~(alignment - 1); }

void Put(std::vector<unsigned char>& out, uint64_t at, uint32_t v, int bytes) {
  if (bytes == 2) {
    PutU16(&out[static_cast<size_t>(at)], v);
  } else {
    PutU32(&out[static_cast<size_t>(at)], v);
  }
}

}  // namespace

namespace {

using Languages = std::map<uint32_t, const Resource*>;
using Names = std::map<ResourceId, Languages>;

template <typename Map>
size_t CountNamed(const Map& map) {
  size_t n = 0;
  for (const auto& kv : map)
    if (kv.first.named()) ++n;
  return n;
}

// One table laid out: the directories breadth first (the root, every type's,
// every name's), the data entries, the name texts, then the data.
class TableWriter {
 public:
  TableWriter(const std::vector<Resource>& items, uint32_t rva) : rva_(rva) {
    for (const Resource& r : items) tree_[r.type][r.name][r.language] = &r;
    Plan(items);
    WriteStrings();
    WriteDirectories();
  }
  std::vector<unsigned char> Take() { return std::move(out_); }

 private:
  // Sizes first: directories, then data entries, then names, then data.
  void Plan(const std::vector<Resource>& items) {
    uint64_t directories =
        kResourceDirectoryHeaderSize + tree_.size() * kResourceDirectoryEntrySize;
    size_t leaves = 0;
    for (const auto& [type, names] : tree_) {
      directories += kResourceDirectoryHeaderSize + names.size() * kResourceDirectoryEntrySize;
      for (const auto& [name, languages] : names) {
        directories +=
            kResourceDirectoryHeaderSize + languages.size() * kResourceDirectoryEntrySize;
        leaves += languages.size();
      }
    }
    entries_at_ = directories;
    const uint64_t strings_at = entries_at_ + leaves * kResourceDataEntrySize;
    uint64_t strings_size = 0;
    auto note_string = [&](const ResourceId& id) {
      if (!id.named() || strings_.count(id.text)) return;
      strings_[id.text] = strings_at + strings_size;
      strings_size += 2 + 2 * id.text.size();
    };
    for (const auto& [type, names] : tree_) {
      note_string(type);
      for (const auto& name_languages : names) note_string(name_languages.first);
    }
    data_at_ = AlignUp(strings_at + strings_size, 8);
    uint64_t total = data_at_;
    for (const Resource& r : items) total = AlignUp(total + r.data.size(), 8);
    out_.assign(static_cast<size_t>(total), 0);
  }

  void WriteStrings() {
    for (const auto& [text, at] : strings_) {
      Put(out_, at, static_cast<uint32_t>(text.size()), 2);
      for (size_t i = 0; i < text.size(); ++i) Put(out_, at + 2 + 2 * i, text[i], 2);
    }
  }

  uint32_t NameField(const ResourceId& id) {
    return id.named() ? static_cast<uint32_t>(kResourceHighBit | strings_[id.text]) : id.number;
  }

  // A directory's header and its entries' names; gives where its entries lie.
  template <typename Map>
  uint64_t Directory(uint64_t at, const Map& map, size_t named) {
    Put(out_, at + 12, static_cast<uint32_t>(named), 2);
    Put(out_, at + 14, static_cast<uint32_t>(map.size() - named), 2);
    return at + kResourceDirectoryHeaderSize;
  }

  void Entry(uint64_t at, uint32_t name_field, uint64_t target) {
    Put(out_, at, name_field, 4);
    Put(out_, at + 4, static_cast<uint32_t>(target), 4);
  }

  void WriteDirectories() {
    uint64_t next_directory =
        kResourceDirectoryHeaderSize + tree_.size() * kResourceDirectoryEntrySize;
    uint64_t e = Directory(0, tree_, CountNamed(tree_));
    std::vector<std::pair<uint64_t, const Names*>> type_directories;
    for (const auto& [type, names] : tree_) {
      Entry(e, NameField(type), kResourceHighBit | next_directory);
      e += kResourceDirectoryEntrySize;
      type_directories.push_back({next_directory, &names});
      next_directory += kResourceDirectoryHeaderSize + names.size() * kResourceDirectoryEntrySize;
    }
    std::vector<std::pair<uint64_t, const Languages*>> name_directories;
    for (const auto& [at, names] : type_directories) {
      e = Directory(at, *names, CountNamed(*names));
      for (const auto& [name, languages] : *names) {
        Entry(e, NameField(name), kResourceHighBit | next_directory);
        e += kResourceDirectoryEntrySize;
        name_directories.push_back({next_directory, &languages});
        next_directory +=
            kResourceDirectoryHeaderSize + languages.size() * kResourceDirectoryEntrySize;
      }
    }
    uint64_t next_entry = entries_at_;
    for (const auto& [at, languages] : name_directories) {
      e = Directory(at, *languages, 0);
      for (const auto& [language, resource] : *languages) {
        Entry(e, language, next_entry);
        e += kResourceDirectoryEntrySize;
        WriteData(next_entry, *resource);
        next_entry += kResourceDataEntrySize;
      }
    }
  }

  void WriteData(uint64_t entry, const Resource& resource) {
    std::copy(resource.data.begin(), resource.data.end(),
              out_.begin() + static_cast<std::ptrdiff_t>(data_at_));
    Put(out_, entry, static_cast<uint32_t>(rva_ + data_at_), 4);
    Put(out_, entry + 4, static_cast<uint32_t>(resource.data.size()), 4);
    Put(out_, entry + 8, resource.codepage, 4);
    data_at_ = AlignUp(data_at_ + resource.data.size(), 8);
  }

  uint32_t rva_;
  std::map<ResourceId, Names> tree_;
  std::map<std::u16string, uint64_t> strings_;
  uint64_t entries_at_ = 0;
  uint64_t data_at_ = 0;
  std::vector<unsigned char> out_;
};

}  // namespace

std::vector<unsigned char> ResourceTable::Layout(uint32_t rva) const {
  return TableWriter(items_, rva).Take();
}

namespace {

// Where the sections end in the file and in memory, and which is last.
struct Extent {
  uint64_t file_end = 0;
  uint64_t image_end = 0;
  size_t last_in_file = 0;
  size_t last_in_memory = 0;
};

Extent ExtentOf(const PeLayout& layout) {
  Extent e;
  for (size_t i = 0; i < layout.sections.size(); ++i) {
    const PeSection& s = layout.sections[i];
    const uint64_t end = uint64_t{s.raw_offset} + s.raw_size;
    if (s.raw_size != 0 && end >= e.file_end) e.file_end = end, e.last_in_file = i;
    const uint64_t vend = uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size);
    if (vend >= e.image_end) e.image_end = vend, e.last_in_memory = i;
  }
  return e;
}

std::string Refusal(const PeLayout& layout, const std::string& what) {
  if (layout.directory_count <= kPeResourceDirectory)
    return what + " has no resource entry among its data directories";
  if (layout.sections.empty()) return what + " has no sections";
  auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!power_of_two(layout.file_alignment) || !power_of_two(layout.section_alignment) ||
      layout.file_alignment > 0x10000 || layout.section_alignment < layout.file_alignment)
    return what + " has alignments no Windows image has";
  return "";
}

// The section that takes the table: the old resource section, replaced where
// it is when it is the image's last in the file and in memory and holds
// nothing but the resource table; else a new last section. The image is cut
// or grown to where the table's bytes begin.
std::string PlaceTarget(std::vector<unsigned char>& image, const PeLayout& layout,
                        const Extent& extent, const std::string& what, PeSection& target,
                        bool& in_place) {
  const PeDirectory old_directory = *layout.Directory(kPeResourceDirectory);
  const PeSection* old = old_directory.address ? layout.SectionAt(old_directory.address) : nullptr;
  const size_t old_index = old ? static_cast<size_t>(old - layout.sections.data()) : 0;
  in_place = old && old_index == extent.last_in_file && old_index == extent.last_in_memory &&
             old->virtual_address == old_directory.address;
  if (in_place) {
    target = *old;
    image.resize(target.raw_offset);
    return "";
  }
  const uint64_t table_end =
      layout.section_table_offset + (layout.sections.size() + 1) * kPeSectionHeaderSize;
  uint64_t first_data = layout.size_of_headers;
  for (const PeSection& s : layout.sections)
    if (s.raw_size != 0) first_data = std::min<uint64_t>(first_data, s.raw_offset);
  if (layout.sections.size() >= kPeMaxSections || table_end > first_data)
    return what +
           " has no room for another section header, and its resources are not its last section";
  target.name = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  target.characteristics = 0x40000040;  // initialized data, readable
  const uint64_t address = AlignUp(extent.image_end, layout.section_alignment);
  if (address > 0xFFFFFFFFu)
    return what + ": the resources would not fit in the image's address range";
  target.virtual_address = static_cast<uint32_t>(address);
  target.raw_offset = static_cast<uint32_t>(AlignUp(extent.file_end, layout.file_alignment));
  target.header_offset =
      layout.section_table_offset + layout.sections.size() * kPeSectionHeaderSize;
  target.raw_size = 0;
  image.resize(target.raw_offset, 0);
  // The old section stays where it is, unused, under another name: tools
  // that look for the resources by section name find the new ones.
  if (old && std::equal(old->name.begin(), old->name.end(), target.name.begin())) {
    static const char kUnused[8] = {'.', 'o', 'l', 'd', 'r', 's', 'r', 'c'};
    std::copy(kUnused, kUnused + 8,
              image.begin() + static_cast<std::ptrdiff_t>(old->header_offset));
  }
  PutU16(image.data() + layout.section_count_offset,
         static_cast<uint32_t>(layout.sections.size() + 1));
  return "";
}

// The section header, the data directory, SizeOfImage, the size of the
// initialized data and the checksum, for a table of `size` bytes in
// `raw_size` bytes of the file at `target`.
void FixHeaders(std::vector<unsigned char>& image, const PeLayout& layout, const PeSection& target,
                bool in_place, uint64_t size, uint64_t raw_size, uint64_t image_end) {
  unsigned char* h = image.data() + target.header_offset;
  for (size_t c = 0; c < target.name.size(); ++c) h[c] = target.name[c];
  PutU32(h + 8, static_cast<uint32_t>(size));
  PutU32(h + 12, target.virtual_address);
  PutU32(h + 16, static_cast<uint32_t>(raw_size));
  PutU32(h + 20, target.raw_offset);
  if (!in_place) {
    for (int i = 24; i < 36; ++i) h[i] = 0;
    PutU32(h + 36, target.characteristics);
  }

  unsigned char* directory = image.data() + layout.DirectoryOffset(kPeResourceDirectory);
  PutU32(directory, target.virtual_address);
  PutU32(directory + 4, static_cast<uint32_t>(size));

  const uint64_t new_end = uint64_t{target.virtual_address} + size;
  PutU32(image.data() + layout.size_of_image_offset,
         static_cast<uint32_t>(AlignUp(std::max(image_end, new_end), layout.section_alignment)));
  // Unsigned arithmetic wraps; the field is only a hint to the system.
  const uint32_t initialized = layout.size_of_initialized_data - (in_place ? target.raw_size : 0) +
                               static_cast<uint32_t>(raw_size);
  PutU32(image.data() + layout.initialized_data_offset, initialized);
  PutU32(image.data() + layout.checksum_offset,
         PeChecksum(image.data(), image.size(), layout.checksum_offset));
}

}  // namespace

std::string WriteResources(std::vector<unsigned char>& image, const ResourceTable& table,
                           const std::string& what) {
  const std::optional<PeLayout> read = ReadPeLayout(image.data(), image.size());
  if (!read) return what + " is not a Windows PE image";
  const PeLayout& layout = *read;
  std::string refused = Refusal(layout, what);
  if (!refused.empty()) return refused;

  const Extent extent = ExtentOf(layout);
  // Zero bytes after the last section are padding (a signature's, once it
  // was removed): they go.
  if (image.size() > extent.file_end &&
      std::all_of(image.begin() + static_cast<std::ptrdiff_t>(extent.file_end), image.end(),
                  [](unsigned char c) { return c == 0; }))
    image.resize(static_cast<size_t>(extent.file_end));
  if (image.size() != extent.file_end)
    return what + (image.size() > extent.file_end
                       ? " has data after its last section (a signature?); its resources can "
                         "only be changed in the loader as built"
                       : " is shorter than its sections say");

  PeSection target;
  bool in_place = false;
  std::string unplaced = PlaceTarget(image, layout, extent, what, target, in_place);
  if (!unplaced.empty()) return unplaced;

  const std::vector<unsigned char> bytes = table.Layout(target.virtual_address);
  const uint64_t raw_size = AlignUp(bytes.size(), layout.file_alignment);
  if (uint64_t{target.virtual_address} + raw_size > 0xFFFFFFFFu)
    return what + ": the resources would not fit in the image's address range";
  image.insert(image.end(), bytes.begin(), bytes.end());
  image.resize(static_cast<size_t>(target.raw_offset + raw_size), 0);
  FixHeaders(image, layout, target, in_place, bytes.size(), raw_size, extent.image_end);
  return "";
}

}  // namespace ldr
