#include "format/deployment_record.h"

#include "format/records.h"

namespace ldr {

void DecodeDeploymentFields(const unsigned char* block, uint32_t version,
                            DeploymentRecord* record) {
  DeploymentRecord r;
  r.version = version;
  r.flags = static_cast<uint32_t>(GetInt32(block + 20));
  r.kit_length = static_cast<uint32_t>(GetInt32(block + 24));
  r.archive_start = GetInt32(block + 28);
  r.archive_end = GetInt32(block + 32);
  r.second_archive_start = GetInt32(block + 36);
  r.second_archive_end = GetInt32(block + 40);
  r.trailer_offset = GetInt32(block + 44);
  r.setup1_length = static_cast<uint32_t>(GetInt32(block + 48));
  for (size_t i = 0; i < r.setup1_sha256.size(); ++i) r.setup1_sha256[i] = block[52 + i];
  if (version >= 2) {
    r.setup2_length = static_cast<uint32_t>(GetInt32(block + 84));
    for (size_t i = 0; i < r.setup2_sha256.size(); ++i) r.setup2_sha256[i] = block[88 + i];
  } else {
    r.flags &= ~kDeploymentSetup2Digest;  // version 1 has no place for it
  }
  *record = r;
}

bool DecodeDeploymentRecord(const unsigned char (&block)[kDeploymentRecordSize],
                            DeploymentRecord* record) {
  const uint32_t version = static_cast<uint32_t>(GetInt32(block + 16));
  const uint32_t flags = static_cast<uint32_t>(GetInt32(block + 20));
  if ((flags & kDeploymentFilled) == 0 || version != kDeploymentVersion) return false;
  DecodeDeploymentFields(block, version, record);
  return true;
}

}  // namespace ldr
