#include "format/deployment_record.h"

#include "format/records.h"

namespace ldr {

bool DecodeDeploymentRecord(const unsigned char (&block)[kDeploymentRecordSize],
                            DeploymentRecord* record) {
  DeploymentRecord r;
  r.version = static_cast<uint32_t>(GetInt32(block + 16));
  r.flags = static_cast<uint32_t>(GetInt32(block + 20));
  if ((r.flags & kDeploymentFilled) == 0 || r.version != kDeploymentVersion) return false;
  r.kit_length = static_cast<uint32_t>(GetInt32(block + 24));
  r.archive_start = GetInt32(block + 28);
  r.archive_end = GetInt32(block + 32);
  r.second_archive_start = GetInt32(block + 36);
  r.second_archive_end = GetInt32(block + 40);
  r.trailer_offset = GetInt32(block + 44);
  r.setup1_length = static_cast<uint32_t>(GetInt32(block + 48));
  for (size_t i = 0; i < r.setup1_sha256.size(); ++i) r.setup1_sha256[i] = block[52 + i];
  *record = r;
  return true;
}

}  // namespace ldr
