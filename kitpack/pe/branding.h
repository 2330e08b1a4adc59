#pragma once
// A kit author's own icon, picture and version texts, put into the kit's
// copy of the loader through its resources. The loader's code stays as
// built.

#include <optional>
#include <string>
#include <vector>

#include "kitpack/pe/pe_resources.h"

namespace kitpack {

struct Branding {
  std::string icon;     // an .ico file: replaces the icon group MAINICON
  std::string picture;  // a 32x32 .bmp file: replaces the bitmap BITMAP1
  // The version resource's texts; the two versions set its fixed file info
  // too.
  std::optional<std::string> product_name, company, description, product_version, file_version,
      copyright, original_filename;

  bool Any() const;
};

// Raises KitError naming `loader_path` or the file at fault.
void ApplyBranding(std::vector<unsigned char>& loader, const Branding& branding,
                   const std::string& loader_path);

// --- The pieces, for tests --------------------------------------------------

struct IconImage {
  std::vector<unsigned char> entry;  // the 16-byte directory entry of the .ico
  std::vector<unsigned char> data;
};
// The images of an .ico file, each checked (a PNG or a bitmap, inside the
// file); `path` names the file in messages.
std::vector<IconImage> ReadIcon(const std::vector<unsigned char>& file, const std::string& path);

// The RT_BITMAP resource of a .bmp file: the file without its 14-byte file
// header, the pixels moved to follow the colour table. Refuses anything but
// an uncompressed 32x32 picture.
std::vector<unsigned char> BitmapResource(const std::vector<unsigned char>& file,
                                          const std::string& path);

// "1.2.3" -> {1, 2, 3, 0}: one to four numbers 0-65535 joined by dots.
std::optional<std::vector<uint16_t>> ParseVersionNumbers(const std::string& text);

// The version resource `existing` (empty for none) with the branding's
// texts set in every string table and its fixed versions.
std::vector<unsigned char> VersionResource(const std::vector<unsigned char>& existing,
                                           const Branding& branding);

// The texts of a version resource's first string table, by key; for tests
// and messages.
std::vector<std::pair<std::string, std::string>> VersionStrings(
    const std::vector<unsigned char>& resource);

}  // namespace kitpack
