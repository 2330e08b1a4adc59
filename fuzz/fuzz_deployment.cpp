// The deployment record's decoder and finder, and the deployment switches'
// parser, on arbitrary bytes. The first byte picks the part:
//  - a record block: what decodes encodes back to the same fields, the
//    fields' bytes as they were, and decodes again the same;
//  - an image: the block finder names the one place the mark lies, or says
//    truly that there is none or more than one;
//  - a command line: the parser never overruns its texts, a success refuses
//    nothing, and switches are letters in any case: the line with its ASCII
//    letters' case turned round parses to the same switches.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format/deployment_record.h"
#include "fuzz/check.h"
#include "loader/switches.h"

namespace {

bool SameRecord(const ldr::DeploymentRecord& a, const ldr::DeploymentRecord& b) {
  return a.version == b.version && a.flags == b.flags && a.kit_length == b.kit_length &&
         a.archive_start == b.archive_start && a.archive_end == b.archive_end &&
         a.second_archive_start == b.second_archive_start &&
         a.second_archive_end == b.second_archive_end && a.trailer_offset == b.trailer_offset &&
         a.setup1_length == b.setup1_length && a.setup1_sha256 == b.setup1_sha256 &&
         a.setup2_length == b.setup2_length && a.setup2_sha256 == b.setup2_sha256;
}

void FuzzBlock(const uint8_t* data, size_t size) {
  unsigned char block[ldr::kDeploymentRecordSize] = {};
  std::memcpy(block, data, size < sizeof block ? size : sizeof block);
  ldr::DeploymentRecord record;
  if (!ldr::DecodeDeploymentRecord(block, &record)) return;
  Check(record.version == ldr::kDeploymentVersion);
  Check((record.flags & ldr::kDeploymentFilled) != 0);
  unsigned char again[ldr::kDeploymentRecordSize];
  ldr::EncodeDeploymentRecord(record, again);
  Check(std::memcmp(again, ldr::kDeploymentMark, ldr::kDeploymentMarkSize) == 0);
  Check(std::memcmp(again + 16, block + 16, 120 - 16) == 0);
  for (size_t i = 120; i < sizeof again; ++i) Check(again[i] == 0);
  ldr::DeploymentRecord decoded;
  Check(ldr::DecodeDeploymentRecord(again, &decoded));
  Check(SameRecord(record, decoded));
}

// A mark counts where a block of the smallest layout (a loader built before
// setup.2 was recorded) fits behind it, as FindDeploymentBlock has it.
bool MarkAt(const uint8_t* image, size_t size, size_t at) {
  return at + ldr::kDeploymentRecordSizeV1 <= size &&
         std::memcmp(image + at, ldr::kDeploymentMark, ldr::kDeploymentMarkSize) == 0;
}

void FuzzImage(const uint8_t* data, size_t size) {
  // A mark planted where the input asks, so that found blocks are common.
  std::string image(reinterpret_cast<const char*>(data), size);
  if (size >= 2 && (data[0] & 1) != 0) {
    const size_t at = data[1] % size;
    image.replace(at, ldr::kDeploymentMarkSize, reinterpret_cast<const char*>(ldr::kDeploymentMark),
                  ldr::kDeploymentMarkSize);
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(image.data());
  size_t marks = 0, first = 0;
  for (size_t i = 0; i < image.size(); ++i) {
    if (!MarkAt(bytes, image.size(), i)) continue;
    if (marks++ == 0) first = i;
  }
  const int64_t found = ldr::FindDeploymentBlock(bytes, image.size());
  if (marks == 0) Check(found == -1);
  if (marks == 1) Check(found == static_cast<int64_t>(first));
  if (marks > 1) Check(found == -2);
}

void FuzzSwitches(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  ldr::Switches parsed;
  const bool ok = ldr::ParseSwitches(line, &parsed);
  if (ok) Check(parsed.refused.empty());
  Check(parsed.installer_arguments <= line.size());
  Check(!parsed.log.cut() && !parsed.extract.cut() && !parsed.temp.cut());

  std::string turned = line;
  for (char& c : turned) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  ldr::Switches other;
  Check(ldr::ParseSwitches(turned, &other) == ok);
  Check(other.to_disk == parsed.to_disk && other.silent == parsed.silent &&
        other.wait == parsed.wait && other.keep == parsed.keep && other.help == parsed.help);
  Check(other.installer_arguments == parsed.installer_arguments);
  Check(other.log.size() == parsed.log.size() && other.extract.size() == parsed.extract.size() &&
        other.temp.size() == parsed.temp.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0:
      FuzzBlock(data + 1, size - 1);
      break;
    case 1:
      FuzzImage(data + 1, size - 1);
      break;
    default:
      FuzzSwitches(data + 1, size - 1);
      break;
  }
  return 0;
}
