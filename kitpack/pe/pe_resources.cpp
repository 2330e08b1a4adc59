#include "kitpack/pe/pe_resources.h"

#include "kitpack/kit_error.h"

namespace kitpack {

ResourceTable ReadResources(const std::vector<unsigned char>& image, const std::string& what) {
  ldr::MemoryByteSource bytes(image.data(), image.size());
  ResourceTable table;
  const std::string refused = ResourceTable::Read(bytes, image.size(), what, table);
  if (!refused.empty()) throw KitError(refused);
  return table;
}

void WriteResourceTable(std::vector<unsigned char>& image, const ResourceTable& table,
                        const std::string& what) {
  const std::string refused = ldr::WriteResources(image, table, what);
  if (!refused.empty()) throw KitError(refused);
}

}  // namespace kitpack
