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

// Where a loader image's record block lies, and in which layout (format/
// deployment_record.h): a loader built before setup.2 was recorded has a
// block of version 1, and is filled in that layout, without setup.2.
struct LoaderBlock {
  size_t offset = 0;
  uint32_t layout = ldr::kDeploymentVersion;
};

// The loader image's record block, or nullopt for a loader without one
// (another writer's, or older still). Raises KitError when the mark occurs
// more than once, or the block is of a version this kitpack does not know.
std::optional<LoaderBlock> DeploymentBlockOf(const std::vector<unsigned char>& loader,
                                             const std::string& path);

// Writes the record into the block of the loader image, in the block's
// layout, and makes a PE checksum the image carries right again.
void FillDeploymentRecord(std::vector<unsigned char>& loader, const LoaderBlock& block,
                          const ldr::DeploymentRecord& record);

// The record of a kit's loader image, when its block is filled.
std::optional<ldr::DeploymentRecord> ReadDeploymentRecord(const unsigned char* image, size_t size);

// The record as `list` and `verify` print it, one line per field after a
// "deployment record:" heading; "deployment record: none" without one.
std::vector<std::string> DescribeDeploymentRecord(
    const std::optional<ldr::DeploymentRecord>& record);

// A program beside an external kit's setup.1: each is a loader that could
// start it.
struct LoaderCopy {
  std::string file;
  bool has_block = false;  // it carries the record's block (a loader of ours)
  std::optional<ldr::DeploymentRecord> record;
  bool signed_ = false;  // its security entry names a certificate table
};

// The record a kit carries, and where: a self-extracting kit's loader
// image, or the copies of the loader beside an external kit's setup.1.
struct KitDeployment {
  std::optional<ldr::DeploymentRecord> record;  // the first one found
  std::string file;                             // the file holding it
  // External: every loader beside setup.1 (a file carrying the record's
  // block, or a signed program), in name order.
  std::vector<LoaderCopy> copies;
};
KitDeployment ReadKitDeployment(const KitInfo& kit);

// Where the record disagrees with the kit as it lies: one line per field
// that differs (empty when they agree). setup.1's and setup.2's digests are
// checked too.
std::vector<std::string> DeploymentMismatches(const KitInfo& kit, const ldr::DeploymentRecord& r);

// What is wrong with the loader copies of an external kit, whatever their
// records say: a copy of our loader without a filled record beside one
// that has it, and a signed copy whose record cannot protect the kit. One
// line each, naming the file.
std::vector<std::string> LoaderCopyFaults(const KitDeployment& found);

}  // namespace kitpack
