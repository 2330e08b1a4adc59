#include "kitpack/pe_resources.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "format/pe_layout.h"
#include "format/shown_name.h"
#include "kitpack/kit_error.h"

namespace kitpack {

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint64_t kDirectoryHeaderSize = 16;
constexpr uint64_t kDirectoryEntrySize = 8;
constexpr uint64_t kDataEntrySize = 16;
// A tree with more entries than this is taken as damaged: it bounds the work
// a hostile image can ask for (three levels of 65,535 entries each).
constexpr size_t kMaxEntries = 65536;

uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) & ~(alignment - 1); }

// The resource tree of one image, read with every offset checked against
// the bytes of the section that holds the tree.
class TreeReader {
 public:
  TreeReader(const std::vector<unsigned char>& image, const ldr::PeLayout& layout,
             uint64_t root_offset, uint64_t area_size, const std::string& what)
      : image_(image), layout_(layout), root_(root_offset), area_(area_size), what_(what) {}

  void Read(std::vector<Resource>& out) { ReadDirectory(0, 0, {}, {}, out); }

 private:
  [[noreturn]] void Damaged(const std::string& why) const {
    throw KitError("the resources of " + what_ + " are damaged: " + why);
  }

  const unsigned char* At(uint64_t offset, uint64_t length, const char* thing) const {
    if (offset > area_ || length > area_ - offset)
      Damaged(std::string(thing) + " at offset " + std::to_string(offset) +
              " lies outside the resource section");
    return image_.data() + root_ + offset;
  }

  ResourceId Id(uint32_t name_field) const {
    if (!(name_field & kHighBit)) return ResourceId::Number(name_field);
    const uint64_t at = name_field & ~kHighBit;
    const uint32_t length = ldr::PeGet16(At(at, 2, "a name"));
    const unsigned char* chars = At(at + 2, uint64_t{length} * 2, "a name");
    ResourceId id;
    for (uint32_t i = 0; i < length; ++i)
      id.text.push_back(static_cast<char16_t>(ldr::PeGet16(chars + size_t{2} * i)));
    if (id.text.empty()) Damaged("an empty resource name");
    return id;
  }

  void ReadDirectory(uint64_t offset, int level, const ResourceId& type, const ResourceId& name,
                     std::vector<Resource>& out) {
    const unsigned char* header = At(offset, kDirectoryHeaderSize, "a directory");
    const uint32_t count = ldr::PeGet16(header + 12) + ldr::PeGet16(header + 14);
    At(offset + kDirectoryHeaderSize, uint64_t{count} * kDirectoryEntrySize, "a directory");
    for (uint32_t i = 0; i < count; ++i) {
      if (++entries_ > kMaxEntries) Damaged("more than 65536 entries");
      const unsigned char* e =
          image_.data() + root_ + offset + kDirectoryHeaderSize + uint64_t{i} * kDirectoryEntrySize;
      const uint32_t name_field = ldr::PeGet32(e);
      const uint32_t target = ldr::PeGet32(e + 4);
      const bool subdirectory = (target & kHighBit) != 0;
      if (level < 2) {
        if (!subdirectory) Damaged("a data entry where a directory belongs");
        const ResourceId id = Id(name_field);
        ReadDirectory(target & ~kHighBit, level + 1, level == 0 ? id : type, level == 1 ? id : name,
                      out);
        continue;
      }
      if (subdirectory) Damaged("more than three levels");
      if (name_field & kHighBit) Damaged("a language given by name");
      const unsigned char* data_entry = At(target, kDataEntrySize, "a data entry");
      const uint32_t rva = ldr::PeGet32(data_entry);
      const uint32_t size = ldr::PeGet32(data_entry + 4);
      const std::optional<uint64_t> at = layout_.FileOffset(rva, size);
      if (!at || *at > image_.size() || size > image_.size() - *at)
        Damaged("the data of a resource lies outside the file");
      // Real trees never share data between resources, so together it
      // fits in the file; this bounds what a hostile tree can make us copy.
      data_bytes_ += size;
      if (data_bytes_ > image_.size()) Damaged("its resources hold more data than the file");
      Resource r;
      r.type = type;
      r.name = name;
      r.language = name_field;
      r.codepage = ldr::PeGet32(data_entry + 8);
      r.data.assign(image_.begin() + static_cast<std::ptrdiff_t>(*at),
                    image_.begin() + static_cast<std::ptrdiff_t>(*at + size));
      out.push_back(std::move(r));
    }
  }

