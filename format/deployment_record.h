#pragma once
// The deployment record: a fixed block in the loader image's read-only data
// that kitpack fills in for a kit's copy of the loader. A loader whose block
// is unfilled (the loader as built, or a kit from a writer that knows no
// record) behaves exactly as it always has; one whose block is filled takes
// the deployment switches and checks that its kit arrived whole.
//
// The block is found in an image by its mark, which occurs nowhere else in
// the loader; the loader itself reads its own copy in memory. Lying inside
// the image, the record is covered by the kit's digest and by an
// Authenticode signature of the kit.
//
// Layout (little-endian, offsets in bytes):
//    0  16  mark
//   16   4  version (2; the loader as built already holds it, unfilled)
//   20   4  flags (kDeploymentFilled, kDeploymentSelfExtracting, ...)
//   24   4  kit length as built: the self-extracting file up to the end of
//           its trailer (a signature may follow), or the loader's copy
//   28   4  archive start        (absolute; 0 for setup.1)
//   32   4  archive end          (inclusive)
//   36   4  second archive start
//   40   4  second archive end   (inclusive)
//   44   4  trailer offset       (self-extracting), else 0
//   48   4  setup.1 length       (external), else 0
//   52  32  SHA-256 of setup.1   (external, kDeploymentSetup1Digest)
//   84   4  setup.2 length       (external, kDeploymentSetup2Digest), else 0
//   88  32  SHA-256 of setup.2   (external, kDeploymentSetup2Digest)
//  120   8  zero
//
// Version 1 (loaders built before setup.2 was recorded) is the first 84
// bytes of this and 12 zero bytes: a block of 96. Its unfilled block holds
// zero where the version goes. kitpack reads which layout a loader's block
// has from that field and fills it in that layout; the loader itself only
// ever decodes its own.

#include <array>
#include <cstddef>
#include <cstdint>

namespace ldr {

inline constexpr size_t kDeploymentRecordSize = 128;
inline constexpr size_t kDeploymentRecordSizeV1 = 96;
inline constexpr size_t kDeploymentMarkSize = 16;
inline constexpr uint32_t kDeploymentVersion = 2;

// The mark's bytes, as an initializer list for the loader's block and for
// the mark kitpack searches: a random tail keeps it from turning up by
// chance in code or data.
#define LDR_DEPLOYMENT_MARK \
  'L', 'D', 'K', 'D', 'E', 'P', 'L', 'O', 'Y', 0x7E, 0x3A, 0xC5, 0x19, 0xF2, 0x64, 0xB8
// The block as the loader is built: the mark and the layout's version,
// unfilled.
#define LDR_DEPLOYMENT_BLOCK_AS_BUILT LDR_DEPLOYMENT_MARK, 2, 0, 0, 0

inline constexpr unsigned char kDeploymentMark[kDeploymentMarkSize] = {LDR_DEPLOYMENT_MARK};

// Flags.
inline constexpr uint32_t kDeploymentFilled = 1u << 0;
inline constexpr uint32_t kDeploymentSelfExtracting = 1u << 1;
inline constexpr uint32_t kDeploymentExternal = 1u << 2;
inline constexpr uint32_t kDeploymentSetup1Digest = 1u << 3;
inline constexpr uint32_t kDeploymentSetup2Digest = 1u << 4;

struct DeploymentRecord {
  uint32_t version = 0;
  uint32_t flags = 0;
  uint32_t kit_length = 0;
  int32_t archive_start = 0;
  int32_t archive_end = 0;
  int32_t second_archive_start = 0;
  int32_t second_archive_end = 0;
  int32_t trailer_offset = 0;
  uint32_t setup1_length = 0;
  std::array<unsigned char, 32> setup1_sha256{};
  uint32_t setup2_length = 0;
  std::array<unsigned char, 32> setup2_sha256{};

  bool self_extracting() const { return (flags & kDeploymentSelfExtracting) != 0; }
  bool external() const { return (flags & kDeploymentExternal) != 0; }
  bool has_setup2_digest() const { return (flags & kDeploymentSetup2Digest) != 0; }
};

// The record in a block (its mark not looked at: the finder has seen it).
// A block that is not filled, or filled in another version than this
// loader's, gives no record at all: false. The loader's own decoder.
bool DecodeDeploymentRecord(const unsigned char (&block)[kDeploymentRecordSize],
                            DeploymentRecord* record);
// The fields of a filled block of `version` (1 or 2) at `block`, which holds
// that version's whole block. Shared by both decoders.
void DecodeDeploymentFields(const unsigned char* block, uint32_t version, DeploymentRecord* record);

// The following are kitpack's and the tests' (deployment_record_write.cpp):
// the loader never needs them.

// The layout of the block at `block` (its mark seen, `size` bytes from
// there on): 1 for an unfilled block of zeros or any block of version 1,
// 2 for version 2; 0 for a layout this build does not know, or a block cut
// short by the image's end.
uint32_t DeploymentBlockLayout(const unsigned char* block, size_t size);
// The block size of a layout: 96 or 128.
size_t DeploymentBlockSize(uint32_t layout);

// The record in a block of any layout this build knows (the one at `block`,
// `size` bytes from there on), or false when it is unfilled, cut short or
// of an unknown version. kitpack reads kits of every loader through it.
bool DecodeDeploymentBlock(const unsigned char* block, size_t size, DeploymentRecord* record);

// The block for a record: the mark, the fields, zero padding. Sets the
// version and the filled flag.
void EncodeDeploymentRecord(const DeploymentRecord& record,
                            unsigned char (&block)[kDeploymentRecordSize]);
// The same in `layout` (1 or 2): writes DeploymentBlockSize(layout) bytes.
// Version 1 has no place for setup.2: its flag and fields are left out.
void EncodeDeploymentBlock(const DeploymentRecord& record, uint32_t layout, unsigned char* block);

// Where the block lies in an image: the offset of the one occurrence of the
// mark. -1 when there is none, -2 when it occurs more than once (which
// block is meant cannot be told).
int64_t FindDeploymentBlock(const unsigned char* image, size_t size);

}  // namespace ldr
