#pragma once
// The deployment record in a kit's copy of the loader (format/
// deployment_record.h): filled in by a build unless --no-deployment, shown
// by list and verify.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "format/deployment_record.h"
#include "kitpack/kit/kit.h"

namespace kitpack {

// The offset of the loader image's record block, or nullopt for a loader
// without one (an older loader, another writer's). Raises KitError when the
// mark occurs more than once.
std::optional<size_t> DeploymentBlockOffset(const std::vector<unsigned char>& loader,
                                            const std::string& path);

// Writes the record into the block at `offset` of the loader image, and
// makes a PE checksum the image carries right again.
void FillDeploymentRecord(std::vector<unsigned char>& loader, size_t offset,
                          const ldr::DeploymentRecord& record);

// The record of a kit's loader image, when its block is filled.
std::optional<ldr::DeploymentRecord> ReadDeploymentRecord(const unsigned char* image, size_t size);

// The record as `list` and `verify` print it, one line per field after a
// "deployment record:" heading; "deployment record: none" without one.
std::vector<std::string> DescribeDeploymentRecord(
    const std::optional<ldr::DeploymentRecord>& record);

// The record a kit carries, and where: a self-extracting kit's loader
// image, or the copy of the loader beside an external kit's setup.1 (the
// first file there, other than the two archives, whose block is filled).
struct KitDeployment {
  std::optional<ldr::DeploymentRecord> record;
  std::string file;  // the file holding it
};
KitDeployment ReadKitDeployment(const KitInfo& kit);

// Where the record disagrees with the kit as it lies: one line per field
// that differs (empty when they agree). setup.1's digest is checked too.
std::vector<std::string> DeploymentMismatches(const KitInfo& kit, const ldr::DeploymentRecord& r);

}  // namespace kitpack
