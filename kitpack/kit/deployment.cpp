#include "kitpack/kit/deployment.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/block_hash.h"
#include "base/sha256.h"
#include "format/byte_source.h"
#include "format/bytes.h"
#include "format/pe/headers.h"
#include "format/pe/layout.h"
#include "format/records.h"
#include "format/shown_name.h"
#include "kitpack/host/files.h"
#include "kitpack/kit/kit_digest.h"
#include "kitpack/kit_error.h"

namespace kitpack {

std::optional<LoaderBlock> DeploymentBlockOf(const std::vector<unsigned char>& loader,
                                             const std::string& path) {
  const int64_t at = ldr::FindDeploymentBlock(loader.data(), loader.size());
  if (at == -2)
    throw KitError("the loader " + path +
                   " holds the deployment record's mark more than once; build with "
                   "--no-deployment or use a loader as the build makes it");
  if (at < 0) return std::nullopt;
  LoaderBlock block;
  block.offset = static_cast<size_t>(at);
  block.layout = ldr::DeploymentBlockLayout(loader.data() + at, loader.size() - block.offset);
  if (block.layout == 0)
    throw KitError("the loader " + path + " holds a deployment record block of version " +
                   std::to_string(ldr::GetU32(loader.data() + at + ldr::kDeploymentMarkSize)) +
                   ", which this kitpack does not know; use a kitpack as new as the loader, or "
                   "build with --no-deployment");
  return block;
}

void FillDeploymentRecord(std::vector<unsigned char>& loader, const LoaderBlock& where,
                          const ldr::DeploymentRecord& record) {
  unsigned char block[ldr::kDeploymentRecordSize];
  ldr::EncodeDeploymentBlock(record, where.layout, block);
  std::memcpy(loader.data() + where.offset, block, ldr::DeploymentBlockSize(where.layout));
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
  ldr::DeploymentRecord record;
  if (!ldr::DecodeDeploymentBlock(image + at, size - static_cast<size_t>(at), &record))
    return std::nullopt;
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
    if (r.has_setup2_digest()) {
      lines.push_back("  setup.2        " + std::to_string(r.setup2_length) + " bytes");
      lines.push_back("  setup.2 sha256 " +
                      ldr::DigestHex(r.setup2_sha256.data(), r.setup2_sha256.size()));
    }
  }
  lines.push_back("  first archive  " + std::to_string(r.archive_start) + ".." +
                  std::to_string(r.archive_end));
  lines.push_back("  second archive " + std::to_string(r.second_archive_start) + ".." +
                  std::to_string(r.second_archive_end));
  return lines;
}

namespace {

// Programs larger than this are no loader: they are not read whole.
constexpr uint64_t kMostLoaderBytes = uint64_t{64} << 20;

LoaderCopy ReadLoaderCopy(const std::string& path, const std::vector<unsigned char>& bytes) {
  LoaderCopy copy;
  copy.file = path;
  copy.has_block = ldr::FindDeploymentBlock(bytes.data(), bytes.size()) != -1;
  copy.record = ReadDeploymentRecord(bytes.data(), bytes.size());
  ldr::MemoryByteSource source(bytes.data(), bytes.size());
  copy.signed_ = ldr::ReadPeSecurityEntry(source, bytes.size()).NamesTable();
  return copy;
}

}  // namespace

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
  // Every program beside setup.1 is looked at, not the first with a
  // record: a planted one must not speak for the loader that runs.
  const std::string folder = FolderPart(kit.first.path).empty() ? "." : FolderPart(kit.first.path);
  for (const std::string& name : ListFilesRecursively(folder)) {
    if (name.find('/') != std::string::npos || name == kFirstArchiveFile ||
        name == kSecondArchiveFile)
      continue;
    const std::string path = JoinPath(folder, name);
    if (StatRegularFile(path).size > kMostLoaderBytes) continue;
    LoaderCopy copy = ReadLoaderCopy(path, ReadWholeFile(path));
    if (!copy.has_block && !copy.signed_) continue;
    found.copies.push_back(std::move(copy));
    if (found.copies.back().record && !found.record) {
      found.record = found.copies.back().record;
      found.file = path;
    }
  }
  return found;
}

std::vector<std::string> LoaderCopyFaults(const KitDeployment& found) {
  std::vector<std::string> out;
  for (const LoaderCopy& copy : found.copies) {
    const std::string name = ldr::ShownName(copy.file);
    if (copy.signed_ && !copy.record)
      out.push_back(name +
                    " is signed but carries no deployment record: it starts whatever setup.1 "
                    "lies beside it (signing an external kit needs the record; build it "
                    "without --no-deployment)");
    else if (found.record && copy.has_block && !copy.record)
      out.push_back(name + " is a copy of the loader without a deployment record, beside " +
                    ldr::ShownName(found.file) + " which has one");
  }
  return out;
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
    if (r.has_setup2_digest()) {
      const int64_t length2 = static_cast<int64_t>(StatRegularFile(kit.second.path).size);
      expect("setup.2 length", r.setup2_length, length2);
      ldr::Sha256 hash;
      HashFileRange(kit.second.path, 0, static_cast<uint64_t>(length2), hash);
      if (hash.Finish() != r.setup2_sha256)
        out.push_back("setup.2's SHA-256 is not the one the record holds");
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
