#pragma once
// Reading a Windows PE image as bytes: where one of its resources lies.
// Every read is bounds-checked, so a damaged or hostile file only yields
// "not found". No operating-system calls.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace ldr {

inline constexpr uint32_t kResourceTypeVersion = 16;   // RT_VERSION
inline constexpr uint32_t kResourceTypeManifest = 24;  // RT_MANIFEST

// Where a resource's data lies in the file.
struct FileRange {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// The data of the resource with numeric type and numeric id (its first
// language), or nothing when the bytes are not a PE image, carry no such
// resource, or the resource's data does not lie wholly in the file's data of
// one section.
std::optional<FileRange> FindPeResource(const unsigned char* data, size_t size, uint32_t type,
                                        uint32_t id);

}  // namespace ldr
