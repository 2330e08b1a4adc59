#pragma once
// The resources of a Windows PE image: read from its resource section as a
// flat list, changed, laid out again and written back as the image's last
// section, with the data directory, SizeOfImage, the section sizes and the
// checksum fixed. Only the resource section changes; code and data stay
// byte for byte as built.

#include <cstdint>
#include <string>
#include <vector>

namespace kitpack {

inline constexpr uint32_t kRtIcon = 3;
inline constexpr uint32_t kRtBitmap = 2;
inline constexpr uint32_t kRtGroupIcon = 14;
inline constexpr uint32_t kRtVersion = 16;
inline constexpr uint32_t kRtManifest = 24;

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
  // Reads the resource tree of an image. Raises KitError (naming `what`) when
  // the image is not a PE image or its tree is damaged: entries outside the
  // section, loops, more than three levels. An image without resources gives
  // an empty table.
  static ResourceTable Read(const std::vector<unsigned char>& image, const std::string& what);

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

// Puts `table` into the image as its resource section. When the image's
// current resource section is its last, it is replaced there; otherwise a new
// last section ".rsrc" takes the table and the old one is left unused.
// Raises KitError (naming `what`) when the image cannot take it: data after
// its last section (a signature), or no room for another section header.
void WriteResources(std::vector<unsigned char>& image, const ResourceTable& table,
                    const std::string& what);

}  // namespace kitpack
