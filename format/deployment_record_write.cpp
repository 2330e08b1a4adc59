// Filling and finding the block: kitpack and the tests. The loader only
// decodes its own block, so the mark it is found by stays out of its code.
#include <cstring>

#include "format/deployment_record.h"
#include "format/records.h"

namespace ldr {

void EncodeDeploymentRecord(const DeploymentRecord& record,
                            unsigned char (&block)[kDeploymentRecordSize]) {
  std::memset(block, 0, sizeof block);
  std::memcpy(block, kDeploymentMark, kDeploymentMarkSize);
  PutInt32(block + 16, static_cast<int32_t>(kDeploymentVersion));
  PutInt32(block + 20, static_cast<int32_t>(record.flags | kDeploymentFilled));
  PutInt32(block + 24, static_cast<int32_t>(record.kit_length));
  PutInt32(block + 28, record.archive_start);
  PutInt32(block + 32, record.archive_end);
  PutInt32(block + 36, record.second_archive_start);
  PutInt32(block + 40, record.second_archive_end);
  PutInt32(block + 44, record.trailer_offset);
  PutInt32(block + 48, static_cast<int32_t>(record.setup1_length));
  std::memcpy(block + 52, record.setup1_sha256.data(), record.setup1_sha256.size());
}

int64_t FindDeploymentBlock(const unsigned char* image, size_t size) {
  int64_t found = -1;
  if (size < kDeploymentRecordSize) return found;
  for (size_t i = 0; i + kDeploymentRecordSize <= size; ++i) {
    if (image[i] != kDeploymentMark[0] ||
        std::memcmp(image + i, kDeploymentMark, kDeploymentMarkSize) != 0)
      continue;
    if (found >= 0) return -2;
    found = static_cast<int64_t>(i);
  }
  return found;
}

}  // namespace ldr
