#pragma once
// The resources of a Windows PE image: its three-level tree (type, name,
// language) read through a ByteSource, one resource looked up, or all of
// them read as a flat list, changed, laid out again and written back as the
// image's last section. kitpack's part of the PE module: it looks up a
// loader's manifest and a file's version, and brands a loader.
//
// A lookup reads only the directories on its way and forgives damage it does
// not pass; reading the whole table refuses any damage. Neither ever reads
// outside the resource section's file data (the tree) or the file (the
// data).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/byte_source.h"

namespace ldr {

inline constexpr uint32_t kRtBitmap = 2;
inline constexpr uint32_t kRtIcon = 3;
inline constexpr uint32_t kRtGroupIcon = 14;
inline constexpr uint32_t kRtVersion = 16;
inline constexpr uint32_t kRtManifest = 24;

// The tree's layout: directories of a 16-byte header and 8-byte entries,
// then 16-byte data entries; a set high bit marks a named entry or a
// subdirectory.
inline constexpr uint32_t kResourceHighBit = 0x80000000u;
inline constexpr uint64_t kResourceDirectoryHeaderSize = 16;
inline constexpr uint64_t kResourceDirectoryEntrySize = 8;
inline constexpr uint64_t kResourceDataEntrySize = 16;

// Where a resource's data lies in the file.
struct FileRange {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// The data of the resource with numeric type and numeric id (its first
// language), or nothing when the bytes are not a PE image, carry no such
// resource, or the resource's data does not lie wholly in the file's data of
// one section.
std::optional<FileRange> FindPeResource(ByteSource& file, uint64_t file_size, uint32_t type,
                                        uint32_t id);
std::optional<FileRange> FindPeResource(const unsigned char* data, size_t size, uint32_t type,
                                        uint32_t id);
// The same for the first resource of the type, whatever its name.
std::optional<FileRange> FindFirstPeResource(ByteSource& file, uint64_t file_size, uint32_t type);

// ASCII text as UTF-16, character by character.
std::u16string AsciiToUtf16(std::string_view ascii);

// A resource type or name: a number, or a text (UTF-16, kept as written).
struct ResourceId {
  uint32_t number = 0;
  std::u16string text;  // named when not empty

  static ResourceId Number(uint32_t n) { return {n, {}}; }
  static ResourceId Text(const std::string& ascii);
  bool named() const { return !text.empty(); }
  bool operator==(const ResourceId& o) const { return number == o.number && text == o.text; }
  bool operator<(const ResourceId& o) const;  // named first, by text; then by number
  std::string Shown() const;
};

struct Resource {
  ResourceId type;
  ResourceId name;
  uint32_t language = 0;
  uint32_t codepage = 0;
  std::vector<unsigned char> data;
};

class ResourceTable {
 public:
  // Reads the resource tree of an image into `table`, with each resource's
  // data unless told not to. Gives "" when done; else the message, naming
  // `what`: the image is not a PE image or its tree is damaged (entries
  // outside the section, loops, more than three levels). An image without
  // resources gives an empty table.
  static std::string Read(ByteSource& file, uint64_t file_size, const std::string& what,
                          ResourceTable& table, bool with_data = true);

  std::vector<Resource>& items() { return items_; }
  const std::vector<Resource>& items() const { return items_; }
  // The resources of a type and name, any language.
  std::vector<Resource*> Find(const ResourceId& type, const ResourceId& name);
  void Remove(const ResourceId& type, const ResourceId& name);

  // The section's bytes laid out for the virtual address `rva`: directories,
  // data entries, name texts, then each data block 8-byte aligned. Entries
  // are sorted as the Windows loader's binary search expects.
  std::vector<unsigned char> Layout(uint32_t rva) const;

 private:
  std::vector<Resource> items_;
};

// Puts `table` into the image as its resource section, with the data
// directory, SizeOfImage, the section sizes and the checksum fixed; code and
// data stay byte for byte as built. When the image's current resource
// section is its last, it is replaced there; otherwise a new last section
// ".rsrc" takes the table and the old one is left unused. Gives "" when
// done; else the message, naming `what`, why the image cannot take it (data
// after its last section, such as a signature, or no room for another
// section header).
std::string WriteResources(std::vector<unsigned char>& image, const ResourceTable& table,
                           const std::string& what);

}  // namespace ldr
