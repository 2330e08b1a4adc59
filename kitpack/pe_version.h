#pragma once
// The file version of a Windows PE file, read from its version resource.

#include <cstddef>
#include <string>

namespace kitpack {

// "a.b.c.d" from the VS_FIXEDFILEINFO of the file's RT_VERSION resource, or
// the empty text when the bytes are not a PE file or carry no version. Every
// read is bounds-checked: a damaged or hostile file only yields "".
std::string PeFileVersion(const unsigned char* data, size_t size);

}  // namespace kitpack
