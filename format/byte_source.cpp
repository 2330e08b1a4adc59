#include "format/byte_source.h"

#include <cstring>

namespace ldr {

bool MemoryByteSource::ReadAt(uint64_t offset, unsigned char* buffer, size_t size) {
  if (!RangeInside(offset, size, size_)) return false;
  if (size != 0) std::memcpy(buffer, data_ + offset, size);
  return true;
}

}  // namespace ldr
