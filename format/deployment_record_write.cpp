// Filling and finding the block, and reading blocks of every layout:
// kitpack and the tests. The loader only decodes its own block, so the mark
// it is found by stays out of its code.
#include <cstring>

#include "format/deployment_record.h"
#include "format/records.h"

namespace ldr {

uint32_t DeploymentBlockLayout(const unsigned char* block, size_t size) {
  if (size < kDeploymentRecordSizeV1) return 0;
  const uint32_t version = static_cast<uint32_t>(GetInt32(block + 16));
  const uint32_t layout = version == 0 ? 1 : version;
  if (layout > kDeploymentVersion || size < DeploymentBlockSize(layout)) return 0;
  return layout;
}

size_t DeploymentBlockSize(uint32_t layout) {
  return layout == 1 ? kDeploymentRecordSizeV1 : kDeploymentRecordSize;
}

bool DecodeDeploymentBlock(const unsigned char* block, size_t size, DeploymentRecord* record) {
  const uint32_t layout = DeploymentBlockLayout(block, size);
  const uint32_t flags = static_cast<uint32_t>(GetInt32(block + 20));
  if (layout == 0 || (flags & kDeploymentFilled) == 0 ||
      static_cast<uint32_t>(GetInt32(block + 16)) != layout)
    return false;
  DecodeDeploymentFields(block, layout, record);
  return true;
}

void EncodeDeploymentBlock(const DeploymentRecord& record, uint32_t layout, unsigned char* block) {
  std::memset(block, 0, DeploymentBlockSize(layout));
  std::memcpy(block, kDeploymentMark, kDeploymentMarkSize);
  uint32_t flags = record.flags | kDeploymentFilled;
  if (layout < 2) flags &= ~kDeploymentSetup2Digest;
  PutInt32(block + 16, static_cast<int32_t>(layout));
  PutInt32(block + 20, static_cast<int32_t>(flags));
  PutInt32(block + 24, static_cast<int32_t>(record.kit_length));
  PutInt32(block + 28, record.archive_start);
  PutInt32(block + 32, record.archive_end);
  PutInt32(block + 36, record.second_archive_start);
  PutInt32(block + 40, record.second_archive_end);
  PutInt32(block + 44, record.trailer_offset);
  PutInt32(block + 48, static_cast<int32_t>(record.setup1_length));
  std::memcpy(block + 52, record.setup1_sha256.data(), record.setup1_sha256.size());
  if (layout < 2) return;
  PutInt32(block + 84, static_cast<int32_t>(record.setup2_length));
  std::memcpy(block + 88, record.setup2_sha256.data(), record.setup2_sha256.size());
}

void EncodeDeploymentRecord(const DeploymentRecord& record,
                            unsigned char (&block)[kDeploymentRecordSize]) {
  EncodeDeploymentBlock(record, kDeploymentVersion, block);
}

int64_t FindDeploymentBlock(const unsigned char* image, size_t size) {
  int64_t found = -1;
  if (size < kDeploymentRecordSizeV1) return found;
  for (size_t i = 0; i + kDeploymentRecordSizeV1 <= size; ++i) {
    if (image[i] != kDeploymentMark[0] ||
        std::memcmp(image + i, kDeploymentMark, kDeploymentMarkSize) != 0)
      continue;
    if (found >= 0) return -2;
    found = static_cast<int64_t>(i);
  }
  return found;
}

}  // namespace ldr
