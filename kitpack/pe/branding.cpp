#include "kitpack/pe/branding.h"

#include <algorithm>
#include <set>

#include "format/pe/layout.h"
#include "format/pe/version.h"
#include "format/utf8.h"
#include "kitpack/host/files.h"
#include "kitpack/kit_error.h"

namespace kitpack {

namespace {

constexpr uint64_t kMaxBrandingFile = 16u << 20;
constexpr uint32_t kDefaultLanguage = 0x0409;  // US English
const char kMainIcon[] = "MAINICON";
const char kSplashBitmap[] = "BITMAP1";

uint32_t Get16(const std::vector<unsigned char>& b, size_t at) { return ldr::GetU16(&b[at]); }
uint32_t Get32(const std::vector<unsigned char>& b, size_t at) { return ldr::GetU32(&b[at]); }
int32_t GetSigned32(const std::vector<unsigned char>& b, size_t at) {
  return ldr::GetInt32(&b[at]);
}

std::vector<unsigned char> ReadBrandingFile(const std::string& path) {
  const FileInfo info = StatRegularFile(path);
  if (info.size > kMaxBrandingFile)
    throw KitError(path + " is " + std::to_string(info.size) +
                   " bytes; icon and picture files over 16 MiB are not taken");
  return ReadWholeFile(path);
}

const std::vector<unsigned char>* GroupOf(ResourceTable& table, const ResourceId& name) {
  std::vector<Resource*> found = table.Find(ResourceId::Number(kRtGroupIcon), name);
  return found.empty() ? nullptr : &found.front()->data;
}

// The icon ids a group names.
std::vector<uint32_t> GroupIconIds(const std::vector<unsigned char>& group) {
  std::vector<uint32_t> ids;
  if (group.size() < 6) return ids;
  const size_t count = Get16(group, 4);
  for (size_t i = 0; i < count && 6 + (i + 1) * 14 <= group.size(); ++i)
    ids.push_back(Get16(group, 6 + i * 14 + 12));
  return ids;
}

uint32_t LanguageOf(ResourceTable& table, uint32_t type, const ResourceId& name) {
  std::vector<Resource*> found = table.Find(ResourceId::Number(type), name);
  if (!found.empty()) return found.front()->language;
  for (const Resource& r : table.items())
    if (r.type == ResourceId::Number(kRtVersion) || r.type == ResourceId::Number(kRtGroupIcon))
      return r.language;
  return kDefaultLanguage;
}

void ReplaceIcon(ResourceTable& table, const std::vector<IconImage>& images) {
  const ResourceId group_name = ResourceId::Text(kMainIcon);
  const uint32_t language = LanguageOf(table, kRtGroupIcon, group_name);
  // The old group's images go, unless another group shows them too.
  std::set<uint32_t> dropped;
  if (const std::vector<unsigned char>* old = GroupOf(table, group_name))
    for (uint32_t id : GroupIconIds(*old)) dropped.insert(id);
  table.Remove(ResourceId::Number(kRtGroupIcon), group_name);
  for (const Resource& r : table.items())
    if (r.type == ResourceId::Number(kRtGroupIcon))
      for (uint32_t id : GroupIconIds(r.data)) dropped.erase(id);
  for (uint32_t id : dropped) table.Remove(ResourceId::Number(kRtIcon), ResourceId::Number(id));
  std::set<uint32_t> used;
  for (const Resource& r : table.items())
    if (r.type == ResourceId::Number(kRtIcon) && !r.name.named()) used.insert(r.name.number);

  std::vector<unsigned char> group = {0, 0, 1, 0, 0, 0};
  ldr::PutU16(&group[4], static_cast<uint32_t>(images.size()));
  uint32_t next = 1;
  for (const IconImage& image : images) {
    while (used.count(next)) ++next;
    used.insert(next);
    Resource icon;
    icon.type = ResourceId::Number(kRtIcon);
    icon.name = ResourceId::Number(next);
    icon.language = language;
    icon.data = image.data;
    table.items().push_back(std::move(icon));
    // GRPICONDIRENTRY: the .ico entry's first 12 bytes, then the icon's id.
    group.insert(group.end(), image.entry.begin(), image.entry.begin() + 12);
    group.push_back(static_cast<unsigned char>(next));
    group.push_back(static_cast<unsigned char>(next >> 8));
  }
  Resource r;
  r.type = ResourceId::Number(kRtGroupIcon);
  r.name = group_name;
  r.language = language;
  r.data = std::move(group);
  table.items().push_back(std::move(r));
}

void ReplacePicture(ResourceTable& table, std::vector<unsigned char> bitmap) {
  const ResourceId name = ResourceId::Text(kSplashBitmap);
  Resource r;
  r.type = ResourceId::Number(kRtBitmap);
  r.name = name;
  r.language = LanguageOf(table, kRtBitmap, name);
  r.data = std::move(bitmap);
  table.Remove(r.type, name);
  table.items().push_back(std::move(r));
}

}  // namespace

bool Branding::Any() const {
  return !icon.empty() || !picture.empty() || product_name || company || description ||
         product_version || file_version || copyright || original_filename;
}

std::vector<IconImage> ReadIcon(const std::vector<unsigned char>& file, const std::string& path) {
  const std::string bad = path + " is not an icon file: ";
  if (file.size() < 6 || Get16(file, 0) != 0) throw KitError(bad + "it does not start like one");
  if (Get16(file, 2) == 2) throw KitError(bad + "it is a cursor");
  if (Get16(file, 2) != 1) throw KitError(bad + "it does not start like one");
  const size_t count = Get16(file, 4);
  if (count == 0) throw KitError(bad + "it holds no images");
  if (6 + count * 16 > file.size()) throw KitError(bad + "its directory is cut short");
  std::vector<IconImage> images;
  for (size_t i = 0; i < count; ++i) {
    const size_t e = 6 + i * 16;
    const uint64_t size = Get32(file, e + 8), offset = Get32(file, e + 12);
    const std::string which = "image " + std::to_string(i + 1) + " of " + path;
    if (offset > file.size() || size > file.size() - offset || size < 40)
      throw KitError(which + " lies outside the file");
    IconImage image;
    image.entry.assign(file.begin() + static_cast<std::ptrdiff_t>(e),
                       file.begin() + static_cast<std::ptrdiff_t>(e + 16));
    image.data.assign(file.begin() + static_cast<std::ptrdiff_t>(offset),
                      file.begin() + static_cast<std::ptrdiff_t>(offset + size));
    static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    const bool png = std::equal(kPng, kPng + 8, image.data.begin());
    if (png) {
      if (Get16(image.entry, 4) == 0) ldr::PutU16(&image.entry[4], 1);
      if (Get16(image.entry, 6) == 0) ldr::PutU16(&image.entry[6], 32);
    } else if (Get32(image.data, 0) == 40) {
      // Planes and bit count as the image itself says, where the directory
      // leaves them out: Windows chooses an image by them.
      if (Get16(image.entry, 4) == 0) ldr::PutU16(&image.entry[4], Get16(image.data, 12));
      if (Get16(image.entry, 6) == 0) ldr::PutU16(&image.entry[6], Get16(image.data, 14));
    } else {
      throw KitError(which + " is neither a PNG nor a bitmap");
    }
    images.push_back(std::move(image));
  }
  return images;
}

std::vector<unsigned char> BitmapResource(const std::vector<unsigned char>& file,
                                          const std::string& path) {
  const std::string bad = path + " is not a BMP picture: ";
  if (file.size() < 14 + 40 || file[0] != 'B' || file[1] != 'M')
    throw KitError(bad + "it does not start with \"BM\" and a bitmap header");
  const uint64_t pixels_at = Get32(file, 10);
  const uint64_t header_size = Get32(file, 14);
  if (header_size != 40 && header_size != 52 && header_size != 56 && header_size != 108 &&
      header_size != 124)
    throw KitError(bad + "its header (" + std::to_string(header_size) +
                   " bytes) is not a Windows bitmap header");
  const int32_t width = GetSigned32(file, 18), height = GetSigned32(file, 22);
  const uint32_t planes = Get16(file, 26), bits = Get16(file, 28);
  const uint32_t compression = Get32(file, 30);
  if (width != 32 || (height != 32 && height != -32))
    throw KitError(path + " is " + std::to_string(width) + "x" +
                   std::to_string(height < 0 ? -static_cast<int64_t>(height) : height) +
                   " pixels; the loader's picture must be 32x32");
  if (planes != 1 ||
      (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
    throw KitError(bad + std::to_string(bits) + " bits per pixel is not a bitmap format");
  const bool bitfields = compression == 3 && (bits == 16 || bits == 32);
  if (compression != 0 && !bitfields)
    throw KitError(path + " is compressed (RLE, JPEG or PNG inside a BMP); save it uncompressed");
  const uint64_t colours_used = Get32(file, 46);
  const uint64_t most_colours = bits <= 8 ? uint64_t{1} << bits : 0;
  if (bits <= 8 && colours_used > most_colours)
    throw KitError(bad + "its colour table is longer than " + std::to_string(bits) +
                   " bits can index");
  const uint64_t colours = colours_used != 0 ? colours_used : most_colours;
  const uint64_t masks = bitfields && header_size == 40 ? 12 : 0;
  const uint64_t head = header_size + masks + colours * 4;
  const uint64_t pixel_bytes = (uint64_t{32} * bits + 31) / 32 * 4 * 32;
  if (14 + head > file.size() || 14 + head > pixels_at)
    throw KitError(bad + "its colour table runs into its pixels or past the file's end");
  if (pixels_at > file.size() || pixel_bytes > file.size() - pixels_at)
    throw KitError(bad + "it ends before its pixels do");
  std::vector<unsigned char> out(file.begin() + 14,
                                 file.begin() + static_cast<std::ptrdiff_t>(14 + head));
  out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(pixels_at),
             file.begin() + static_cast<std::ptrdiff_t>(pixels_at + pixel_bytes));
  ldr::PutU32(&out[20], static_cast<uint32_t>(pixel_bytes));  // biSizeImage
  return out;
}

std::optional<std::vector<uint16_t>> ParseVersionNumbers(const std::string& text) {
  std::vector<uint16_t> parts;
  size_t i = 0;
  while (true) {
    size_t j = i;
    uint32_t v = 0;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9' && j - i < 6)
      v = v * 10 + static_cast<uint32_t>(text[j++] - '0');
    if (j == i || v > 0xFFFF || parts.size() == 4) return std::nullopt;
    parts.push_back(static_cast<uint16_t>(v));
    if (j == text.size()) break;
    if (text[j] != '.') return std::nullopt;
    i = j + 1;
  }
  parts.resize(4, 0);
  return parts;
}

std::vector<unsigned char> VersionResource(const std::vector<unsigned char>& existing,
                                           const Branding& b) {
  ldr::VersionNode root;
  if (existing.empty()) {
    root = ldr::NewVersionInfo();
  } else if (!ldr::ParseVersionInfo(existing, root)) {
    throw KitError("the loader's version resource is damaged");
  }
  const std::pair<const char*, const std::optional<std::string>*> texts[] = {
      {"CompanyName", &b.company},
      {"FileDescription", &b.description},
      {"FileVersion", &b.file_version},
      {"LegalCopyright", &b.copyright},
      {"OriginalFilename", &b.original_filename},
      {"ProductName", &b.product_name},
      {"ProductVersion", &b.product_version}};
  ldr::VersionNode* strings = root.Child(ldr::AsciiToUtf16("StringFileInfo"));
  if (!strings) {
    root.children.insert(root.children.begin(), ldr::NewVersionInfo().children[0]);
    strings = &root.children[0];
  }
  if (strings->children.empty())
    strings->children.push_back(ldr::NewVersionInfo().children[0].children[0]);
  for (ldr::VersionNode& table : strings->children) {
    for (const auto& [key, value] : texts) {
      if (!*value) continue;
      const std::optional<std::u16string> text = ldr::Utf16FromUtf8(**value);
      if (!text) throw KitError(std::string("the text for ") + key + " is not valid UTF-8");
      ldr::VersionNode* node = table.Child(ldr::AsciiToUtf16(key));
      if (!node) {
        table.children.emplace_back();
        node = &table.children.back();
        node->key = ldr::AsciiToUtf16(key);
      }
      node->type = 1;
      node->SetText(*text);
    }
  }
  if (b.file_version)
    ldr::SetFixedVersion(root, ldr::kFixedFileVersionAt, *ParseVersionNumbers(*b.file_version));
  if (b.product_version)
    ldr::SetFixedVersion(root, ldr::kFixedProductVersionAt,
                         *ParseVersionNumbers(*b.product_version));
  std::optional<std::vector<unsigned char>> out = ldr::EmitVersionInfo(root);
  if (!out)
    throw KitError("the version texts are too long: a version resource holds at most 65535 bytes");
  return std::move(*out);
}

std::vector<std::pair<std::string, std::string>> VersionStrings(
    const std::vector<unsigned char>& resource) {
  std::vector<std::pair<std::string, std::string>> out;
  ldr::VersionNode root;
  if (!ldr::ParseVersionInfo(resource, root)) return out;
  ldr::VersionNode* strings = root.Child(ldr::AsciiToUtf16("StringFileInfo"));
  if (!strings || strings->children.empty()) return out;
  for (const ldr::VersionNode& s : strings->children.front().children)
    out.emplace_back(ldr::Utf8FromUtf16(s.key), ldr::Utf8FromUtf16(s.Text()));
  return out;
}

void ApplyBranding(std::vector<unsigned char>& loader, const Branding& b,
                   const std::string& loader_path) {
  if (!b.Any()) return;
  for (const auto& [option, value] : {std::pair<const char*, const std::optional<std::string>*>{
                                          "--file-version", &b.file_version},
                                      {"--product-version", &b.product_version}}) {
    if (*value && !ParseVersionNumbers(**value))
      throw KitError(std::string(option) + " \"" + **value +
                     "\" is not a version: give one to four numbers 0-65535 joined by dots, "
                     "such as 2.1.0");
  }
  const std::string what = "the loader " + loader_path;
  if (!ldr::ReadPeLayout(loader.data(), loader.size()))
    throw KitError(what +
                   " is not a Windows PE image: --icon, --picture and the version options "
                   "need loader.exe");
  ResourceTable table = ReadResources(loader, what);
  if (!b.icon.empty()) ReplaceIcon(table, ReadIcon(ReadBrandingFile(b.icon), b.icon));
  if (!b.picture.empty())
    ReplacePicture(table, BitmapResource(ReadBrandingFile(b.picture), b.picture));
  if (b.product_name || b.company || b.description || b.product_version || b.file_version ||
      b.copyright || b.original_filename) {
    std::vector<Resource*> versions =
        table.Find(ResourceId::Number(kRtVersion), ResourceId::Number(1));
    if (versions.empty()) {
      Resource r;
      r.type = ResourceId::Number(kRtVersion);
      r.name = ResourceId::Number(1);
      r.language = LanguageOf(table, kRtVersion, r.name);
      r.data = VersionResource({}, b);
      table.items().push_back(std::move(r));
    } else {
      for (Resource* r : versions) r->data = VersionResource(r->data, b);
    }
  }
  WriteResourceTable(loader, table, what);
}

}  // namespace kitpack
