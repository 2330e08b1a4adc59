#include "kitpack/kit/deployment.h"

#include <algorithm>
#include <cstring>

#include "base/block_hash.h"
#include "base/sha256.h"
#include "format/bytes.h"
#include "format/pe/layout.h"
#include "format/records.h"
#include "kitpack/host/files.h"
#include "kitpack/kit/kit_digest.h"
#include "kitpack/kit_error.h"

namespace kitpack {

std::optional<size_t> DeploymentBlockOffset(const std::vector<unsigned char>& loader,
                                            const std::string& path) {
  const int64_t at = ldr::FindDeploymentBlock(loader.data(), loader.size());
  if (at == -2)
    throw KitError("the loader " + path +
                   " holds the deployment record's mark more than once; build with "
                   "--no-deployment or use a loader as the build makes it");
  if (at < 0) return std::nullopt;
  return static_cast<size_t>(at);
}

void FillDeploymentRecord(std::vector<unsigned char>& loader, size_t offset,
                          const ldr::DeploymentRecord& record) {
  unsigned char block[ldr::kDeploymentRecordSize];
  ldr::EncodeDeploymentRecord(record, block);
  std::memcpy(loader.data() + offset, block, sizeof block);
  // A loader as linked carries no checksum; a branded one does, and keeps
  // it right.
  const std::optional<ldr::PeLayout> layout = ldr::ReadPeLayout(loader.data(), loader.size());
  if (layout && ldr::GetU32(loader.data() + layout->checksum_offset) != 0)
    ldr::PutU32(loader.data() + layout->checksum_offset,
                ldr::PeChecksum(loader.data(), loader.size(), layout->checksum_offset));
}

std::optional<ldr::DeploymentRecord> ReadDeploymentRecord(const unsigned char* image, size_t size) {
  const int64_t at = ldr::FindDeploymentBlock(image, size);
  if (at < 0) return std::nullopt;
  unsigned char block[ldr::kDeploymentRecordSize];
  std::memcpy(block, image + at, sizeof block);
  ldr::DeploymentRecord record;
  if (!ldr::DecodeDeploymentRecord(block, &record)) return std::nullopt;
  return record;
}

std::vector<std::string> DescribeDeploymentRecord(
    const std::optional<ldr::DeploymentRecord>& record) {
  if (!record) return {"deployment record: none (the loader takes no deployment switches)"};
  const ldr::DeploymentRecord& r = *record;
  std::vector<std::string> lines = {"deployment record: version " + std::to_string(r.version) +
                                    ", " + (r.self_extracting() ? "self-extracting" : "external") +
                                    " kit"};
  if (r.self_extracting()) {
    lines.push_back("  kit length     " + std::to_string(r.kit_length) + " bytes");
    lines.push_back("  trailer at     " + std::to_string(r.trailer_offset));
  } else {
    lines.push_back("  loader length  " + std::to_string(r.kit_length) + " bytes");
    lines.push_back("  setup.1        " + std::to_string(r.setup1_length) + " bytes");
    if ((r.flags & ldr::kDeploymentSetup1Digest) != 0)
      lines.push_back("  setup.1 sha256 " +
                      ldr::DigestHex(r.setup1_sha256.data(), r.setup1_sha256.size()));
  }
  lines.push_back("  first archive  " + std::to_string(r.archive_start) + ".." +
                  std::to_string(r.archive_end));
  lines.push_back("  second archive " + std::to_string(r.second_archive_start) + ".." +
                  std::to_string(r.second_archive_end));
  return lines;
}

KitDeployment ReadKitDeployment(const KitInfo& kit) {
  KitDeployment found;
  if (!kit.external) {
    ReadableFile f(kit.path);
    const uint64_t image = static_cast<uint64_t>(std::max<int64_t>(kit.first.start, 0));
    const std::vector<unsigned char> bytes = f.Range(0, static_cast<size_t>(image));
    found.record = ReadDeploymentRecord(bytes.data(), bytes.size());
    if (found.record) found.file = kit.path;
    return found;
  }
  const std::string folder = FolderPart(kit.first.path);
  for (const std::string& name : ListFilesRecursively(folder.empty() ? "." : folder)) {
    if (name.find('/') != std::string::npos || name == kFirstArchiveFile ||
        name == kSecondArchiveFile)
      continue;
    const std::string path = JoinPath(folder.empty() ? "." : folder, name);
    if (StatRegularFile(path).size > (64u << 20)) continue;
    const std::vector<unsigned char> bytes = ReadWholeFile(path);
    found.record = ReadDeploymentRecord(bytes.data(), bytes.size());
    if (found.record) {
      found.file = path;
      break;
    }
  }
  return found;
}

std::vector<std::string> DeploymentMismatches(const KitInfo& kit, const ldr::DeploymentRecord& r) {
  std::vector<std::string> out;
  auto expect = [&out](const char* what, int64_t recorded, int64_t actual) {
    if (recorded != actual)
      out.push_back(std::string(what) + ": the record says " + std::to_string(recorded) +
                    ", the kit has " + std::to_string(actual));
  };
  if (r.self_extracting() == kit.external)
    out.push_back(std::string("the record is for ") +
                  (r.self_extracting() ? "a self-extracting" : "an external") +
                  " kit, this kit is " + (kit.external ? "external" : "self-extracting"));
  if (kit.external) {
    const int64_t length = static_cast<int64_t>(StatRegularFile(kit.first.path).size);
    expect("setup.1 length", r.setup1_length, length);
    if ((r.flags & ldr::kDeploymentSetup1Digest) != 0) {
      ldr::Sha256 hash;
      HashFileRange(kit.first.path, 0, static_cast<uint64_t>(length), hash);
      if (hash.Finish() != r.setup1_sha256)
        out.push_back("setup.1's SHA-256 is not the one the record holds");
    }
    return out;
  }
  expect("kit length", r.kit_length, kit.trailer_offset + static_cast<int64_t>(ldr::kTrailerSize));
  expect("trailer offset", r.trailer_offset, kit.trailer_offset);
  expect("first archive start", r.archive_start, kit.first.start);
  expect("first archive end", r.archive_end, kit.first.end);
  expect("second archive start", r.second_archive_start, kit.second.start);
  expect("second archive end", r.second_archive_end, kit.second.end);
  return out;
}

}  // namespace kitpack
