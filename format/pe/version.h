#pragma once
// The version resource of a Windows PE image (RT_VERSION, VS_VERSIONINFO):
// a tree of nodes, each wLength, wValueLength, wType, a key (UTF-16,
// zero-ended), padding to 32 bits, the value, padding, the children. A text
// value's length is counted in characters, a binary one's in bytes. The
// root's value is the fixed file information.
//
// kitpack reads a packed file's version from here and writes a branded
// loader's texts and versions back; one decoder of a node serves both.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/byte_source.h"

namespace ldr {

inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;
inline constexpr size_t kFixedFileInfoSize = 52;
// Offsets in the fixed file information of its two versions (8 bytes each).
inline constexpr size_t kFixedFileVersionAt = 8;
inline constexpr size_t kFixedProductVersionAt = 16;

struct VersionNode {
  std::u16string key;
  uint32_t type = 0;  // 1: text
  std::vector<unsigned char> value;
  std::vector<VersionNode> children;

  VersionNode* Child(const std::u16string& k);
  std::u16string Text() const;  // the value as text, up to its first zero
  void SetText(const std::u16string& s);
};

// The tree of a version resource. False when it is damaged, or its root is
// not VS_VERSION_INFO with fixed file information.
bool ParseVersionInfo(const std::vector<unsigned char>& resource, VersionNode& root);
// The bytes of a tree, or nothing when a node would be longer than 65535
// bytes.
std::optional<std::vector<unsigned char>> EmitVersionInfo(const VersionNode& root);
// A tree with empty fixed information (a Windows application), an empty US
// English string table and its translation.
VersionNode NewVersionInfo();
// Sets one of the fixed versions (kFixedFileVersionAt, kFixedProductVersionAt)
// from four numbers.
void SetFixedVersion(VersionNode& root, size_t at, const std::vector<uint16_t>& parts);

// "a.b.c.d" from the fixed file information of a version resource (only its
// first bytes are needed), or "" when it carries none.
std::string FixedFileVersion(const unsigned char* resource, size_t size);

// The file version of a PE file: the fixed file version of its first
// RT_VERSION resource, or "" when the file is not a PE image or carries no
// version. Reads the headers, the resource directories on the way and the
// version's first bytes; every read is bounds-checked, so a damaged or
// hostile file only yields "".
std::string PeFileVersion(ByteSource& file, uint64_t file_size);
std::string PeFileVersion(const unsigned char* data, size_t size);

}  // namespace ldr
