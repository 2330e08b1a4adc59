#include "loader/run.h"

namespace ldr {

// The block kitpack fills in for a kit's copy of the loader. As built it
// holds the mark and its layout's version, unfilled: no record.
extern const unsigned char kDeploymentBlock[kDeploymentRecordSize];
const unsigned char kDeploymentBlock[kDeploymentRecordSize] = {LDR_DEPLOYMENT_BLOCK_AS_BUILT};

bool OwnDeploymentRecord(DeploymentRecord* record) {
  // Read through a volatile pointer: the block's bytes in the file are not
  // the ones compiled, so no build may fold them into constants.
  const volatile unsigned char* block = kDeploymentBlock;
  unsigned char bytes[kDeploymentRecordSize];
  for (size_t i = 0; i < kDeploymentRecordSize; ++i) bytes[i] = block[i];
  return DecodeDeploymentRecord(bytes, record);
}

}  // namespace ldr