  const std::vector<unsigned char>& image_;
  const ldr::PeLayout& layout_;
  uint64_t root_;
  uint64_t area_;
  const std::string& what_;
  size_t entries_ = 0;
  uint64_t data_bytes_ = 0;
};

ldr::PeLayout LayoutOf(const std::vector<unsigned char>& image, const std::string& what) {
  std::optional<ldr::PeLayout> layout = ldr::ReadPeLayout(image.data(), image.size());
  if (!layout) throw KitError(what + " is not a Windows PE image");
  return *layout;
}

void Put(std::vector<unsigned char>& out, uint64_t at, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out[at + static_cast<uint64_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

ResourceId ResourceId::Text(const std::string& ascii) {
  ResourceId id;
  for (char c : ascii) id.text.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return id;
}

bool ResourceId::operator<(const ResourceId& o) const {
  if (named() != o.named()) return named();
  if (named()) return text < o.text;
  return number < o.number;
}

std::string ResourceId::Shown() const {
  if (!named()) return std::to_string(number);
  return ldr::ShownName(text);
}

ResourceTable ResourceTable::Read(const std::vector<unsigned char>& image,
                                  const std::string& what) {
  const ldr::PeLayout layout = LayoutOf(image, what);
  ResourceTable table;
  const std::optional<std::array<uint32_t, 2>> directory =
      layout.Directory(image.data(), ldr::kPeResourceDirectory);
  if (!directory || (*directory)[0] == 0) return table;
  const uint32_t rva = (*directory)[0];
  const ldr::PeSection* section = layout.SectionAt(rva);
  const std::optional<uint64_t> root = layout.FileOffset(rva, kDirectoryHeaderSize);
  if (!section || !root || *root > image.size())
    throw KitError("the resources of " + what +
                   " are damaged: the resource table lies outside "
                   "the file's sections");
  // The tree may use every byte of the section's file data after its root.
  const uint64_t section_end = uint64_t{section->raw_offset} + section->raw_size;
  const uint64_t area = std::min<uint64_t>(section_end, image.size()) - *root;
  TreeReader(image, layout, *root, area, what).Read(table.items_);
  return table;
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

std::vector<unsigned char> ResourceTable::Layout(uint32_t rva) const {
  // type -> name -> language -> resource
  std::map<ResourceId, std::map<ResourceId, std::map<uint32_t, const Resource*>>> tree;
  for (const Resource& r : items_) tree[r.type][r.name][r.language] = &r;

  // Sizes first: directories, then data entries, then names, then data.
  uint64_t directories = kDirectoryHeaderSize + tree.size() * kDirectoryEntrySize;
  size_t leaves = 0;
  for (const auto& [type, names] : tree) {
    directories += kDirectoryHeaderSize + names.size() * kDirectoryEntrySize;
    for (const auto& [name, languages] : names) {
      directories += kDirectoryHeaderSize + languages.size() * kDirectoryEntrySize;
      leaves += languages.size();
    }
  }
  const uint64_t entries_at = directories;
  uint64_t strings_at = entries_at + leaves * kDataEntrySize;
  uint64_t strings_size = 0;
  std::map<std::u16string, uint64_t> string_offsets;
  auto note_string = [&](const ResourceId& id) {
    if (!id.named() || string_offsets.count(id.text)) return;
    string_offsets[id.text] = strings_at + strings_size;
    strings_size += 2 + 2 * id.text.size();
  };
  for (const auto& [type, names] : tree) {
    note_string(type);
    for (const auto& name_languages : names) note_string(name_languages.first);
  }
  uint64_t data_at = AlignUp(strings_at + strings_size, 8);
  uint64_t total = data_at;
  for (const Resource& r : items_) total = AlignUp(total + r.data.size(), 8);

  std::vector<unsigned char> out(static_cast<size_t>(total), 0);
  for (const auto& [text, at] : string_offsets) {
    Put(out, at, static_cast<uint32_t>(text.size()), 2);
    for (size_t i = 0; i < text.size(); ++i) Put(out, at + 2 + 2 * i, text[i], 2);
  }
  auto name_field = [&](const ResourceId& id) {
    return id.named() ? static_cast<uint32_t>(kHighBit | string_offsets[id.text]) : id.number;
  };
  auto directory_header = [&](uint64_t at, size_t named, size_t numbered) {
    Put(out, at + 12, static_cast<uint32_t>(named), 2);
    Put(out, at + 14, static_cast<uint32_t>(numbered), 2);
  };
  auto count_named = [](const auto& map) {
    size_t n = 0;
    for (const auto& kv : map)
      if (kv.first.named()) ++n;
    return n;
  };

  // Directories breadth first: the root, every type's, every name's.
  uint64_t next_directory = kDirectoryHeaderSize + tree.size() * kDirectoryEntrySize;
  uint64_t next_entry = entries_at;
  directory_header(0, count_named(tree), tree.size() - count_named(tree));
  size_t t = 0;
  std::vector<std::pair<uint64_t, const std::map<ResourceId, std::map<uint32_t, const Resource*>>*>>
      type_directories;
  for (const auto& [type, names] : tree) {
    const uint64_t e = kDirectoryHeaderSize + t++ * kDirectoryEntrySize;
    Put(out, e, name_field(type), 4);
    Put(out, e + 4, static_cast<uint32_t>(kHighBit | next_directory), 4);
    type_directories.push_back({next_directory, &names});
    next_directory += kDirectoryHeaderSize + names.size() * kDirectoryEntrySize;
  }
  std::vector<std::pair<uint64_t, const std::map<uint32_t, const Resource*>*>> name_directories;
  for (const auto& [at, names] : type_directories) {
    directory_header(at, count_named(*names), names->size() - count_named(*names));
    size_t n = 0;
    for (const auto& [name, languages] : *names) {
      const uint64_t e = at + kDirectoryHeaderSize + n++ * kDirectoryEntrySize;
      Put(out, e, name_field(name), 4);
      Put(out, e + 4, static_cast<uint32_t>(kHighBit | next_directory), 4);
      name_directories.push_back({next_directory, &languages});
      next_directory += kDirectoryHeaderSize + languages.size() * kDirectoryEntrySize;
    }
  }
  for (const auto& [at, languages] : name_directories) {
    directory_header(at, 0, languages->size());
    size_t n = 0;
    for (const auto& [language, resource] : *languages) {
      const uint64_t e = at + kDirectoryHeaderSize + n++ * kDirectoryEntrySize;
      Put(out, e, language, 4);
      Put(out, e + 4, static_cast<uint32_t>(next_entry), 4);
      std::copy(resource->data.begin(), resource->data.end(),
                out.begin() + static_cast<std::ptrdiff_t>(data_at));
      Put(out, next_entry, static_cast<uint32_t>(rva + data_at), 4);
      Put(out, next_entry + 4, static_cast<uint32_t>(resource->data.size()), 4);
      Put(out, next_entry + 8, resource->codepage, 4);
      next_entry += kDataEntrySize;
      data_at = AlignUp(data_at + resource->data.size(), 8);
    }
  }
  return out;
}

void WriteResources(std::vector<unsigned char>& image, const ResourceTable& table,
                    const std::string& what) {
  ldr::PeLayout layout = LayoutOf(image, what);
  if (layout.directory_count <= ldr::kPeResourceDirectory)
    throw KitError(what + " has no resource entry among its data directories");
  if (layout.sections.empty()) throw KitError(what + " has no sections");
  auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!power_of_two(layout.file_alignment) || !power_of_two(layout.section_alignment) ||
      layout.file_alignment > 0x10000 || layout.section_alignment < layout.file_alignment)
    throw KitError(what + " has alignments no Windows image has");

  uint64_t file_end = 0;
  uint64_t image_end = 0;
  size_t last_in_file = 0, last_in_memory = 0;
  for (size_t i = 0; i < layout.sections.size(); ++i) {
    const ldr::PeSection& s = layout.sections[i];
    const uint64_t end = uint64_t{s.raw_offset} + s.raw_size;
    if (s.raw_size != 0 && end >= file_end) file_end = end, last_in_file = i;
    const uint64_t vend = uint64_t{s.virtual_address} + std::max(s.virtual_size, s.raw_size);
    if (vend >= image_end) image_end = vend, last_in_memory = i;
  }
  // Zero bytes after the last section are padding (a signature's, once it
  // was removed): they go.
  if (image.size() > file_end && std::all_of(image.begin() + static_cast<std::ptrdiff_t>(file_end),
                                             image.end(), [](unsigned char c) { return c == 0; }))
    image.resize(static_cast<size_t>(file_end));
  if (image.size() != file_end)
    throw KitError(what + (image.size() > file_end
                               ? " has data after its last section (a signature?); its resources "
                                 "can only be changed in the loader as built"
                               : " is shorter than its sections say"));

  const std::array<uint32_t, 2> old_directory =
      *layout.Directory(image.data(), ldr::kPeResourceDirectory);
  const ldr::PeSection* old = old_directory[0] ? layout.SectionAt(old_directory[0]) : nullptr;
  const size_t old_index = old ? static_cast<size_t>(old - layout.sections.data()) : 0;
  // The resource section is replaced where it is when it is the image's last
  // in the file and in memory and holds nothing but the resource table.
  const bool in_place = old && old_index == last_in_file && old_index == last_in_memory &&
                        old->virtual_address == old_directory[0];

  ldr::PeSection target;
  if (in_place) {
    target = *old;
    image.resize(target.raw_offset);
  } else {
    const uint64_t table_end =
        layout.section_table_offset + (layout.sections.size() + 1) * ldr::kPeSectionHeaderSize;
    uint64_t first_data = layout.size_of_headers;
    for (const ldr::PeSection& s : layout.sections)
      if (s.raw_size != 0) first_data = std::min<uint64_t>(first_data, s.raw_offset);
    if (layout.sections.size() >= ldr::kPeMaxSections || table_end > first_data)
      throw KitError(what +
                     " has no room for another section header, and its resources are not "
                     "its last section");
    target.name = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    target.characteristics = 0x40000040;  // initialized data, readable
    const uint64_t address = AlignUp(image_end, layout.section_alignment);
    if (address > 0xFFFFFFFFu)
      throw KitError(what + ": the resources would not fit in the image's address range");
    target.virtual_address = static_cast<uint32_t>(address);
    target.raw_offset = static_cast<uint32_t>(AlignUp(file_end, layout.file_alignment));
    target.header_offset =
        layout.section_table_offset + layout.sections.size() * ldr::kPeSectionHeaderSize;
    target.raw_size = 0;
    image.resize(target.raw_offset, 0);
    // The old section stays where it is, unused, under another name: tools
    // that look for the resources by section name find the new ones.
    if (old && std::equal(old->name.begin(), old->name.end(), target.name.begin())) {
      static const char kUnused[8] = {'.', 'o', 'l', 'd', 'r', 's', 'r', 'c'};
      std::copy(kUnused, kUnused + 8,
                image.begin() + static_cast<std::ptrdiff_t>(old->header_offset));
    }
    ldr::PePut16(image.data() + layout.section_count_offset,
                 static_cast<uint32_t>(layout.sections.size() + 1));
  }

  const std::vector<unsigned char> bytes = table.Layout(target.virtual_address);
  const uint64_t raw_size = AlignUp(bytes.size(), layout.file_alignment);
  if (uint64_t{target.virtual_address} + raw_size > 0xFFFFFFFFu)
    throw KitError(what + ": the resources would not fit in the image's address range");
  image.insert(image.end(), bytes.begin(), bytes.end());
  image.resize(static_cast<size_t>(target.raw_offset + raw_size), 0);

  unsigned char* h = image.data() + target.header_offset;
  for (size_t c = 0; c < target.name.size(); ++c) h[c] = target.name[c];
  ldr::PePut32(h + 8, static_cast<uint32_t>(bytes.size()));
  ldr::PePut32(h + 12, target.virtual_address);
  ldr::PePut32(h + 16, static_cast<uint32_t>(raw_size));
  ldr::PePut32(h + 20, target.raw_offset);
  if (!in_place) {
    for (int i = 24; i < 36; ++i) h[i] = 0;
    ldr::PePut32(h + 36, target.characteristics);
  }

  unsigned char* directory =
      image.data() + layout.directories_offset + uint64_t{ldr::kPeResourceDirectory} * 8;
  ldr::PePut32(directory, target.virtual_address);
  ldr::PePut32(directory + 4, static_cast<uint32_t>(bytes.size()));

  const uint64_t new_end = uint64_t{target.virtual_address} + bytes.size();
  ldr::PePut32(
      image.data() + layout.size_of_image_offset,
      static_cast<uint32_t>(AlignUp(std::max(image_end, new_end), layout.section_alignment)));
  // Unsigned arithmetic wraps; the field is only a hint to the system.
  const uint32_t initialized = layout.size_of_initialized_data - (in_place ? target.raw_size : 0) +
                               static_cast<uint32_t>(raw_size);
  ldr::PePut32(image.data() + layout.initialized_data_offset, initialized);
  ldr::PePut32(image.data() + layout.checksum_offset,
               ldr::PeChecksum(image.data(), image.size(), layout.checksum_offset));
}

}  // namespace kitpack
